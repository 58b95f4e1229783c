// What can be wrong with columns handed over for writing, as values: the
// buffers themselves (a caller's mistake), or a value QARN cannot hold.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "qarn/format_error.hpp"

namespace table_input {

enum class InputErrorKind : uint8_t {
  ShortBuffer,     // a buffer holds fewer bytes than the piece's rows need
  BadOffsets,      // an element's offsets go backwards or past the data
  RowCount,        // the column has another number of rows than the table
  NotUtf8,         // a string element that is not valid UTF-8
  TooLarge,        // an unsigned 64-bit value above the largest `long`
  OutOfRange,      // a date or timestamp outside the years 0001 to 9999
  SubMicrosecond,  // a timestamp in nanoseconds that is not whole microseconds
  Format,          // the writer's limit (a slice's values over 2 GiB and the like)
};

struct InputError {
  InputErrorKind kind = InputErrorKind::ShortBuffer;
  uint64_t column = 0;
  uint64_t row = 0;    // counted from the table's first row
  int64_t value = 0;   // the value at fault, for TooLarge (as its bits), OutOfRange, SubMicrosecond
  qarn::FormatError format{qarn::FormatErrorKind::TooManyValuesInArray};
};

using InputStatus = common::Status<InputError>;

// One line about the error, naming the column.
std::string input_message(const InputError& error, std::string_view column_name);

}  // namespace table_input
