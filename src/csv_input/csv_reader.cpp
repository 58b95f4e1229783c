#include "csv_input/csv_reader.hpp"

#include <algorithm>

#include "common/utf8.hpp"

namespace csv {

namespace {

constexpr uint8_t kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

size_t content_start(std::span<const uint8_t> input) noexcept {
  if (input.size() >= 3 && std::equal(kByteOrderMark, kByteOrderMark + 3, input.begin())) return 3;
  return 0;
}

// Appends bytes to a std::string, for unescape_quoted.
struct StringOutput {
  std::string& text;
  void append(const uint8_t* data, size_t size) {
    text.append(reinterpret_cast<const char*>(data), size);
  }
};

// Collects every field of one record as an owned string.
class RecordSink {
 public:
  RecordSink(std::span<const uint8_t> input, uint8_t quote) noexcept : input_(input), quote_(quote) {}

  void field(size_t begin, size_t end) {
    fields_.emplace_back(reinterpret_cast<const char*>(input_.data()) + begin, end - begin);
  }
  void escaped_field(size_t begin, size_t end) {
    StringOutput out{fields_.emplace_back()};
    unescape_quoted(input_.data() + begin, end - begin, quote_, out);
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
  uint8_t quote_;
  std::vector<std::string> fields_;
  size_t records_ = 0;
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
  RowSink(RowBatch& batch, std::span<const uint8_t> input, uint8_t quote, size_t column_count,
          size_t max_rows)
      : batch_(&batch),
        input_(reinterpret_cast<const char*>(input.data())),
        input_size_(input.size()),
        max_rows_(max_rows),
        quote_(quote) {
    batch.column_count_ = column_count;
    batch.row_count_ = 0;
    batch.row_capacity_ = max_rows;
    batch.arena_.clear();
    batch.arena_fields_.clear();
    const size_t slots = max_rows * column_count;
    if (batch.fields_.size() < slots) batch.fields_.resize(slots);
    row_start_ = slot_ = batch.fields_.data();
    row_end_ = slot_ + slots;
  }

  void field(size_t begin, size_t end) {
    if (slot_ >= row_end_) return;
    if (begin + kFieldPadding > input_size_) {
      // Too close to the end of the input to be read past: the arena holds
      // a copy, or the padding itself stands for an empty field.
      if (begin == end) {
        *slot_ = std::string_view(kEmptyField, 0);
        slot_ += max_rows_;
        return;
      }
      add_arena_field(batch_->arena_.size());
      batch_->arena_.append(input_ + begin, end - begin);
      batch_->arena_fields_.back().size = end - begin;
      return;
    }
    // Empty fields too point into the input, which can be read past them.
    *slot_ = std::string_view(input_ + begin, end - begin);
    slot_ += max_rows_;
  }

  void escaped_field(size_t begin, size_t end) {
    if (slot_ >= row_end_) return;
    const size_t offset = batch_->arena_.size();
    add_arena_field(offset);
    unescape_quoted(reinterpret_cast<const uint8_t*>(input_) + begin, end - begin, quote_, batch_->arena_);
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
    if (batch_->arena_fields_.empty()) return;
    batch_->arena_.fill(kFieldPadding, 0);
    const char* arena = reinterpret_cast<const char*>(batch_->arena_.data());
    for (const RowBatch::ArenaField& f : batch_->arena_fields_) {
      batch_->fields_[f.slot] = std::string_view(f.size == 0 ? kEmptyField : arena + f.offset, f.size);
    }
  }

 private:
  void add_arena_field(size_t offset) {
    const size_t slot = static_cast<size_t>(slot_ - batch_->fields_.data());
    batch_->arena_fields_.push_back({slot, offset, 0});
    slot_ += max_rows_;
  }

  RowBatch* batch_;
  const char* input_;
  size_t input_size_;
  size_t max_rows_;
  uint8_t quote_;
  size_t rows_ = 0;
  std::string_view* row_start_;  // the current row's slot in the first column
  std::string_view* slot_;       // the next field's slot: one column further per field
  std::string_view* row_end_;    // past the current row's last column
};

CsvReader::CsvReader(std::span<const uint8_t> input, ScanBlocks scan) noexcept
    : input_(input), tokenizer_(input, content_start(input), scan) {}

CsvReader::CsvReader(std::span<const uint8_t> input, size_t start, uint64_t records_before,
                     ScanBlocks scan) noexcept
    : input_(input), tokenizer_(input, start, scan), records_completed_(records_before),
      header_(HeaderRow{}) {}

RecordPosition CsvReader::position_at(size_t offset, uint64_t record) const {
  const auto lines = std::count(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(offset),
                                tokenizer_.dialect().line_feed);
  return RecordPosition{offset, 1 + static_cast<uint64_t>(lines), record};
}

Result<HeaderRow, CsvError> CsvReader::read_header() {
  if (!header_) {
    RecordSink sink(input_, tokenizer_.dialect().quote);
    tokenizer_.run(sink);
    records_completed_ += sink.records();
    if (auto invalid = first_invalid_field(sink.fields())) {
      header_.emplace(CsvError{RecordPosition{0, 1, 0}, *invalid});
    } else {
      header_.emplace(std::move(sink.fields()));
    }
  }
  return *header_;
}

std::optional<std::pair<size_t, CsvError>> CsvReader::find_invalid_record(
    size_t start, size_t end, uint64_t first_record) const {
  Tokenizer tokenizer = tokenizer_.reading_from(start);
  RecordSink sink(input_, tokenizer.dialect().quote);
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

Result<size_t, CsvError> CsvReader::next_batch(RowBatch& batch, size_t column_count,
                                               size_t max_rows) {
  if (pending_error_) return *pending_error_;
  const size_t start = tokenizer_.offset();
  RowSink sink(batch, input_, tokenizer_.dialect().quote, column_count, max_rows);
  tokenizer_.reset_non_ascii();
  tokenizer_.run(sink);
  sink.finish();

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
