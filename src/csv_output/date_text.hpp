// Dates and timestamps written as the ISO 8601 text they are read from.
#pragma once

#include <cstdint>
#include <string_view>

namespace csv_output {

// What a `long` column's integers mean.
enum class Calendar : uint8_t {
  None,          // plain integers
  Date,          // days since 1970-01-01
  Timestamp,     // microseconds since 1970-01-01T00:00, no zone
  TimestampUtc,  // the same in UTC, written with "Z"
};

// YYYY-MM-DD; empty when the day lies outside years 0001 to 9999, which no
// date text names.
std::string_view date_text(char (&buffer)[64], int64_t days);

// YYYY-MM-DDTHH:MM:SS, then the fraction without its trailing zeros if it
// has one, then "Z" in UTC; empty outside years 0001 to 9999.
std::string_view timestamp_text(char (&buffer)[64], int64_t micros, bool utc);

}  // namespace csv_output
