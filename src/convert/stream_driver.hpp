// A conversion whose output goes to a sink as it is made, from an input
// held in memory or read from a source a window at a time: memory beyond
// the input (for a source, a window of it) stays a few table slices per
// thread and the sample, however large the input.
//
// The file is the same as the one built in memory, byte for byte: the
// format writes no size ahead of a section that is not known when the
// section is written (a slice's counts are those of its own rows), so every
// slice goes out as soon as it is encoded, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "convert/byte_stream.hpp"
#include "convert/driver.hpp"

namespace qarn {
class Writer;
}

namespace convert {

class InputWindow;
struct TableStart;

// Converts what `source` gives into `sink`, on `threads` threads counting
// the calling one, which alone calls the source and the sink. The input is
// held a window of `window_bytes` (0: the default) at a time; records are
// read up to the last line end held, and the record that goes on past it is
// read again with the next window. Types from every record need the whole
// input, which is then held whole. `segment_bytes` as for
// convert_csv_to_qarn_parallel.
ConversionStatus convert_stream(ByteSource& source, uint64_t chunk_size, uint64_t sample_rows, unsigned threads,
                                ByteSink& sink, const ConvertOptions& options = {},
                                ConversionReport* report = nullptr, size_t window_bytes = 0,
                                size_t segment_bytes = 0);

// The rows after the sample, from `position` in the window on, where
// `records` records (the header row included) have been read.
ConversionStatus write_window_rows(InputWindow& window, size_t position, uint64_t records, TableStart& start,
                                   uint64_t chunk_size, unsigned threads, const csv::TableLayout& layout,
                                   size_t segment_bytes, qarn::Writer& writer, ByteSink& sink);

}  // namespace convert
