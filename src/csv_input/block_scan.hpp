// Bit masks of the structural bytes of 64-byte blocks, many blocks per call:
// with SSE2 everywhere, and with AVX2 or AVX-512BW where the processor has
// them. All must give the same masks; a unit test holds them to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "csv_input/dialect.hpp"

namespace csv {

// Special bytes of one 64-byte block, one bit per byte, lowest bit first.
struct BlockMasks {
  uint64_t delimiter;
  uint64_t quote;
  uint64_t line_end;  // carriage return or line feed
  uint64_t high;      // bytes of 0x80 and above
  uint64_t escape;    // the escape byte, when the dialect has one
  uint64_t comment;   // the comment byte, when the dialect has one
  uint64_t space;     // spaces that are no other special byte, when the dialect skips them

  friend bool operator==(const BlockMasks&, const BlockMasks&) = default;
};

// The masks of `count` whole blocks from `data` into `out`: with SSE2, with
// AVX2 (half the instructions) and with AVX-512BW (a whole block per
// compare, straight into a mask). The quote mask is empty when the dialect
// does not quote; the escape, comment and space masks are empty unless it
// has those bytes, which cost three more compares a block only then.
void scan_blocks_sse2(const Dialect& dialect, const uint8_t* data, size_t count, BlockMasks* out) noexcept;
void scan_blocks_avx2(const Dialect& dialect, const uint8_t* data, size_t count, BlockMasks* out) noexcept;
void scan_blocks_avx512(const Dialect& dialect, const uint8_t* data, size_t count, BlockMasks* out) noexcept;
using ScanBlocks = void (*)(const Dialect& dialect, const uint8_t* data, size_t count,
                            BlockMasks* out) noexcept;
ScanBlocks best_block_scanner() noexcept;

}  // namespace csv
