#include "csv_input/csv_reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/utf8.hpp"

namespace csv {

namespace {

constexpr uint8_t kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

// Where the text begins at `from`: past a byte-order mark there.
size_t content_start(std::span<const uint8_t> input, size_t from) noexcept {
  if (input.size() - from >= 3 && std::equal(kByteOrderMark, kByteOrderMark + 3, input.begin() + from)) {
    return from + 3;
  }
  return from;
}

// The offset after the first `lines` lines, each ended by LF, CR or CR LF,
// whatever they hold; the input's end if it has fewer.
size_t after_lines(std::span<const uint8_t> input, uint64_t lines, const Dialect& dialect) noexcept {
  size_t at = 0;
  while (lines > 0 && at < input.size()) {
    const uint8_t byte = input[at++];
    if (byte == dialect.carriage_return && at < input.size() && input[at] == dialect.line_feed) ++at;
    if (byte == dialect.carriage_return || byte == dialect.line_feed) --lines;
  }
  return at;
}

uint64_t lines_before(std::span<const uint8_t> input, size_t offset, const Dialect& dialect) noexcept {
  return 1 + static_cast<uint64_t>(std::count(input.begin(), input.begin() + static_cast<ptrdiff_t>(offset),
                                              dialect.line_feed));
}

// Where the table begins: after the lines skipped before it.
RecordPosition position_after_lines(std::span<const uint8_t> input, const TableLayout& layout) noexcept {
  const size_t start = after_lines(input, layout.skip_rows, layout.dialect);
  return RecordPosition{start, lines_before(input, start, layout.dialect), 0};
}

std::string column_name(size_t index) { return "column_" + std::to_string(index + 1); }

// Appends bytes to a std::string, for unescape_field.
struct StringOutput {
  std::string& text;
  void append(const uint8_t* data, size_t size) {
    text.append(reinterpret_cast<const char*>(data), size);
  }
};

// Collects every field of one record as an owned string.
class RecordSink {
 public:
  RecordSink(std::span<const uint8_t> input, const Dialect& dialect) noexcept
      : input_(input), dialect_(dialect) {}

  void field(size_t begin, size_t end) {
    fields_.emplace_back(reinterpret_cast<const char*>(input_.data()) + begin, end - begin);
  }
  void escaped_field(size_t begin, size_t end) {
    StringOutput out{fields_.emplace_back()};
    unescape_field(input_.data() + begin, end - begin, dialect_, out);
  }
  bool record_end(size_t /*end*/) {
    ++records_;
    return true;
  }

  [[nodiscard]] size_t records() const noexcept { return records_; }
  [[nodiscard]] std::vector<std::string>& fields() noexcept { return fields_; }
  void clear() noexcept { fields_.clear(); }

 private:
  std::span<const uint8_t> input_;
  Dialect dialect_;
  std::vector<std::string> fields_;
  size_t records_ = 0;
};

// Appends every field of the records to one FieldTexts.
class FieldTextSink {
 public:
  FieldTextSink(std::span<const uint8_t> input, const Dialect& dialect, FieldTexts& out) noexcept
      : input_(input), dialect_(dialect), out_(&out) {}

  void field(size_t begin, size_t end) {
    out_->text.append(reinterpret_cast<const char*>(input_.data()) + begin, end - begin);
    ended();
  }
  void escaped_field(size_t begin, size_t end) {
    StringOutput out{out_->text};
    unescape_field(input_.data() + begin, end - begin, dialect_, out);
    ended();
  }
  bool record_end(size_t /*end*/) { return true; }

  [[nodiscard]] size_t fields() const noexcept { return fields_; }
  void clear() noexcept { fields_ = 0; }

 private:
  void ended() {
    out_->ends.push_back(out_->text.size());
    ++fields_;
  }

  std::span<const uint8_t> input_;
  Dialect dialect_;
  FieldTexts* out_;
  size_t fields_ = 0;  // of the record being read
};

// The first field that is not valid UTF-8, with its valid prefix.
std::optional<FieldUtf8Error> first_invalid_field(const std::vector<std::string>& fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    const auto* data = reinterpret_cast<const uint8_t*>(fields[i].data());
    const size_t valid = common::utf8_valid_prefix(data, fields[i].size());
    if (valid != fields[i].size()) return FieldUtf8Error{i, valid};
  }
  return std::nullopt;
}

}  // namespace

// Writes records into a RowBatch as rows of exactly `column_count` fields.
// The tokeniser works on a copy of the sink in its own frame, so that the
// counters below stay in registers while field views are stored.
class RowSink {
 public:
  RowSink(RowBatch& batch, std::span<const uint8_t> input, const Dialect& dialect, size_t column_count,
          size_t max_rows)
      : batch_(&batch),
        input_(reinterpret_cast<const char*>(input.data())),
        input_size_(input.size()),
        max_rows_(max_rows),
        dialect_(&dialect) {
    batch.column_count_ = column_count;
    batch.row_count_ = 0;
    batch.row_capacity_ = max_rows;
    batch.arena_.clear();
    batch.arena_fields_.clear();
    batch.extra_field_rows_.clear();
    batch.extra_field_flags_.assign(max_rows, 0);
    const size_t slots = max_rows * column_count;
    if (batch.fields_.size() < slots) batch.fields_.resize(slots);
    row_start_ = slot_ = batch.fields_.data();
    row_end_ = slot_ + slots;
  }

  // Called for nearly every field: inlined into the tokeniser's loop, with
  // the rare cases out of line, so that the counters stay in registers.
  [[gnu::always_inline]] void field(size_t begin, size_t end) {
    if (slot_ >= row_end_) [[unlikely]] return note_extra_field(begin, end);
    if (begin + kFieldPadding > input_size_) [[unlikely]] return field_near_end(begin, end);
    // Empty fields too point into the input, which can be read past them.
    *slot_ = std::string_view(input_ + begin, end - begin);
    slot_ += max_rows_;
  }

  void escaped_field(size_t begin, size_t end) {
    if (slot_ >= row_end_) return note_extra_field(begin, end);
    const size_t offset = batch_->arena_.size();
    add_arena_field(offset);
    unescape_field(reinterpret_cast<const uint8_t*>(input_) + begin, end - begin, *dialect_, batch_->arena_);
    batch_->arena_fields_.back().size = batch_->arena_.size() - offset;
  }

  bool record_end(size_t /*end*/) {
    for (; slot_ < row_end_; slot_ += max_rows_) *slot_ = std::string_view(kEmptyField, 0);
    slot_ = ++row_start_;
    ++row_end_;
    return ++rows_ == max_rows_;
  }

  // Sets the row count and points the rebuilt fields at the arena, which no
  // longer moves.
  void finish() {
    batch_->row_count_ = rows_;
    const uint8_t* flags = batch_->extra_field_flags_.data();
    if (std::memchr(flags, 1, rows_) != nullptr) {
      for (size_t row = 0; row < rows_; ++row) {
        if (flags[row]) batch_->extra_field_rows_.push_back(static_cast<uint32_t>(row));
      }
    }
    if (batch_->arena_fields_.empty()) return;
    batch_->arena_.fill(kFieldPadding, 0);
    const char* arena = reinterpret_cast<const char*>(batch_->arena_.data());
    for (const RowBatch::ArenaField& f : batch_->arena_fields_) {
      batch_->fields_[f.slot] = std::string_view(f.size == 0 ? kEmptyField : arena + f.offset, f.size);
    }
  }

 private:
  // A field beyond the last column: dropped, and its row flagged unless it
  // was empty (a trailing delimiter loses nothing). A plain store, so that
  // the tokeniser's copy of the sink stays in registers; finish() lists the
  // flagged rows.
  [[gnu::noinline]] void note_extra_field(size_t begin, size_t end) {
    if (end != begin) batch_->extra_field_flags_[rows_] = 1;
  }

  // A field too close to the end of the input to be read past: the arena
  // holds a copy, or the padding itself stands for an empty field.
  [[gnu::noinline]] void field_near_end(size_t begin, size_t end) {
    if (begin == end) {
      *slot_ = std::string_view(kEmptyField, 0);
      slot_ += max_rows_;
      return;
    }
    add_arena_field(batch_->arena_.size());
    batch_->arena_.append(input_ + begin, end - begin);
    batch_->arena_fields_.back().size = end - begin;
  }

  void add_arena_field(size_t offset) {
    const size_t slot = static_cast<size_t>(slot_ - batch_->fields_.data());
    batch_->arena_fields_.push_back({slot, offset, 0});
    slot_ += max_rows_;
  }

  RowBatch* batch_;
  const char* input_;
  size_t input_size_;
  size_t max_rows_;
  const Dialect* dialect_;
  size_t rows_ = 0;
  std::string_view* row_start_;  // the current row's slot in the first column
  std::string_view* slot_;       // the next field's slot: one column further per field
  std::string_view* row_end_;    // past the current row's last column
};

// The table begins after the skipped lines, and after a byte-order mark
// there; the header row's position is where those lines end.
CsvReader::CsvReader(std::span<const uint8_t> input, const TableLayout& layout, ScanBlocks scan) noexcept
    : input_(input),
      header_in_input_(layout.header),
      null_values_(layout.null_values),
      header_position_(position_after_lines(input, layout)),
      tokenizer_(input, content_start(input, header_position_.byte), scan, Accelerations::On, layout.dialect) {}

CsvReader::CsvReader(std::span<const uint8_t> input, size_t start, uint64_t records_before,
                     const TableLayout& layout, ScanBlocks scan) noexcept
    : input_(input), null_values_(layout.null_values),
      tokenizer_(input, start, scan, Accelerations::On, layout.dialect),
      records_completed_(records_before), header_(HeaderRow{}) {}

RecordPosition CsvReader::position_at(size_t offset, uint64_t record) const {
  return RecordPosition{offset, lines_before(input_, offset, tokenizer_.dialect()), record};
}

Result<HeaderRow, CsvError> CsvReader::read_header() {
  if (!header_) header_.emplace(read_first_record());
  return *header_;
}

Result<HeaderRow, CsvError> CsvReader::read_first_record() {
  if (!header_in_input_) {
    // Counted as the header row, so that records are numbered as though
    // one stood before them; a reader of its own leaves this one where it is.
    Tokenizer tokenizer = tokenizer_.reading_from(tokenizer_.offset());
    RecordSink sink(input_, tokenizer.dialect());
    tokenizer.run(sink);
    names_end_ = tokenizer.offset();
    records_completed_ = 1;
    HeaderRow names;
    for (size_t i = 0; i < sink.fields().size(); ++i) names.push_back(column_name(i));
    return names;
  }
  RecordSink sink(input_, tokenizer_.dialect());
  tokenizer_.run(sink);
  records_completed_ += sink.records();
  if (auto invalid = first_invalid_field(sink.fields())) return CsvError{header_position_, *invalid};
  return std::move(sink.fields());
}

std::optional<std::pair<size_t, CsvError>> CsvReader::find_invalid_record(
    size_t start, size_t end, uint64_t first_record) const {
  Tokenizer tokenizer = tokenizer_.reading_from(start);
  RecordSink sink(input_, tokenizer.dialect());
  for (size_t index = 0; tokenizer.offset() < end; ++index) {
    const size_t record_start = tokenizer.offset();
    sink.clear();
    tokenizer.run(sink);
    if (auto invalid = first_invalid_field(sink.fields())) {
      return std::pair{index, CsvError{position_at(record_start, first_record + index), *invalid}};
    }
  }
  return std::nullopt;
}

// Counts the fields of one record, keeping none of them.
class FieldCountSink {
 public:
  void field(size_t /*begin*/, size_t /*end*/) noexcept { ++fields_; }
  void escaped_field(size_t /*begin*/, size_t /*end*/) noexcept { ++fields_; }
  bool record_end(size_t /*end*/) noexcept { return true; }

  [[nodiscard]] size_t fields() const noexcept { return fields_; }
  void clear() noexcept { fields_ = 0; }

 private:
  size_t fields_ = 0;
};

namespace {

// Hands each record to `visit` as the tokenizer ends it, so that one run
// reads them all: a run scans 2 KiB ahead, far more than most records.
template <class Sink, class Visit>
class VisitingSink {
 public:
  VisitingSink(Sink& sink, const Visit& visit, std::span<const uint8_t> input, const Dialect& dialect, size_t where)
      : sink_(&sink), visit_(&visit), input_(input), dialect_(&dialect), where_(where) {}

  void field(size_t begin, size_t end) { sink_->field(begin, end); }
  void escaped_field(size_t begin, size_t end) { sink_->escaped_field(begin, end); }
  bool record_end(size_t end) {
    if (!(*visit_)(where_, sink_->fields())) return true;
    sink_->clear();
    where_ = record_start(input_, *dialect_, end);
    return false;
  }

  // The first byte of the record after `from`: past the line ends, blank
  // lines (of skipped spaces too) and comment lines before it; the input's
  // end when none follows.
  static size_t record_start(std::span<const uint8_t> input, const Dialect& dialect, size_t from) {
    const auto line_end = [&](size_t at) {
      return input[at] == dialect.line_feed || input[at] == dialect.carriage_return;
    };
    const bool skips_spaces = dialect.skips_spaces();
    size_t where = from;
    while (where < input.size()) {
      if (line_end(where)) {
        ++where;
        continue;
      }
      // `where` starts a line: what the tokenizer skips there, then a line end or a comment.
      size_t at = where;
      if (where == 0 || line_end(where - 1)) {
        while (skips_spaces && at < input.size() && input[at] == ' ') ++at;
      }
      if (at < input.size() && at != where && line_end(at)) {
        where = at;
        continue;
      }
      const bool line_start = at != where || where == 0 || line_end(where - 1);
      if (!(dialect.comments && at < input.size() && input[at] == dialect.comment && line_start)) break;
      where = at;
      while (where < input.size() && !line_end(where)) ++where;
    }
    return where;
  }

 private:
  Sink* sink_;
  const Visit* visit_;
  std::span<const uint8_t> input_;
  const Dialect* dialect_;
  size_t where_;
};

}  // namespace

template <class Sink, class Visit>
void CsvReader::visit_each_record(size_t start, Sink& sink, const Visit& visit) const {
  using Visiting = VisitingSink<Sink, Visit>;
  const Dialect& dialect = tokenizer_.dialect();
  Tokenizer tokenizer = tokenizer_.reading_from(start);
  const size_t where = Visiting::record_start(input_, dialect, tokenizer.offset());
  if (where == input_.size()) return;
  sink.clear();
  Visiting visiting(sink, visit, input_, dialect, where);
  tokenizer.run(visiting);
}

void CsvReader::visit_records(size_t start,
                              const std::function<bool(size_t, std::vector<std::string>&)>& visit) const {
  RecordSink sink(input_, tokenizer_.dialect());
  visit_each_record(start, sink, visit);
}

void CsvReader::visit_field_texts(size_t start, FieldTexts& out,
                                  const std::function<bool(size_t, size_t)>& visit) const {
  FieldTextSink sink(input_, tokenizer_.dialect(), out);
  visit_each_record(start, sink, visit);
}

void CsvReader::visit_field_counts(size_t start, const std::function<bool(size_t, size_t)>& visit) const {
  FieldCountSink sink;
  visit_each_record(start, sink, visit);
}

Result<size_t, CsvError> CsvReader::next_batch(RowBatch& batch, size_t column_count,
                                               size_t max_rows) {
  if (pending_error_) return *pending_error_;
  const size_t start = tokenizer_.offset();
  RowSink sink(batch, input_, tokenizer_.dialect(), column_count, max_rows);
  tokenizer_.reset_non_ascii();
  tokenizer_.run(sink);
  sink.finish();
  if (null_values_ != nullptr && !null_values_->empty()) {
    batch.empty_fields_where([&](std::string_view field) { return null_values_->matches(field); });
  }

  // Delimiters, quotes and line ends are ASCII, so when the raw bytes are
  // valid UTF-8 every field is; otherwise look field by field.
  if (tokenizer_.saw_non_ascii() &&
      !common::is_valid_utf8(input_.data() + start, tokenizer_.offset() - start)) {
    if (auto invalid = find_invalid_record(start, tokenizer_.offset(), records_completed_)) {
      auto& [index, error] = *invalid;
      batch.row_count_ = index;
      records_completed_ += index;
      pending_error_ = error;
      if (index == 0) return error;
      return index;
    }
  }
  records_completed_ += batch.row_count_;
  return batch.row_count_;
}

}  // namespace csv
