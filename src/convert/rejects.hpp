// A second look at the input of a conversion that lost cells: which fields
// did not fit their column's type, and which records had fields beyond the
// last column, with where each record begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "convert/driver.hpp"

namespace convert {

// Stands for the column of a record's extra fields.
inline constexpr int64_t kExtraFields = -1;

struct Reject {
  uint64_t record = 0;  // 1 for the first record after the header row
  uint64_t line = 0;    // where the record begins, from 1: LF, CR and CR LF each end a line
  uint64_t byte = 0;    // where the record begins
  int64_t column = 0;   // or kExtraFields
  std::string text;     // the field as read; extra fields joined by the delimiter
};

// Where a look for rejects stopped, to go on from there.
struct RejectsCursor {
  bool started = false;         // past the header row
  bool done = false;            // the input is read to its end
  size_t byte = 0;              // where the next batch of records begins
  uint64_t records_before = 0;  // records before it, the header row included
  size_t lines_counted_to = 0;  // line ends are counted up to here
  uint64_t line = 1;            // the line there
  uint64_t found = 0;           // rejects found so far
};

// The rejects of the conversion of `csv` that `report` describes, in input
// order and, within a record, by column: those of the batches of records
// from `cursor` on, until at least `limit` are found (up to a batch's worth
// more) or the input ends. `cursor` moves on, so that rejects can be taken
// a few at a time, in bounded memory, until `cursor.done`.
std::vector<Reject> find_rejects(std::span<const uint8_t> csv, const ConvertOptions& options,
                                 const ConversionReport& report, uint64_t limit, RejectsCursor& cursor);

// At most `limit` rejects, from the start.
std::vector<Reject> find_rejects(std::span<const uint8_t> csv, const ConvertOptions& options,
                                 const ConversionReport& report, uint64_t limit);

}  // namespace convert
