// One conversion on several threads, with exactly the output and the
// failures of the single-threaded driver.
//
// The calling thread reads the header and the sample and writes the start
// of the file. The rest of the input is cut into segments after line ends,
// which every thread reads into rows at once, each as though its segment
// began a record; the calling thread takes them in order, reading one again
// from the right place when the one before it ended inside a quoted field.
// It cuts the rows into runs of whole table slices, works out their size
// from the row counts and hands out their place in the output; the threads
// write the slices straight from the converted rows into it (streamed, into
// buffers of their own that it hands on in input order). It stops at the
// first failure in input order. While it waits, it does waiting work too.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/byte_buffer.hpp"
#include "convert/driver.hpp"

namespace convert {

// `threads` counts the calling thread; 1 runs the single-threaded driver.
// Every thread started has ended when the call returns or throws.
// `segment_bytes` sets how much input a thread reads at a time (0: chosen
// from the input's size); tests make it small. `report` and `sink` as for
// convert_csv_to_qarn.
ConversionStatus convert_csv_to_qarn_parallel(std::span<const uint8_t> csv,
                                              uint64_t chunk_size,
                                              uint64_t sample_rows,
                                              unsigned threads,
                                              common::ByteBuffer& out,
                                              const ConvertOptions& options = {},
                                              size_t segment_bytes = 0,
                                              ConversionReport* report = nullptr,
                                              ByteSink* sink = nullptr);

}  // namespace convert
