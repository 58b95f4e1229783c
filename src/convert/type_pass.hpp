// The pass over every record that chooses the column types when they are
// to come from the whole input rather than from a sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "convert/driver.hpp"
#include "fields/column_type.hpp"

namespace convert {

// The types of every record after the header, read on up to `threads`
// threads: the input is cut after line ends into parts read at once, and a
// part whose start turns out to lie inside a record (a line end in quotes)
// is read again from where that record begins. A record that cannot be
// read ends the pass early: the conversion meets it again, in order, and
// fails there, so the types do not matter then.
std::vector<fields::ColumnType> types_of_every_record(std::span<const uint8_t> csv, const ConvertOptions& options,
                                                size_t column_count, unsigned threads);

// Whether some record's field in `column` is a timestamp with an offset,
// read on this thread: for a column chosen as timestamps when the types come
// from every record, which is in UTC then.
bool offsets_in_every_record(std::span<const uint8_t> csv, const ConvertOptions& options, size_t column_count,
                             size_t column);

}  // namespace convert
