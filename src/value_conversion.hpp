// Turns the text fields of a chunk of rows into one column slice per column:
// a value array of the column's type with one element per row, and the
// "IsInvalid" bits of the rows whose field does not fit the type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "csv_input/row_batch.hpp"
#include "qarn/table_slice.hpp"
#include "qarn/value.hpp"

namespace pipeline {

// Appends `count` fields to a column: every field yields an element of
// `values`; one that does not fit the type yields the type's default and
// sets its row's bit in `invalid`. Returns whether any of them was invalid.
bool convert_column(const std::string_view* fields, size_t count,
                    qarn::ValueObject& values, qarn::BitArray& invalid);

// About how many bytes the file takes when the rest of the input is like
// the sample: the sample's values as the slices store them, scaled from the
// `sample_bytes` of input they took to all `input_bytes`. 0 without a sample.
size_t estimated_file_size(std::span<const csv::RowBatch> sample, std::span<const qarn::TypeId> types,
                           uint64_t chunk_size, size_t sample_bytes, size_t input_bytes);

class ConvertedRows;

// The rows of one table slice, converted a batch at a time.
class ChunkBuilder {
 public:
  explicit ChunkBuilder(std::span<const qarn::TypeId> types);

  [[nodiscard]] uint64_t row_count() const noexcept { return rows_; }

  // About how many bytes the slice of these rows takes in the file.
  [[nodiscard]] size_t encoded_size() const noexcept;

  // Appends rows [begin, end) of the batch to every column.
  void append_rows(const csv::RowBatch& batch, size_t begin, size_t end);

  // Appends rows [begin, end) of rows converted before, as they are.
  void append_converted(const ConvertedRows& rows, size_t begin, size_t end);

  // The slices of the rows appended since the last clear(), in column order,
  // each with "IsInvalid" when any of its rows is invalid.
  std::span<const qarn::ColumnSlice> finish_slices();

  // Empties every column for the next chunk, keeping the buffers.
  void clear();

 private:
  friend class ConvertedRows;

  std::vector<qarn::ColumnSlice> slices_;
  std::vector<qarn::BitArray> invalid_;  // lent to a slice only when a bit is set
  std::vector<uint8_t> any_invalid_;
  uint64_t rows_ = 0;
};

// Rows converted as soon as they are read, before it is known which table
// slice they go to; a ChunkBuilder takes any run of them later.
class ConvertedRows {
 public:
  explicit ConvertedRows(std::span<const qarn::TypeId> types) : columns_(types), starts_(types.size()) {}

  // Converts every row of the batch, in place of what was held.
  void convert(const csv::RowBatch& batch);

  [[nodiscard]] size_t row_count() const noexcept { return rows_; }
  // Forgets the last row; its values stay where they are, unused.
  void drop_last_row() noexcept {
    if (rows_ > 0) --rows_;
  }

 private:
  friend class ChunkBuilder;

  ChunkBuilder columns_;
  // For `string` and `bytes` columns, where each row's packed element
  // begins, and one more entry for the end.
  std::vector<std::vector<size_t>> starts_;
  size_t rows_ = 0;
};

}  // namespace pipeline
