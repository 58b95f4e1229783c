// Reads the header row and then batches of records from CSV bytes held in
// memory, checking every record as UTF-8, field by field.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "csv_input/csv_error.hpp"
#include "csv_input/null_values.hpp"
#include "csv_input/row_batch.hpp"
#include "csv_input/tokenizer.hpp"
#include "common/result.hpp"

namespace csv {

using HeaderRow = std::vector<std::string>;

// How a table lies in the input: its dialect, the lines before it, and
// whether its first record names the columns.
struct TableLayout {
  Dialect dialect;
  uint64_t skip_rows = 0;  // lines (ended by LF, CR or CR LF) skipped before the first record
  bool header = true;      // false: the first record is data, its columns named column_1, ...
  const NullValues* null_values = nullptr;  // fields read as empty; none when null
};

// The fields of many records in one buffer, for readers of many small
// fields: field i is text[ends[i - 1], ends[i]) (text[0, ends[0]) for the first).
struct FieldTexts {
  std::string text;
  std::vector<size_t> ends;
};

class CsvReader {
 public:
  // Reads nothing yet. `input` must outlive the reader and every batch it
  // fills. `scan` finds the special bytes; tests choose one to check each.
  explicit CsvReader(std::span<const uint8_t> input, ScanBlocks scan = best_block_scanner()) noexcept
      : CsvReader(input, TableLayout{}, scan) {}
  CsvReader(std::span<const uint8_t> input, const TableLayout& layout,
            ScanBlocks scan = best_block_scanner()) noexcept;

  // Reads records from `start` on, as though the header and `records_before`
  // records had been read before it (their count numbers the records in
  // errors). `input` runs from the first byte of the whole input, so that
  // positions count from there; it may end before the whole input does.
  // Of the layout, only the dialect and the null values count here.
  CsvReader(std::span<const uint8_t> input, size_t start, uint64_t records_before, const TableLayout& layout,
            ScanBlocks scan = best_block_scanner()) noexcept;

  // The first record's fields; empty when the input holds no record at all.
  // Without a header, the names column_1, column_2, ... of as many columns
  // as the first record has fields, which stays to be read as data.
  // Remembered, so a second call answers the same without reading.
  Result<HeaderRow, CsvError> read_header();

  // Replaces the batch's contents with up to `max_rows` records as rows of
  // `column_count` fields and returns how many; 0 means the end of the data.
  // A record that is not valid UTF-8 ends the batch just before it, and the
  // next call returns its error, so rows before it are handed out first.
  Result<size_t, CsvError> next_batch(RowBatch& batch, size_t column_count, size_t max_rows);

  // Reads the records from `start`, where one begins, one at a time with
  // every field (those beyond the last column too) unquoted into owned text,
  // calling `visit(where, fields)` for each until it returns false or the
  // input ends. `where` is the first byte of the record itself, after the
  // line ends and blank lines before it. For the rare second look at records
  // that lost something; reading is slower this way.
  void visit_records(size_t start,
                     const std::function<bool(size_t where, std::vector<std::string>& fields)>& visit) const;
  // The same records as visit_records, their fields appended to `out`,
  // calling `visit(where, fields)` with how many each added.
  void visit_field_texts(size_t start, FieldTexts& out,
                         const std::function<bool(size_t where, size_t fields)>& visit) const;
  // The same records as visit_records, each as the number of its fields.
  void visit_field_counts(size_t start, const std::function<bool(size_t where, size_t fields)>& visit) const;

  // Input bytes consumed so far, up to the end of the last record read.
  [[nodiscard]] size_t bytes_read() const noexcept { return tokenizer_.offset(); }
  // Input bytes looked at so far: those consumed and, without a header row,
  // the first record, whose fields gave the names though it stays to be read.
  [[nodiscard]] size_t bytes_looked_at() const noexcept { return std::max(bytes_read(), names_end_); }
  // Records read so far, the header row included.
  [[nodiscard]] uint64_t records_read() const noexcept { return records_completed_; }
  // Whether the last record was ended by the end of `input` rather than by a
  // line end, and where it began.
  [[nodiscard]] bool ended_by_input_end() const noexcept { return tokenizer_.ended_by_input_end(); }
  [[nodiscard]] size_t last_record_start() const noexcept { return tokenizer_.last_record_start(); }

 private:
  // The first record in [start, end) holding a field that is not valid UTF-8,
  // as (its index from `start`, its error); `first_record` numbers the record
  // read from `start`.
  std::optional<std::pair<size_t, CsvError>> find_invalid_record(size_t start, size_t end,
                                                                 uint64_t first_record) const;
  RecordPosition position_at(size_t offset, uint64_t record) const;
  template <class Sink, class Visit>
  void visit_each_record(size_t start, Sink& sink, const Visit& visit) const;

  Result<HeaderRow, CsvError> read_first_record();

  std::span<const uint8_t> input_;
  bool header_in_input_ = true;
  const NullValues* null_values_ = nullptr;
  RecordPosition header_position_;
  Tokenizer tokenizer_;
  uint64_t records_completed_ = 0;  // header row included
  size_t names_end_ = 0;  // without a header row, where the record that gave the names ends
  std::optional<Result<HeaderRow, CsvError>> header_;
  std::optional<CsvError> pending_error_;
};

}  // namespace csv
