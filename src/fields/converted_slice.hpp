// A table slice written straight from rows converted before, which may lie
// in several pieces: the parallel driver's threads encode a slice without
// first gathering its rows into one place, and into the very bytes of the
// output, whose place the calling thread hands out from the slice's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fields/chunk_builder.hpp"

namespace fields {

// Rows [begin, end) of converted rows.
struct ConvertedRange {
  const ConvertedRows* rows;
  size_t begin;
  size_t end;
};

// The bytes of the slice of these rows, its section header included:
// exactly what a ChunkBuilder given them would write. None when a count
// would not fit the format; such a slice is written the long way, which
// says why.
std::optional<size_t> converted_slice_size(std::span<const ConvertedRange> ranges);

// Writes the slice at `out`, which has room for its size, and adds the
// cells it flags invalid to `invalid_cells`; returns where it ends.
uint8_t* write_converted_slice(std::span<const ConvertedRange> ranges, uint8_t* out, uint64_t& invalid_cells);

}  // namespace fields
