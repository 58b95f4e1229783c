// Bounded forward reading over a whole file held in memory. Every read
// names the item it belongs to, so that a file that ends inside the item is
// reported at the item's first byte.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "qarn/read_error.hpp"

namespace qarn {

class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> file) noexcept
      : begin_(file.data()), end_(file.data() + file.size()), at_(file.data()) {}

  [[nodiscard]] uint64_t offset() const noexcept { return static_cast<uint64_t>(at_ - begin_); }
  [[nodiscard]] size_t remaining() const noexcept { return static_cast<size_t>(end_ - at_); }
  [[nodiscard]] bool at_end() const noexcept { return at_ == end_; }
  [[nodiscard]] const uint8_t* here() const noexcept { return at_; }
  [[nodiscard]] const uint8_t* file_begin() const noexcept { return begin_; }
  [[nodiscard]] const uint8_t* file_end() const noexcept { return end_; }
  [[nodiscard]] uint64_t offset_of(const uint8_t* p) const noexcept {
    return static_cast<uint64_t>(p - begin_);
  }

  void advance(size_t n) noexcept { at_ += n; }
  void seek(const uint8_t* p) noexcept { at_ = p; }

  // Takes `n` bytes, or fails as invalid size at `item` when fewer remain.
  [[nodiscard]] ReadStatus take(size_t n, uint64_t item, const uint8_t*& bytes) noexcept {
    if (n > remaining()) return read_error(FormatErrorKind::InvalidSize, item);
    bytes = at_;
    at_ += n;
    return std::nullopt;
  }

  [[nodiscard]] ReadStatus read_byte(uint8_t& value) noexcept {
    if (at_ == end_) return read_error(FormatErrorKind::InvalidSize, offset());
    value = *at_++;
    return std::nullopt;
  }

  // A count or length: a signed 32-bit integer that must not be negative.
  // `item` is where the enclosing item starts (the count itself for a bare count).
  [[nodiscard]] ReadStatus read_count(uint64_t& value, uint64_t item) noexcept {
    if (remaining() < 4) return read_error(FormatErrorKind::InvalidSize, item);
    int32_t raw;
    std::memcpy(&raw, at_, 4);
    if (raw < 0) return read_error(FormatErrorKind::InvalidSize, item);
    at_ += 4;
    value = static_cast<uint64_t>(raw);
    return std::nullopt;
  }
  [[nodiscard]] ReadStatus read_count(uint64_t& value) noexcept {
    return read_count(value, offset());
  }

 private:
  const uint8_t* begin_;
  const uint8_t* end_;
  const uint8_t* at_;
};

}  // namespace qarn
