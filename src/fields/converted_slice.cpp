#include "fields/converted_slice.hpp"

#include <bit>
#include <cstring>

#include "common/bits.hpp"
#include "qarn/array_encoding.hpp"
#include "qarn/property_names.hpp"
#include "qarn/writer.hpp"

namespace fields {

namespace {

constexpr size_t kSectionHeaderBytes = qarn::Writer::kSectionHeaderSize;
constexpr size_t kCountBytes = qarn::Writer::kCountSize;
// Encoding, value type and count.
constexpr size_t kArrayHeadBytes = 2 + kCountBytes;

size_t bit_bytes(uint64_t bits) { return static_cast<size_t>((bits + 7) / 8); }

// Whether any of flags [begin, end) is set; whole bytes at a time.
bool any_set(const qarn::BitArray& bits, size_t begin, size_t end) noexcept {
  const uint8_t* bytes = bits.bytes.data();
  size_t bit = begin;
  for (; bit < end && (bit & 7) != 0; ++bit) {
    if (common::flag_set(bytes, bit)) return true;
  }
  for (; bit + 8 <= end; bit += 8) {
    if (bytes[bit >> 3] != 0) return true;
  }
  for (; bit < end; ++bit) {
    if (common::flag_set(bytes, bit)) return true;
  }
  return false;
}

// What a column's slice holds, over every range.
struct ColumnShape {
  uint64_t rows = 0;
  uint64_t value_bytes = 0;
  bool variable = false;
  bool any_invalid = false;
};

ColumnShape column_shape(std::span<const ConvertedRange> ranges, size_t column) {
  ColumnShape shape;
  const size_t width = qarn::fixed_width(ranges.front().rows->values(column).type());
  shape.variable = width == 0;
  for (const ConvertedRange& range : ranges) {
    shape.rows += range.end - range.begin;
    if (shape.variable) {
      const ConvertedRows& rows = *range.rows;
      shape.value_bytes += rows.element_start(column, range.end) - rows.element_start(column, range.begin);
    } else {
      shape.value_bytes += (range.end - range.begin) * width;
    }
    const qarn::BitArray* invalid = range.rows->invalid(column);
    if (!shape.any_invalid && invalid != nullptr) shape.any_invalid = any_set(*invalid, range.begin, range.end);
  }
  return shape;
}

size_t column_slice_size(const ColumnShape& shape) {
  size_t size = kSectionHeaderBytes + kArrayHeadBytes + (shape.variable ? kCountBytes : 0) + shape.value_bytes +
                kCountBytes;
  if (shape.any_invalid) {
    size += kCountBytes + qarn::property::kIsInvalid.size() + kArrayHeadBytes + bit_bytes(shape.rows);
  }
  return size;
}

// Writes the format's framing at a cursor that has room for it, as
// qarn::Writer does at the end of a buffer.
class Cursor {
 public:
  explicit Cursor(uint8_t* at) noexcept : at_(at) {}
  [[nodiscard]] uint8_t* at() const noexcept { return at_; }

  void section_header(qarn::SectionId id) noexcept {
    qarn::Writer::store_section_header(at_, id);
    at_ += kSectionHeaderBytes;
  }
  void byte(uint8_t value) noexcept { *at_++ = value; }
  void count(uint64_t value) noexcept {
    qarn::Writer::store_u32(at_, static_cast<uint32_t>(value));
    at_ += kCountBytes;
  }
  void bytes(const void* from, size_t size) noexcept {
    if (size != 0) std::memcpy(at_, from, size);
    at_ += size;
  }
  // `size` bytes of zero, for the caller to fill.
  uint8_t* zeros(size_t size) noexcept {
    uint8_t* start = at_;
    std::memset(start, 0, size);
    at_ += size;
    return start;
  }

 private:
  uint8_t* at_;
};

uint64_t write_invalid_bits(Cursor& cursor, std::span<const ConvertedRange> ranges, size_t column,
                            uint64_t rows) {
  cursor.count(qarn::property::kIsInvalid.size());
  cursor.bytes(qarn::property::kIsInvalid.data(), qarn::property::kIsInvalid.size());
  cursor.byte(static_cast<uint8_t>(qarn::EncodingId::BitArray));
  cursor.byte(static_cast<uint8_t>(qarn::TypeId::Bool));
  cursor.count(rows);
  uint8_t* bits = cursor.zeros(bit_bytes(rows));
  uint64_t first = 0;
  for (const ConvertedRange& range : ranges) {
    if (const qarn::BitArray* invalid = range.rows->invalid(column)) {
      common::copy_set_bits(invalid->bytes.data(), range.begin, range.end, bits, first);
    }
    first += range.end - range.begin;
  }
  return common::count_set_bits(bits, bit_bytes(rows));
}

uint64_t write_column(Cursor& cursor, std::span<const ConvertedRange> ranges, size_t column) {
  const ColumnShape shape = column_shape(ranges, column);
  const qarn::ValueObject& first_values = ranges.front().rows->values(column);
  cursor.section_header(qarn::SectionId::ColumnSlice);
  cursor.byte(static_cast<uint8_t>(qarn::EncodingId::Plain));
  cursor.byte(qarn::type_id(first_values));
  cursor.count(shape.rows);
  if (shape.variable) cursor.count(shape.value_bytes);
  const size_t width = qarn::fixed_width(first_values.type());
  for (const ConvertedRange& range : ranges) {
    const qarn::ValueObject& values = range.rows->values(column);
    if (shape.variable) {
      const size_t first = range.rows->element_start(column, range.begin);
      cursor.bytes(values.var().packed().data() + first, range.rows->element_start(column, range.end) - first);
    } else {
      cursor.bytes(values.fixed().data() + range.begin * width, (range.end - range.begin) * width);
    }
  }
  cursor.count(shape.any_invalid ? 1 : 0);
  return shape.any_invalid ? write_invalid_bits(cursor, ranges, column, shape.rows) : 0;
}

}  // namespace

std::optional<size_t> converted_slice_size(std::span<const ConvertedRange> ranges) {
  const size_t columns = ranges.front().rows->column_count();
  if (columns > qarn::kMaxCount) return std::nullopt;
  size_t size = kSectionHeaderBytes + kCountBytes;
  for (size_t column = 0; column < columns; ++column) {
    const ColumnShape shape = column_shape(ranges, column);
    if (shape.rows > qarn::kMaxCount || (shape.variable && shape.value_bytes > qarn::kMaxCount)) return std::nullopt;
    size += column_slice_size(shape);
  }
  return size;
}

uint8_t* write_converted_slice(std::span<const ConvertedRange> ranges, uint8_t* out, uint64_t& invalid_cells) {
  const size_t columns = ranges.front().rows->column_count();
  Cursor cursor(out);
  cursor.section_header(qarn::SectionId::TableSlice);
  cursor.count(columns);
  for (size_t column = 0; column < columns; ++column) invalid_cells += write_column(cursor, ranges, column);
  return cursor.at();
}

}  // namespace fields
