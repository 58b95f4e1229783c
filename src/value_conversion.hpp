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

// The rows of one table slice, converted a batch at a time.
class ChunkBuilder {
 public:
  explicit ChunkBuilder(std::span<const qarn::TypeId> types);

  [[nodiscard]] uint64_t row_count() const noexcept { return rows_; }

  // About how many bytes the slice of these rows takes in the file.
  [[nodiscard]] size_t encoded_size() const noexcept;

  // Appends rows [begin, end) of the batch to every column.
  void append_rows(const csv::RowBatch& batch, size_t begin, size_t end) {
    append_columns(batch, begin, end, 0, slices_.size());
  }

  // The same for columns [first, stop) alone, so that threads may share
  // the columns of one slice; the others must then be left unread.
  void append_columns(const csv::RowBatch& batch, size_t begin, size_t end, size_t first, size_t stop);

  // The slices of the rows appended since the last clear(), in column order,
  // each with "IsInvalid" when any of its rows is invalid.
  std::span<const qarn::ColumnSlice> finish_slices();

  // Empties every column for the next chunk, keeping the buffers.
  void clear();

 private:
  std::vector<qarn::ColumnSlice> slices_;
  std::vector<qarn::BitArray> invalid_;  // lent to a slice only when a bit is set
  std::vector<uint8_t> any_invalid_;
  uint64_t rows_ = 0;
};

}  // namespace pipeline
