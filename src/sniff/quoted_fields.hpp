// Which fields of a record its writer quoted. Writers that quote every
// text and leave numbers bare (R's write.csv, Python's QUOTE_NONNUMERIC)
// quote a header of numbers ("", "1", "2") over bare numbers below it: the
// quotes then tell the header that the values cannot.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "sniff/column_kind.hpp"
#include "sniff/sample_records.hpp"

namespace sniff {

// Whether each field of `record` stands quoted in `text` (the sample it was
// read from), or nothing when its fields cannot be matched with the text
// (an escaped quote, a byte that was not UTF-8).
std::optional<std::vector<bool>> quoted_fields(std::string_view text, const Record& record, char delimiter,
                                               char quote);

// Whether records[row] has two fields or more, every one quoted though none
// needs it, and the next record of `columns` fields before `end` a value of
// a type left bare in a column of that type.
bool quoted_over_bare(std::string_view text, const Records& records, const std::vector<size_t>& counts, size_t row,
                      size_t end, size_t columns, const Kinds& kinds, const Candidate& candidate);

}  // namespace sniff
