// A batch of records held as rows of exactly `column_count` fields: field i
// of the record, or the empty text when the record is shorter; fields beyond
// the last column are dropped. Fields point into the caller's input, or into
// the batch's arena for quoted fields that had to be unescaped. They are
// stored column by column, so that converting a column reads its fields in
// sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/byte_buffer.hpp"

namespace csv {

// Every field of a RowBatch can be read this many bytes past its start, so
// that number parsers may load whole words without checking the length
// first. Fields near the end of the input are copied to the arena, which
// ends with this many zero bytes; empty fields there point at zeros.
inline constexpr size_t kFieldPadding = 32;
inline constexpr char kEmptyField[kFieldPadding] = {};

class RowBatch {
 public:
  [[nodiscard]] size_t row_count() const noexcept { return row_count_; }
  [[nodiscard]] size_t column_count() const noexcept { return column_count_; }

  [[nodiscard]] std::string_view field(size_t row, size_t column) const noexcept {
    return fields_[column * row_capacity_ + row];
  }
  // The fields of one column, row by row.
  [[nodiscard]] const std::string_view* column(size_t column) const noexcept {
    return fields_.data() + column * row_capacity_;
  }

  // The rows, in order, whose records had fields beyond the last column.
  [[nodiscard]] const std::vector<uint32_t>& rows_with_extra_fields() const noexcept { return extra_field_rows_; }

  // Makes every field for which `is_missing(field)` holds empty.
  template <class IsMissing>
  void empty_fields_where(IsMissing is_missing) {
    for (size_t column = 0; column < column_count_; ++column) {
      std::string_view* fields = fields_.data() + column * row_capacity_;
      for (size_t row = 0; row < row_count_; ++row) {
        if (is_missing(fields[row])) fields[row] = std::string_view(kEmptyField, 0);
      }
    }
  }

 private:
  friend class CsvReader;
  friend class RowSink;

  // A field rebuilt into the arena; its view is set once the arena stops moving.
  struct ArenaField {
    size_t slot;
    size_t offset;
    size_t size;
  };

  std::vector<std::string_view> fields_;
  common::ByteBuffer arena_;
  std::vector<ArenaField> arena_fields_;
  std::vector<uint32_t> extra_field_rows_;
  std::vector<uint8_t> extra_field_flags_;  // the reader's, while it fills the batch
  size_t row_count_ = 0;
  size_t column_count_ = 0;
  size_t row_capacity_ = 0;  // rows the field table has room for
};

}  // namespace csv
