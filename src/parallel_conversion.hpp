// One conversion on several threads, with exactly the output and the
// failures of the single-threaded driver.
//
// The calling thread reads the header and the sample, writes the start of
// the file, and then reads records in order, handing runs of whole table
// slices to worker threads, which convert and encode them into buffers of
// their own. The calling thread appends finished runs to the output in
// input order, stopping at the first failure in that order; while the
// workers have enough to do, it converts runs too.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/byte_buffer.hpp"
#include "conversion.hpp"

namespace pipeline {

// `threads` counts the calling thread; 1 runs the single-threaded driver.
// Every thread started has ended when the call returns or throws.
std::optional<ConversionFailure> convert_csv_to_qarn_parallel(std::span<const uint8_t> csv,
                                                              uint64_t chunk_size,
                                                              uint64_t sample_rows,
                                                              unsigned threads,
                                                              common::ByteBuffer& out);

}  // namespace pipeline
