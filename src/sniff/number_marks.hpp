// Which marks a table's numbers are written with: the decimal point, or a
// decimal comma, perhaps with '.' between groups of thousands ("1.234,5"),
// as spreadsheets in much of Europe export them beside a ';' delimiter; or
// the point with ',' between groups ("1,234.5"), as reports in English
// write amounts.
#pragma once

#include <cstddef>
#include <vector>

#include "sniff/sample_records.hpp"

namespace sniff {

struct NumberMarks {
  char decimal = '.';
  char thousands = 0;  // 0: none
  // The columns, by position, whose numbers the separator groups, where
  // it was found in those alone; empty: every column.
  std::vector<size_t> thousands_columns;
};

// The marks of the table's rows, records[begin, end). A decimal comma
// where some column holds numbers written with one and nothing else but
// whole numbers, and no field is a number with a decimal point (never where
// the comma separates the fields). Otherwise ',' as the thousands separator
// of the columns that hold numbers grouped by it, one with a fraction
// ("1,234.5"), and plain numbers of at most three whole digits, where no
// field is a number with a decimal comma.
NumberMarks number_marks(const Records& records, size_t begin, size_t end, char delimiter);

}  // namespace sniff
