// Guessing the dialect of a sample of CSV text already decoded to UTF-8:
// how its records are written, where its table lies, comment lines, the
// notes after the table and the markers of missing values. The encoding,
// the sources and the confidence itself are the Python package's.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "sniff/null_markers.hpp"
#include "sniff/number_marks.hpp"
#include "sniff/sample_records.hpp"

namespace sniff {

struct Sniffed {
  Candidate candidate;
  char comment = 0;  // 0: none
  bool header = true;
  size_t skip_rows = 0;
  size_t skip_footer = 0;
  MarkerSet null_values = 0;
  NumberMarks number_marks;
  size_t columns = 1;
  // What the confidence is made of.
  double margin = 0.0;       // how far the dialect is ahead of the next that reads other records
  double consistency = 1.0;  // the share of the table's rows of its length
  bool header_certain = false;
};

// `text` is the start of the input, in whole lines: all of it when
// `whole`. `tail`, when given, is the end of a longer input, from some
// point inside a line on.
Sniffed sniff_text(std::string_view text, bool whole, std::optional<std::string_view> tail);

}  // namespace sniff
