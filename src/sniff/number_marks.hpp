// Which marks a table's numbers are written with: the decimal point, or a
// decimal comma, perhaps with '.' between groups of thousands ("1.234,5"),
// as spreadsheets in much of Europe export them beside a ';' delimiter.
#pragma once

#include <cstddef>

#include "sniff/sample_records.hpp"

namespace sniff {

struct NumberMarks {
  char decimal = '.';
  char thousands = 0;  // 0: none
};

// A decimal comma where some column of the table's rows, records[begin,
// end), holds numbers written with one and nothing else but whole numbers,
// and no field is a number with a decimal point. Never where the comma
// separates the fields.
NumberMarks number_marks(const Records& records, size_t begin, size_t end, char delimiter);

}  // namespace sniff
