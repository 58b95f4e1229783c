#include "fields/chunk_builder.hpp"

#include <algorithm>

#include "common/bits.hpp"
#include "fields/column_conversion.hpp"
#include "qarn/packed_length.hpp"

namespace fields {

namespace {

qarn::ValueObject& plain_values(qarn::ColumnSlice& slice) {
  return std::get<qarn::PlainArray>(slice.values).values;
}

}  // namespace


ChunkBuilder::ChunkBuilder(std::span<const ColumnType> types, const NumberSpelling& spelling)
    : types_(types.begin(), types.end()), invalid_(types.size()), any_invalid_(types.size(), 0), spelling_(spelling) {
  slices_.reserve(types.size());
  for (const ColumnType type : types) {
    qarn::ColumnSlice& slice = slices_.emplace_back();
    slice.values = qarn::PlainArray{qarn::ValueObject(storage_type(type), qarn::Shape::Array)};
  }
}

namespace {

// How many of the rows, in order, lie in [begin, end).
uint64_t rows_within(const std::vector<uint32_t>& rows, size_t begin, size_t end) {
  return static_cast<uint64_t>(std::lower_bound(rows.begin(), rows.end(), end) -
                               std::lower_bound(rows.begin(), rows.end(), begin));
}

}  // namespace

void ChunkBuilder::append_rows(const csv::RowBatch& batch, size_t begin, size_t end) {
  for (size_t column = 0; column < slices_.size(); ++column) {
    misfit_rows_.clear();
    if (convert_column(batch.column(column) + begin, end - begin, types_[column], plain_values(slices_[column]),
                       invalid_[column], misfit_rows_, spelling_.of_column(column), respelt_)) {
      any_invalid_[column] = 1;
    }
    if (!misfit_rows_.empty()) lost_.add_misfits(column, slices_.size(), misfit_rows_.size());
  }
  lost_.records_with_extra_fields += rows_within(batch.rows_with_extra_fields(), begin, end);
  rows_ += end - begin;
}

size_t ChunkBuilder::encoded_size() const noexcept {
  size_t size = kSliceFraming;
  for (size_t column = 0; column < slices_.size(); ++column) {
    const qarn::ValueObject& values = std::get<qarn::PlainArray>(slices_[column].values).values;
    size += kSliceFraming + values.fixed().size() + values.var().packed().size() + invalid_[column].bytes.size();
  }
  return size;
}

std::span<const qarn::ColumnSlice> ChunkBuilder::finish_slices() {
  for (size_t column = 0; column < slices_.size(); ++column) {
    if (any_invalid_[column]) slices_[column].is_invalid = std::move(invalid_[column]);
  }
  return slices_;
}

void ChunkBuilder::append_converted(const ConvertedRows& rows, size_t begin, size_t end) {
  const ChunkBuilder& source = rows.columns_;
  for (size_t column = 0; column < slices_.size(); ++column) {
    const qarn::ValueObject& from = std::get<qarn::PlainArray>(source.slices_[column].values).values;
    qarn::ValueObject& to = plain_values(slices_[column]);
    if (const size_t width = qarn::fixed_width(to.type()); width != 0) {
      to.fixed().append(from.fixed().data() + begin * width, (end - begin) * width);
    } else {
      const uint8_t* packed = from.var().packed().data();
      const size_t first = rows.element_start(column, begin);
      const size_t last = rows.element_start(column, end);
      uint64_t longest = 0;
      for (const uint8_t* at = packed + first; at < packed + last;) {
        const uint64_t length = qarn::decode_packed_length(at);
        longest = std::max(longest, length);
        at += length;
      }
      to.var().append_packed({packed + first, last - first}, end - begin, longest);
    }
    qarn::BitArray& invalid = invalid_[column];
    const uint64_t first = invalid.bit_count;
    invalid.append_bits(end - begin, false);
    if (source.any_invalid_[column] &&
        common::copy_set_bits(source.invalid_[column].bytes.data(), begin, end, invalid.bytes.data(), first)) {
      any_invalid_[column] = 1;
    }
  }
  rows_ += end - begin;
}

void ConvertedRows::clear() {
  columns_.clear();
  rows_ = 0;
  extra_field_rows_.clear();
  for (std::vector<size_t>& marks : marks_) marks.clear();
  for (MisfitRows& misfits : misfit_rows_) misfits.clear();
}

void ConvertedRows::append(const csv::RowBatch& batch) {
  const size_t count = batch.row_count();
  const auto first = static_cast<uint32_t>(rows_);
  for (const uint32_t row : batch.rows_with_extra_fields()) extra_field_rows_.push_back(first + row);
  for (size_t column = 0; column < marks_.size(); ++column) {
    qarn::ValueObject& values = plain_values(columns_.slices_[column]);
    qarn::BitArray& invalid = columns_.invalid_[column];
    MisfitRows& misfits = misfit_rows_[column];
    const size_t misfits_before = misfits.size();
    const bool any_invalid =
        columns_.types_[column] == ColumnType::String
            ? convert_marked_strings(batch.column(column), count, values, invalid,
                                     {rows_, kRowsPerMark, marks_[column]})
            : convert_column(batch.column(column), count, columns_.types_[column], values, invalid, misfits,
                             columns_.spelling_.of_column(column), columns_.respelt_);
    // The batch numbers its rows from its own first.
    for (size_t i = misfits_before; i < misfits.size(); ++i) misfits[i] += first;
    if (any_invalid) columns_.any_invalid_[column] = 1;
  }
  rows_ += count;
  columns_.rows_ = rows_;
}

size_t ConvertedRows::element_start(size_t column, size_t row) const noexcept {
  const std::vector<size_t>& marks = marks_[column];
  const auto& bytes = values(column).var().packed();
  // Past the last mark only the end of every row appended, a multiple.
  if (row / kRowsPerMark == marks.size()) return bytes.size();
  const uint8_t* const packed = bytes.data();
  const uint8_t* at = packed + marks[row / kRowsPerMark];
  for (size_t skip = row % kRowsPerMark; skip > 0; --skip) {
    const uint64_t length = qarn::decode_packed_length(at);
    at += length;
  }
  return static_cast<size_t>(at - packed);
}

LostCells ConvertedRows::lost(size_t first) const {
  LostCells lost;
  for (size_t column = 0; column < misfit_rows_.size(); ++column) {
    const uint64_t count = rows_within(misfit_rows_[column], first, rows_);
    if (count != 0) lost.add_misfits(column, misfit_rows_.size(), count);
  }
  lost.records_with_extra_fields = rows_within(extra_field_rows_, first, rows_);
  return lost;
}

void ChunkBuilder::clear() {
  for (size_t column = 0; column < slices_.size(); ++column) {
    qarn::ColumnSlice& slice = slices_[column];
    if (slice.is_invalid) {
      invalid_[column] = std::move(*slice.is_invalid);
      slice.is_invalid.reset();
    }
    plain_values(slice).clear();
    invalid_[column].clear();
    any_invalid_[column] = 0;
  }
  rows_ = 0;
}

}  // namespace fields
