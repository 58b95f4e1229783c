// Decoding a whole file with its columns spread over threads. Each thread
// reads the file's framing from start to end, decodes the columns it was
// given and steps over the rest, so that no two threads write to one
// column and nothing has to be joined afterwards but the slices' records.
#pragma once

#include <cstdint>
#include <span>

#include "qarn/table_reader.hpp"

namespace qarn {

// Splits the columns flagged in `stored` among up to `threads` threads,
// whole columns each, the costliest first to the least loaded, by `costs`
// (one per column). The share of each thread, as flags per column; fewer
// than two shares when there is nothing to split.
[[nodiscard]] std::vector<std::vector<uint8_t>> share_columns(std::span<const uint8_t> stored,
                                                              std::span<const uint64_t> costs,
                                                              unsigned threads);

// Decodes each share on a thread of its own (the first on the calling
// one) into the made columns of `slices`, and files the slices' rows,
// flags and properties. Each reads the slices after `head`, which ended at
// byte `head_end`. False when a thread met a defect, or when the
// threads did not all read the same slices (the file changed as it was
// read): `slices` is then to be thrown away and the file read on one
// thread, which reports the first defect in reading order. Throws
// std::bad_alloc.
[[nodiscard]] bool read_shares(std::span<const uint8_t> file, const FileHead& head, uint64_t head_end,
                               std::span<const std::vector<uint8_t>> shares, DecodedSlices& slices);

}  // namespace qarn
