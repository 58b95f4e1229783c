// A byte-at-a-time CSV reader written straight from the grammar, and
// drivers that read the same input through the block tokeniser, in batches
// of random sizes or in runs of a few records; the tests and the reader
// fuzzer compare them.
#pragma once

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "csv_input/tokenizer.hpp"
#include "common/utf8.hpp"

namespace plain {

struct PlainRecord {
  std::vector<std::string> fields;
  csv::RecordPosition position;
};

// One byte at a time, one situation at a time, in any dialect.
class PlainReader {
 public:
  explicit PlainReader(const std::string& input, const csv::Dialect& dialect = {})
      : input_(input), d_(dialect) {
    if (input_.rfind("\xEF\xBB\xBF", 0) == 0) offset_ = position_.byte = 3;
  }

  std::optional<PlainRecord> next() {
    PlainRecord record{{}, position_};
    enum { RecordStart, FieldStart, Unquoted, Quoted, QuoteInQuoted, AfterCr } state =
        after_cr_ ? AfterCr : RecordStart;
    std::string field;
    bool escaped = false;  // the byte before was an escape
    const auto is = [](char c, uint8_t byte, bool used) { return used && static_cast<uint8_t>(c) == byte; };
    while (offset_ < input_.size()) {
      const char c = input_[offset_];
      const bool line_end = c == '\r' || c == '\n';
      if (state == AfterCr) {
        state = RecordStart;
        if (c == '\n') {
          consume();
          continue;
        }
      }
      // Spaces skipped where a field begins; at a record's start, a line of them is blank.
      const bool skipped = d_.skip_initial_space && c == ' ' && !is(c, d_.quote, d_.quoting) &&
                           !is(c, d_.escape, d_.escaping) && !is(c, d_.comment, d_.comments);
      if (state == RecordStart) {
        if (line_end || skipped) {
          consume();
          continue;
        }
        if (is(c, d_.comment, d_.comments)) {  // a comment line, up to its line end
          while (offset_ < input_.size() && input_[offset_] != '\r' && input_[offset_] != '\n') consume();
          continue;
        }
        state = FieldStart;
      }
      consume();
      if (escaped) {
        field += c;
        escaped = false;
        continue;
      }
      switch (state) {
        case QuoteInQuoted:
          if (is(c, d_.quote, true)) {  // doubled: one quote of content, or content after the closing one
            field += c;
            state = d_.doublequote ? Quoted : Unquoted;
            continue;
          }
          // Anything else after a closing quote is handled as in an unquoted field.
          state = Unquoted;
          [[fallthrough]];
        case FieldStart:
          if (state == FieldStart && is(c, d_.quote, d_.quoting)) {
            state = Quoted;
            continue;
          }
          if (state == FieldStart && skipped) continue;
          [[fallthrough]];
        case Unquoted:
          if (is(c, d_.escape, d_.escaping)) {
            escaped = true;
            state = Unquoted;
          } else if (is(c, d_.delimiter, true)) {
            record.fields.push_back(std::move(field));
            field.clear();
            state = FieldStart;
          } else if (line_end) {
            return finish(record, field, c);
          } else {
            field += c;
            state = Unquoted;
          }
          continue;
        case Quoted:
          if (is(c, d_.quote, true)) {
            state = QuoteInQuoted;
          } else if (is(c, d_.escape, d_.escaping)) {
            escaped = true;
          } else if (line_end && !d_.newlines_in_values) {
            return finish(record, field, c);
          } else {
            field += c;
          }
          continue;
        default:
          continue;
      }
    }
    if (state == RecordStart || state == AfterCr) return std::nullopt;
    if (escaped) field += static_cast<char>(d_.escape);  // an escape that ends the input is content
    return finish(record, field, 0);
  }

  [[nodiscard]] bool last_ended_by_input_end() const noexcept { return ended_by_input_end_; }

 private:
  void consume() {
    if (input_[offset_] == '\n') ++position_.line;
    ++offset_;
    position_.byte = offset_;
  }
  PlainRecord finish(PlainRecord& record, std::string& field, char terminator) {
    record.fields.push_back(std::move(field));
    after_cr_ = terminator == '\r';
    ended_by_input_end_ = terminator == 0;
    ++position_.record;
    return std::move(record);
  }

  const std::string& input_;
  csv::Dialect d_;
  size_t offset_ = 0;
  bool after_cr_ = false;
  bool ended_by_input_end_ = false;
  csv::RecordPosition position_;
};

inline std::optional<csv::FieldUtf8Error> invalid_field(const std::vector<std::string>& fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    const auto* data = reinterpret_cast<const uint8_t*>(fields[i].data());
    const size_t valid = common::utf8_valid_prefix(data, fields[i].size());
    if (valid != fields[i].size()) return csv::FieldUtf8Error{i, valid};
  }
  return std::nullopt;
}

// What a whole read gives: header, rows of header width, and the error text
// that ended it, if any.
struct Outcome {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  std::string error;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

inline Outcome read_plainly(const std::string& input, const csv::Dialect& dialect = {}) {
  Outcome outcome;
  PlainReader reader(input, dialect);
  auto header = reader.next();
  if (header) {
    if (auto bad = invalid_field(header->fields)) {
      outcome.error = "header " + csv::message(csv::CsvError{{0, 1, 0}, *bad});
      return outcome;
    }
    outcome.header = header->fields;
  }
  while (auto record = reader.next()) {
    if (auto bad = invalid_field(record->fields)) {
      outcome.error = "record " + csv::message(csv::CsvError{record->position, *bad});
      return outcome;
    }
    record->fields.resize(outcome.header.size());
    outcome.rows.push_back(record->fields);
  }
  return outcome;
}

inline Outcome read_in_batches(const std::string& text, std::mt19937& random,
                               csv::ScanBlocks scan = csv::best_block_scanner(), const csv::Dialect& dialect = {}) {
  Outcome outcome;
  // An allocation of exactly the input's size, so that reading past it is
  // caught by the address sanitizer.
  const std::vector<uint8_t> input(text.begin(), text.end());
  csv::CsvReader reader(input, csv::TableLayout{dialect}, scan);
  auto header = reader.read_header();
  if (!header.ok()) {
    outcome.error = "header " + csv::message(header.error());
    return outcome;
  }
  outcome.header = header.value();
  csv::RowBatch batch;
  while (true) {
    const size_t max_rows = 1 + random() % 5;
    auto read = reader.next_batch(batch, outcome.header.size(), max_rows);
    if (!read.ok()) {
      outcome.error = "record " + csv::message(read.error());
      return outcome;
    }
    if (read.value() == 0) return outcome;
    for (size_t row = 0; row < batch.row_count(); ++row) {
      std::vector<std::string> fields;
      for (size_t column = 0; column < batch.column_count(); ++column) {
        const std::string_view field = batch.field(row, column);
        // Every field may be read this far past its start.
        volatile char last = field.data()[csv::kFieldPadding - 1];
        (void)last;
        fields.emplace_back(field);
      }
      outcome.rows.push_back(std::move(fields));
    }
  }
}

// Every record of an input: its fields, where its reading began (blank
// lines before it included), and whether the last one was ended by the end
// of the input.
struct Records {
  std::vector<std::vector<std::string>> fields;
  std::vector<size_t> starts;
  bool last_ended_by_input_end = false;
  bool non_ascii_flagged_exactly = true;  // the tokeniser's flag, after every run
  friend bool operator==(const Records&, const Records&) = default;
};

inline Records records_plainly(const std::string& input, const csv::Dialect& dialect = {}) {
  Records records;
  PlainReader reader(input, dialect);
  while (auto record = reader.next()) {
    records.fields.push_back(std::move(record->fields));
    records.starts.push_back(record->position.byte);
  }
  records.last_ended_by_input_end = reader.last_ended_by_input_end();
  return records;
}

// Keeps the fields of the records a tokeniser reads, and stops it after a
// given number of records.
class RecordCollector {
 public:
  RecordCollector(const std::vector<uint8_t>& input, const csv::Dialect& dialect, Records& records, size_t start,
                  size_t stop_after)
      : input_(&input), dialect_(dialect), records_(&records), start_(start), left_(stop_after) {}

  void field(size_t begin, size_t end) {
    fields_.emplace_back(input_->begin() + begin, input_->begin() + end);
  }
  void escaped_field(size_t begin, size_t end) {
    struct Output {
      std::string& text;
      void append(const uint8_t* data, size_t size) { text.append(data, data + size); }
    } out{fields_.emplace_back()};
    csv::unescape_field(input_->data() + begin, end - begin, dialect_, out);
  }
  bool record_end(size_t end) {
    records_->fields.push_back(std::move(fields_));
    records_->starts.push_back(start_);
    fields_.clear();
    start_ = end;
    return --left_ == 0;
  }

 private:
  const std::vector<uint8_t>* input_;
  csv::Dialect dialect_;
  Records* records_;
  size_t start_;
  size_t left_;
  std::vector<std::string> fields_;
};

// The records of `text` as the tokeniser reads them, in runs of one to five
// records, checking after each run that it flagged bytes of 0x80 and above
// exactly when the run consumed some.
inline Records tokenize_in_runs(const std::string& text, std::mt19937& random, csv::ScanBlocks scan,
                                csv::Accelerations accelerations, const csv::Dialect& dialect = {}) {
  Records records;
  // Exactly the input's size, so that reading past it is caught by the
  // address sanitizer.
  const std::vector<uint8_t> input(text.begin(), text.end());
  const size_t start = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  csv::Tokenizer tokenizer(input, start, scan, accelerations, dialect);
  while (!tokenizer.at_end()) {
    const size_t run_start = tokenizer.offset();
    RecordCollector sink(input, dialect, records, run_start, 1 + random() % 5);
    tokenizer.reset_non_ascii();
    tokenizer.run(sink);
    const bool consumed_non_ascii = std::any_of(input.begin() + static_cast<ptrdiff_t>(run_start),
                                                input.begin() + static_cast<ptrdiff_t>(tokenizer.offset()),
                                                [](uint8_t byte) { return byte >= 0x80; });
    if (tokenizer.saw_non_ascii() != consumed_non_ascii) records.non_ascii_flagged_exactly = false;
  }
  // Where the record ended by the end of the input began counts too.
  records.last_ended_by_input_end = tokenizer.ended_by_input_end() && !records.starts.empty() &&
                                    tokenizer.last_record_start() == records.starts.back();
  return records;
}

}  // namespace plain
