// The eight bytes of a 64-bit word looked at all at once, without a branch
// or a vector instruction.
#pragma once

#include <cstdint>

namespace common {

inline constexpr uint64_t kEachByte = 0x0101010101010101;
inline constexpr uint64_t kHighBits = 0x8080808080808080;

// The high bit of each byte of `word` that is zero, and no other bit: no
// carry runs from one byte into the next.
constexpr uint64_t zero_bytes(uint64_t word) noexcept {
  constexpr uint64_t kLow7 = ~kHighBits;
  return ~(((word & kLow7) + kLow7) | word) & kHighBits;
}

// The high bit of each byte of `word` that equals `byte`.
constexpr uint64_t bytes_equal(uint64_t word, uint8_t byte) noexcept { return zero_bytes(word ^ kEachByte * byte); }

}  // namespace common
