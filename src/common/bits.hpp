// Runs of flags packed eight to a byte, the first most significant:
// counting and copying them.
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

inline bool flag_set(const uint8_t* bytes, size_t index) noexcept {
  return bytes[index >> 3] & (0x80u >> (index & 7));
}

// Sets in `target` the flags of `flags`, a byte of eight, from flag `at` on.
inline void set_eight_flags(uint8_t* target, uint64_t at, unsigned flags) noexcept {
  const unsigned offset = at & 7;
  target[at >> 3] |= static_cast<uint8_t>(flags >> offset);
  if (offset != 0) target[(at >> 3) + 1] |= static_cast<uint8_t>(flags << (8 - offset));
}

// Sets in `target`, from flag `first` on, the flags of [begin, end) of
// `source` that are set; the target's flags there are clear. Eight at a
// time, as most bytes of flags are clear. Returns whether any was set.
inline bool copy_set_bits(const uint8_t* source, size_t begin, size_t end, uint8_t* target,
                          uint64_t first) noexcept {
  unsigned any = 0;
  size_t bit = begin;
  uint64_t to = first;
  for (; bit + 8 <= end; bit += 8, to += 8) {
    const size_t from = bit >> 3;
    const unsigned skew = bit & 7;
    // The eight flags from `bit` on; the byte after `from` holds some of
    // them whenever they are not byte-aligned.
    const unsigned flags =
        skew == 0 ? source[from] : ((unsigned{source[from]} << skew) | (source[from + 1] >> (8 - skew))) & 0xFFu;
    if (flags == 0) continue;
    any |= flags;
    set_eight_flags(target, to, flags);
  }
  for (; bit < end; ++bit, ++to) {
    if (!flag_set(source, bit)) continue;
    any = 1;
    target[to >> 3] |= static_cast<uint8_t>(0x80u >> (to & 7));
  }
  return any != 0;
}

}  // namespace common
