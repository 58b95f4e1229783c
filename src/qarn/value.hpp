// The format's value types and value objects (a single value or a value
// array of one type).
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <cstring>

#include "common/byte_buffer.hpp"
#include "common/load.hpp"
#include "qarn/packed_length.hpp"

namespace qarn {

using common::ByteBuffer;

static_assert(std::endian::native == std::endian::little,
              "values are stored in memory in their little-endian file form");

enum class TypeId : uint8_t {
  Bool = 0x01,
  Int = 0x02,
  Long = 0x03,
  Float = 0x04,
  Double = 0x05,
  Unnamed06 = 0x06,
  Unnamed07 = 0x07,
  Unnamed08 = 0x08,
  Unnamed09 = 0x09,
  String = 0x0A,
  Bytes = 0x0C,
  Unnamed0D = 0x0D,
};

inline constexpr std::array<TypeId, 12> kAllTypes = {
    TypeId::Bool,      TypeId::Int,       TypeId::Long,      TypeId::Float,
    TypeId::Double,    TypeId::Unnamed06, TypeId::Unnamed07, TypeId::Unnamed08,
    TypeId::Unnamed09, TypeId::String,    TypeId::Bytes,     TypeId::Unnamed0D};

// Whether `byte` is the id of one of the types.
constexpr bool is_type_id(uint8_t byte) noexcept {
  for (const TypeId type : kAllTypes) {
    if (static_cast<uint8_t>(type) == byte) return true;
  }
  return false;
}

enum class Shape : uint8_t { Single, Array };

// Bytes per value of a fixed-width type; 0 for `string` and `bytes`.
constexpr size_t fixed_width(TypeId type) noexcept {
  switch (type) {
    case TypeId::Bool: return 1;
    case TypeId::Int:
    case TypeId::Float: return 4;
    case TypeId::Long:
    case TypeId::Double:
    case TypeId::Unnamed06:
    case TypeId::Unnamed07:
    case TypeId::Unnamed08:
    case TypeId::Unnamed09: return 8;
    case TypeId::Unnamed0D: return 16;
    case TypeId::String:
    case TypeId::Bytes: return 0;
  }
  return 0;
}

constexpr bool is_variable_width(TypeId type) noexcept { return fixed_width(type) == 0; }

// Elements of a `string` or `bytes` object, held in the packed form the
// column slices use: each element's packed length followed by its bytes.
// Writing a column is then one copy; the metadata's unpacked form decodes it.
class VarValues {
 public:
  void append(const void* data, size_t length) {
    uint8_t* dst = packed_.spare(kMaxPackedLengthBytes + length);
    const size_t header = encode_packed_length(dst, length);
    if (length != 0) std::memcpy(dst + header, data, length);  // an empty view may be null
    packed_.commit(header + length);
    note(length);
  }

  // The same for `count` elements, each of which may be read for
  // common::kWideCopy bytes from its start even when it is shorter: a short
  // element is then copied as one block of that size. The end and the
  // longest stay in registers until the last element, since stores of
  // bytes could otherwise change them for all the compiler knows.
  void append_all_readable(const std::string_view* texts, size_t count) {
    size_t room = common::kWideCopy;
    for (size_t i = 0; i < count; ++i) room += kMaxPackedLengthBytes + texts[i].size();
    uint8_t* const begin = packed_.spare(room);
    uint8_t* dst = begin;
    uint64_t longest = longest_;
    for (size_t i = 0; i < count; ++i) {
      const size_t length = texts[i].size();
      dst += encode_packed_length(dst, length);
      common::copy_short_wide(dst, texts[i].data(), length, true);
      dst += length;
      longest = length > longest ? length : longest;
    }
    packed_.commit(static_cast<size_t>(dst - begin));
    count_ += count;
    longest_ = longest;
  }

  // Appends `count` whole elements as packed by another VarValues, the
  // longest of them `longest` bytes.
  void append_packed(std::span<const uint8_t> packed, uint64_t count, uint64_t longest) {
    packed_.append(packed);
    count_ += count;
    if (longest > longest_) longest_ = longest;
  }

  [[nodiscard]] uint64_t count() const noexcept { return count_; }
  [[nodiscard]] uint64_t longest() const noexcept { return longest_; }
  [[nodiscard]] const ByteBuffer& packed() const noexcept { return packed_; }
  void clear() noexcept {
    packed_.clear();
    count_ = 0;
    longest_ = 0;
  }
  [[nodiscard]] VarValues clone() const {
    VarValues copy;
    copy.packed_.append(packed_.bytes());
    copy.count_ = count_;
    copy.longest_ = longest_;
    return copy;
  }

  // Walks the elements in order: `visit(std::span<const uint8_t>)`.
  template <class Visit>
  void for_each(Visit&& visit) const;

 private:
  void note(size_t length) noexcept {
    ++count_;
    if (length > longest_) longest_ = length;
  }

  ByteBuffer packed_;
  uint64_t count_ = 0;
  uint64_t longest_ = 0;
};

template <class Visit>
void VarValues::for_each(Visit&& visit) const {
  const uint8_t* p = packed_.data();
  const uint8_t* end = p + packed_.size();
  while (p < end) {
    const uint64_t length = decode_packed_length(p);
    visit(std::span<const uint8_t>(p, length));
    p += length;
  }
}

// One value object: a type, a shape, and its values. Fixed-width values are
// held as their little-endian bytes; `string` and `bytes` as VarValues.
class ValueObject {
 public:
  ValueObject(TypeId type, Shape shape) noexcept : type_(type), shape_(shape) {}

  static ValueObject single_int(int32_t value);
  static ValueObject single_string(std::string_view value);
  static ValueObject single_bytes(std::span<const uint8_t> value);

  [[nodiscard]] TypeId type() const noexcept { return type_; }
  [[nodiscard]] Shape shape() const noexcept { return shape_; }
  [[nodiscard]] bool is_single() const noexcept { return shape_ == Shape::Single; }

  // Number of elements (1 for a well-formed single value).
  [[nodiscard]] uint64_t size() const noexcept {
    return is_variable_width(type_) ? var_.count() : fixed_.size() / fixed_width(type_);
  }

  // Little-endian bytes of the values; fixed-width types only.
  [[nodiscard]] ByteBuffer& fixed() noexcept { return fixed_; }
  [[nodiscard]] const ByteBuffer& fixed() const noexcept { return fixed_; }
  // Elements of `string` and `bytes` objects.
  [[nodiscard]] VarValues& var() noexcept { return var_; }
  [[nodiscard]] const VarValues& var() const noexcept { return var_; }

  // Appends one fixed-width value given as its native representation.
  template <class T>
  void push(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    fixed_.append(&value, sizeof(T));
  }

  void clear() noexcept {
    fixed_.clear();
    var_.clear();
  }

  [[nodiscard]] ValueObject clone() const {
    ValueObject copy(type_, shape_);
    copy.fixed_.append(fixed_.bytes());
    copy.var_ = var_.clone();
    return copy;
  }

 private:
  TypeId type_;
  Shape shape_;
  ByteBuffer fixed_;
  VarValues var_;
};

// The one-byte id of the object's type, through the table of the 24 kinds
// (twelve types, single value first, value array second).
uint8_t type_id(const ValueObject& value) noexcept;
bool is_single(const ValueObject& value) noexcept;

}  // namespace qarn
