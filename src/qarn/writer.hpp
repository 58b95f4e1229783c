// Primitive encodings shared by every section: counts, names, packed lengths
// and the section header. The writer only ever appends.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/byte_buffer.hpp"
#include "qarn/format_error.hpp"
#include "qarn/sections.hpp"

namespace qarn {

using common::ByteBuffer;

// Every count and length in the format is a signed 32-bit integer.
inline constexpr uint64_t kMaxCount = 0x7FFFFFFF;

// Appends to one output buffer. `max_count` is the largest count or length
// the format can hold; unit tests lower it to reach the limit checks without
// allocating gigabytes.
class Writer {
 public:
  explicit Writer(ByteBuffer& out, uint64_t max_count = kMaxCount) noexcept
      : out_(out), max_count_(max_count) {}

  [[nodiscard]] ByteBuffer& out() noexcept { return out_; }
  [[nodiscard]] uint64_t max_count() const noexcept { return max_count_; }
  [[nodiscard]] bool fits_count(uint64_t n) const noexcept { return n <= max_count_; }

  void write_section_header(SectionId id) { store_section_header(out_.extend(kSectionHeaderSize), id); }

  void write_version(uint8_t major, uint8_t minor) {
    uint8_t* p = out_.extend(2);
    p[0] = major;
    p[1] = minor;
  }

  void write_byte(uint8_t byte) { out_.push_back(byte); }

  // The caller has checked `n` against the limit and names its own error.
  void write_count(uint64_t n) { store_u32(out_.extend(4), static_cast<uint32_t>(n)); }

  // Byte length as a count, then the bytes.
  [[nodiscard]] WriteStatus write_name(std::string_view name) {
    if (!fits_count(name.size())) return FormatError{FormatErrorKind::StringTooLong};
    write_count(name.size());
    out_.append(name);
    return std::nullopt;
  }

  static void store_u32(uint8_t* p, uint32_t v) noexcept { std::memcpy(p, &v, 4); }
  // The magic number and the section's id, at `p`, which has room for them.
  static void store_section_header(uint8_t* p, SectionId id) noexcept {
    p[0] = kMagicLow;
    p[1] = kMagicHigh;
    p[2] = static_cast<uint8_t>(id);
  }
  static constexpr size_t kSectionHeaderSize = 3;
  static constexpr size_t kCountSize = 4;

 private:
  ByteBuffer& out_;
  uint64_t max_count_;
};

}  // namespace qarn
