// What the reader decodes values into: forms that array libraries take
// without further conversion.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/byte_buffer.hpp"
#include "qarn/offsets_view.hpp"
#include "qarn/string_views.hpp"
#include "qarn/value.hpp"

namespace qarn {

// The values of one or more encoded value arrays of one type. Fixed-width
// values lie back to back in their little-endian form, a `bool` as one byte
// 0 or 1. `string` and `bytes` elements lie back to back in `data`, with
// `offsets` holding one start per element and a final end (so one more
// than the elements, the first 0), as int64, or as int32 when the column
// was narrowed because its data is known to stay below 2 GiB. A column
// laid out as views instead holds in `offsets` one 16-byte view per element
// (see qarn/string_views.hpp), and in `data` only the elements longer than
// a view holds inline.
class ValueColumn {
 public:
  explicit ValueColumn(TypeId type) : type_(type) {
    if (is_variable_width(type_)) offsets_.fill(offset_width_, 0);
  }

  [[nodiscard]] TypeId type() const noexcept { return type_; }
  [[nodiscard]] uint64_t size() const noexcept {
    if (!is_variable_width(type_)) return fixed_.size() / fixed_width(type_);
    return views() ? offsets_.size() / kViewWidth : offsets_.size() / offset_width_ - 1;
  }

  [[nodiscard]] ByteBuffer& fixed() noexcept { return fixed_; }
  [[nodiscard]] const ByteBuffer& fixed() const noexcept { return fixed_; }
  [[nodiscard]] ByteBuffer& offsets() noexcept { return offsets_; }
  [[nodiscard]] const ByteBuffer& offsets() const noexcept { return offsets_; }
  [[nodiscard]] ByteBuffer& data() noexcept { return data_; }
  [[nodiscard]] const ByteBuffer& data() const noexcept { return data_; }

  // The bytes of a view, where a column laid out as views has its offsets.
  static constexpr size_t kViewWidth = kStringViewBytes;

  // 4 or 8 bytes per offset, or kViewWidth for views.
  [[nodiscard]] size_t offset_width() const noexcept { return offset_width_; }
  [[nodiscard]] bool views() const noexcept { return offset_width_ == kViewWidth; }
  // Offsets as int32 from now on; only while the column is empty.
  void narrow_offsets() noexcept { relayout(sizeof(int32_t), sizeof(int32_t)); }
  // Views from now on; only while the column is empty. Their data is
  // addressed with 32 bits, so at most 2 GiB of it.
  void lay_out_views() noexcept { relayout(kViewWidth, 0); }

  // Only for offsets, not views.
  [[nodiscard]] OffsetsView offsets_view() const noexcept { return {offsets_.data(), offset_width_}; }

  // Element `i` of a `string` or `bytes` column.
  [[nodiscard]] std::string_view element(uint64_t i) const noexcept {
    if (!views()) return offsets_view().element(data_.data(), i);
    const uint8_t* view = offsets_.data() + i * kViewWidth;
    const auto length = common::load<uint32_t>(view);
    const char* bytes = length <= kMostInlined ? reinterpret_cast<const char*>(view + 4)
                                                 : reinterpret_cast<const char*>(data_.data()) +
                                                       common::load<uint32_t>(view + 12);
    return {bytes, length};
  }

  // Appends value `i` of `other`, a column of the same fixed-width type,
  // `times` times.
  void append_repeated(const ValueColumn& other, uint64_t i, uint64_t times);

  void clear() noexcept {
    fixed_.clear();
    data_.clear();
    offsets_.truncate(views() ? 0 : offset_width_);
  }

 private:
  void relayout(size_t width, size_t first_offset_bytes) noexcept {
    if (size() != 0 || !is_variable_width(type_)) return;
    offset_width_ = width;
    offsets_.truncate(first_offset_bytes);
  }

  TypeId type_;
  size_t offset_width_ = sizeof(int64_t);
  ByteBuffer fixed_;
  ByteBuffer offsets_;
  ByteBuffer data_;
};

// One flag per row, 1 where the row's value is invalid. Rows after the last
// invalid one may be missing from `flags`: they are valid.
class InvalidFlags {
 public:
  // Appends the flags of rows from `first_row` on, padding the rows before
  // it with zeros. `flags` holds one byte 0 or 1 per row.
  void append(uint64_t first_row, const uint8_t* flags, uint64_t rows);
  void pad_to(uint64_t rows) {
    if (flags_.size() < rows) flags_.fill(rows - flags_.size(), 0);
  }
  [[nodiscard]] bool any() const noexcept { return any_; }
  [[nodiscard]] ByteBuffer& flags() noexcept { return flags_; }
  [[nodiscard]] const ByteBuffer& flags() const noexcept { return flags_; }

 private:
  ByteBuffer flags_;
  bool any_ = false;
};

}  // namespace qarn
