// Counting the set bits of a run of bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace common {

// Eight bytes at a time: without a popcount instruction in the baseline,
// each count is a call, so fewer of them count.
inline uint64_t count_set_bits(const uint8_t* bytes, size_t size) noexcept {
  uint64_t set = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    set += static_cast<uint64_t>(std::popcount(word));
  }
  for (; i < size; ++i) set += static_cast<uint64_t>(std::popcount(bytes[i]));
  return set;
}

}  // namespace common
