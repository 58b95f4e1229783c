// The rows of one table slice, converted column by column into the slices
// the writer takes: from a batch of text fields, or from rows converted
// before, as the parallel driver hands them over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "csv_input/row_batch.hpp"
#include "fields/column_conversion.hpp"
#include "fields/column_type.hpp"
#include "fields/number_spelling.hpp"
#include "qarn/slice_writer.hpp"
#include "qarn/value.hpp"

namespace fields {

// Section headers, counts and property names, per table slice and per column
// slice: what an estimate of a slice's size in the file adds to its values.
inline constexpr size_t kSliceFraming = 64;

class ConvertedRows;

// What conversion could not keep: fields that did not fit their column's
// type (not the empty ones), and records with fields beyond the last column.
struct LostCells {
  std::vector<uint64_t> misfits_by_column;  // empty until a count is added
  uint64_t records_with_extra_fields = 0;

  void add_misfits(size_t column, size_t column_count, uint64_t count) {
    if (misfits_by_column.empty()) misfits_by_column.assign(column_count, 0);
    misfits_by_column[column] += count;
  }
  [[nodiscard]] uint64_t misfits() const noexcept {
    uint64_t total = 0;
    for (const uint64_t count : misfits_by_column) total += count;
    return total;
  }
  LostCells& operator+=(const LostCells& other) {
    for (size_t column = 0; column < other.misfits_by_column.size(); ++column) {
      if (other.misfits_by_column[column] != 0) {
        add_misfits(column, other.misfits_by_column.size(), other.misfits_by_column[column]);
      }
    }
    records_with_extra_fields += other.records_with_extra_fields;
    return *this;
  }
};

// The rows of one table slice, converted a batch at a time.
class ChunkBuilder {
 public:
  // Numbers are read as `spelling` says.
  explicit ChunkBuilder(std::span<const ColumnType> types, const NumberSpelling& spelling = {});

  [[nodiscard]] uint64_t row_count() const noexcept { return rows_; }

  // About how many bytes the slice of these rows takes in the file.
  [[nodiscard]] size_t encoded_size() const noexcept;

  // Appends rows [begin, end) of the batch to every column, counting what
  // they lose in `lost()`.
  void append_rows(const csv::RowBatch& batch, size_t begin, size_t end);
  [[nodiscard]] const LostCells& lost() const noexcept { return lost_; }

  // Appends rows [begin, end) of rows converted before, as they are.
  void append_converted(const ConvertedRows& rows, size_t begin, size_t end);

  // The slices of the rows appended since the last clear(), in column order,
  // each with "IsInvalid" when any of its rows is invalid.
  std::span<const qarn::ColumnSlice> finish_slices();

  // Empties every column for the next chunk, keeping the buffers and the
  // count of what was lost.
  void clear();

 private:
  friend class ConvertedRows;

  std::vector<ColumnType> types_;
  std::vector<qarn::ColumnSlice> slices_;
  std::vector<qarn::BitArray> invalid_;  // lent to a slice only when a bit is set
  std::vector<uint8_t> any_invalid_;
  uint64_t rows_ = 0;
  MisfitRows misfit_rows_;  // of the column being converted
  LostCells lost_;
  NumberSpelling spelling_;
  RespeltFields respelt_;  // the column being converted, spelt plainly
};

// Rows converted as soon as they are read, before it is known which table
// slice they go to; a ChunkBuilder takes any run of them later.
class ConvertedRows {
 public:
  explicit ConvertedRows(std::span<const ColumnType> types, const NumberSpelling& spelling = {})
      : columns_(types, spelling), marks_(types.size()), misfit_rows_(types.size()) {}

  // Converts every row of the batch after those held: a batch at a time,
  // while its fields are still in cache.
  void append(const csv::RowBatch& batch);
  // Forgets every row, keeping the buffers.
  void clear();

  [[nodiscard]] size_t row_count() const noexcept { return rows_; }
  [[nodiscard]] size_t column_count() const noexcept { return marks_.size(); }
  // What the rows held from `first` on lost.
  [[nodiscard]] LostCells lost(size_t first = 0) const;
  // Forgets the last row; its values stay where they are, unused.
  void drop_last_row() noexcept {
    if (rows_ > 0) --rows_;
  }

  // A column's values, as the slice of all the rows would hold them.
  [[nodiscard]] const qarn::ValueObject& values(size_t column) const noexcept {
    return std::get<qarn::PlainArray>(columns_.slices_[column].values).values;
  }
  // A column's "IsInvalid" bits; null when no row is invalid.
  [[nodiscard]] const qarn::BitArray* invalid(size_t column) const noexcept {
    return columns_.any_invalid_[column] ? &columns_.invalid_[column] : nullptr;
  }
  // Where the packed element of `row` (at most row_count(), the end, or
  // the dropped last row) begins in a `string` or `bytes` column.
  [[nodiscard]] size_t element_start(size_t column, size_t row) const noexcept;

 private:
  friend class ChunkBuilder;

  ChunkBuilder columns_;
  // For `string` and `bytes` columns, where the packed element of every
  // kRowsPerMark-th row begins: a row's element is found from the mark
  // before it by stepping over the lengths between. Noting every row's
  // start would write more than many of the values take.
  static constexpr size_t kRowsPerMark = 16;
  std::vector<std::vector<size_t>> marks_;
  // Per column the rows whose field did not fit, and the rows with extra fields.
  std::vector<MisfitRows> misfit_rows_;
  std::vector<uint32_t> extra_field_rows_;
  size_t rows_ = 0;
};

}  // namespace fields
