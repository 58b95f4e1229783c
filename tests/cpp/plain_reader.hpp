// A byte-at-a-time CSV reader written straight from the grammar, and a
// driver that reads the same input through the block tokeniser in batches
// of random sizes; the tests and the reader fuzzer compare the two.
#pragma once

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "common/utf8.hpp"

namespace plain {

struct PlainRecord {
  std::vector<std::string> fields;
  csv::RecordPosition position;
};

// One byte at a time, one situation at a time.
class PlainReader {
 public:
  explicit PlainReader(const std::string& input) : input_(input) {
    if (input_.rfind("\xEF\xBB\xBF", 0) == 0) offset_ = 3;
  }

  std::optional<PlainRecord> next() {
    PlainRecord record{{}, position_};
    enum { RecordStart, FieldStart, Unquoted, Quoted, QuoteInQuoted, AfterCr } state =
        after_cr_ ? AfterCr : RecordStart;
    std::string field;
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
      if (state == RecordStart) {
        if (line_end) {
          consume();
          continue;
        }
        state = FieldStart;
      }
      consume();
      switch (state) {
        case QuoteInQuoted:
          if (c == '"') {  // a doubled quote
            field += c;
            state = Quoted;
            continue;
          }
          // Anything else after a closing quote is handled as in an unquoted field.
          [[fallthrough]];
        case FieldStart:
          if (c == '"') {
            state = Quoted;
            continue;
          }
          [[fallthrough]];
        case Unquoted:
          if (c == ',') {
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
          if (c == '"') {
            state = QuoteInQuoted;
          } else {
            field += c;
          }
          continue;
        default:
          continue;
      }
    }
    if (state == RecordStart || state == AfterCr) return std::nullopt;
    return finish(record, field, 0);
  }

 private:
  void consume() {
    if (input_[offset_] == '\n') ++position_.line;
    ++offset_;
    position_.byte = offset_;
  }
  PlainRecord finish(PlainRecord& record, std::string& field, char terminator) {
    record.fields.push_back(std::move(field));
    after_cr_ = terminator == '\r';
    ++position_.record;
    return std::move(record);
  }

  const std::string& input_;
  size_t offset_ = 0;
  bool after_cr_ = false;
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

inline Outcome read_plainly(const std::string& input) {
  Outcome outcome;
  PlainReader reader(input);
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
                               csv::ScanBlocks scan = csv::best_block_scanner()) {
  Outcome outcome;
  // An allocation of exactly the input's size, so that reading past it is
  // caught by the address sanitizer.
  const std::vector<uint8_t> input(text.begin(), text.end());
  csv::CsvReader reader(input, scan);
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

}  // namespace plain
