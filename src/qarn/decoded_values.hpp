// What the reader decodes values into: forms that array libraries take
// without further conversion.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "common/byte_buffer.hpp"
#include "qarn/value.hpp"

namespace qarn {

// The values of one or more encoded value arrays of one type. Fixed-width
// values lie back to back in their little-endian form, a `bool` as one byte
// 0 or 1. `string` and `bytes` elements lie back to back in `data`, with
// `offsets` holding one int64 start per element and a final end (so one
// more than the elements, the first 0).
class ValueColumn {
 public:
  explicit ValueColumn(TypeId type) : type_(type) {
    if (is_variable_width(type_)) {
      const int64_t zero = 0;
      offsets_.append(&zero, sizeof zero);
    }
  }

  [[nodiscard]] TypeId type() const noexcept { return type_; }
  [[nodiscard]] uint64_t size() const noexcept {
    return is_variable_width(type_) ? offsets_.size() / sizeof(int64_t) - 1
                                    : fixed_.size() / fixed_width(type_);
  }

  [[nodiscard]] ByteBuffer& fixed() noexcept { return fixed_; }
  [[nodiscard]] const ByteBuffer& fixed() const noexcept { return fixed_; }
  [[nodiscard]] ByteBuffer& offsets() noexcept { return offsets_; }
  [[nodiscard]] const ByteBuffer& offsets() const noexcept { return offsets_; }
  [[nodiscard]] ByteBuffer& data() noexcept { return data_; }
  [[nodiscard]] const ByteBuffer& data() const noexcept { return data_; }

  // Element `i` of a `string` or `bytes` column.
  [[nodiscard]] std::string_view element(uint64_t i) const noexcept {
    int64_t bounds[2];
    std::memcpy(bounds, offsets_.data() + i * sizeof(int64_t), sizeof bounds);
    return {reinterpret_cast<const char*>(data_.data()) + bounds[0],
            static_cast<size_t>(bounds[1] - bounds[0])};
  }

  // Appends element `i` of `other`, a column of the same type, `times` times.
  void append_repeated(const ValueColumn& other, uint64_t i, uint64_t times);

  void clear() noexcept {
    fixed_.clear();
    data_.clear();
    offsets_.truncate(sizeof(int64_t));
  }

 private:
  TypeId type_;
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

// One value of the metadata: its type and its bytes (the little-endian
// bytes of a fixed-width value, or the content of a `string` or `bytes`).
struct SingleValue {
  TypeId type = TypeId::Bool;
  std::string bytes;
};

}  // namespace qarn
