// Guessing how the records of a sample are written: the delimiter, the
// quote and escape characters, and whether quotes may hold line ends. Each
// candidate dialect is read by the converter's own reader; the one whose
// records are the most alike in length, and whose fields look like values
// rather than pieces of them, wins.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "sniff/sample_records.hpp"

namespace sniff {

struct DialectGuess {
  Candidate candidate;
  size_t widest = 1;    // the most fields of a record in the part of the sample looked at
  double margin = 0.0;  // how far ahead of the best candidate that reads other records, 0 to 1
};

// The dialect of UTF-8 text, a sample from the start of a file.
DialectGuess guess_dialect(std::string_view text);

// How many records are alike in length: records of the same number of
// fields add up, more fields count more, and every further length divides
// the whole. 0 when no record has two fields. A dialect that swallows line
// ends reads fewer records, and scores less.
double pattern_score(const std::vector<size_t>& counts);

// Whether the records' fields after a delimiter are written with spaces
// before them, as in "a, b, c": nearly all that hold anything begin with
// one, at least two of them.
bool spaces_after_delimiters(const Records& records);

// Whether every quote that skipped spaces after the candidate's
// delimiters would let open a field closes right before the next one or a
// line end: a stray quote or an apostrophe after a space ("1, 'tis")
// would otherwise swallow what follows.
bool skipping_is_clean(std::string_view text, const Candidate& candidate);

// The candidate with spaces after delimiters skipped, where that is clean;
// else, where no quote opens a field without them (so quotes are content),
// the same without quoting; else, where quoted fields are only followed by
// more text on their line (as the quoting reads them without the spaces),
// the candidate skipping; else nothing.
std::optional<Candidate> skipping_spaces(std::string_view text, const Candidate& candidate);

}  // namespace sniff
