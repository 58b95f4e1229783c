#include "table_input/input_error.hpp"

namespace table_input {

std::string input_message(const InputError& error, std::string_view column_name) {
  const std::string column = "column '" + std::string(column_name) + "'";
  const std::string at = column + ", row " + std::to_string(error.row) + ": ";
  switch (error.kind) {
    case InputErrorKind::ShortBuffer:
      return "the buffers of " + column + " are shorter than its rows need";
    case InputErrorKind::BadOffsets:
      return at + "the element's offsets go backwards or past the end of the data";
    case InputErrorKind::RowCount:
      return column + " has another number of rows than the table";
    case InputErrorKind::NotUtf8:
      return at + "a string that is not valid UTF-8";
    case InputErrorKind::TooLarge:
      return at + std::to_string(static_cast<uint64_t>(error.value)) +
             " does not fit a long (unsigned 64-bit values above 9223372036854775807 cannot be written)";
    case InputErrorKind::OutOfRange:
      return at + "the date or time " + std::to_string(error.value) +
             " (in the column's unit) lies outside the years 0001 to 9999 that QARN dates and timestamps hold";
    case InputErrorKind::SubMicrosecond:
      return at + "the timestamp " + std::to_string(error.value) +
             " ns is not a whole number of microseconds, the finest unit QARN timestamps hold; "
             "round it first (pandas: .dt.floor('us'))";
    case InputErrorKind::Format:
      if (error.format.kind == qarn::FormatErrorKind::TooManyValuesInArray) {
        return column + ": QARN write error: " + qarn::message(error.format) +
               " (a table slice of it would hold more than 2 GiB; a smaller chunk_size helps)";
      }
      return at + "QARN write error: " + qarn::message(error.format);
  }
  return column + ": cannot be written";
}

}  // namespace table_input
