// What a field of a sample looks like, for guessing a file's layout: a
// value of a type (a number, a date, a time, a truth value), a missing
// value, or text; its shape as text; and whether a dialect seems to have
// read it wrongly. Fields are valid UTF-8 (see with_replacements).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sniff {

enum class Cell : uint8_t {
  Empty,
  Null,     // a marker of a missing value, such as NA
  Number,   // whole numbers
  Decimal,  // numbers with a fraction or an exponent
  Date,     // dates, times and both
  Bool,
  Text,
};

constexpr bool is_typed(Cell cell) noexcept {
  return cell == Cell::Number || cell == Cell::Decimal || cell == Cell::Date || cell == Cell::Bool;
}
constexpr bool is_missing(Cell cell) noexcept { return cell == Cell::Empty || cell == Cell::Null; }

// The name a cell goes by in the sniffer's tests.
const char* cell_name(Cell cell) noexcept;

Cell classify(std::string_view field);

// Whether the text is one of the default markers of missing values, "" aside.
bool is_null_marker(std::string_view text) noexcept;

// The grammars classify uses, on any valid UTF-8 text. A number: a sign, a
// currency sign, digits (in groups of three or not), a fraction, an
// exponent, a space and a percent sign, each optional, but some digit.
bool is_number_text(std::string_view text) noexcept;
// A date (year first or last), a date and time, or a time of day.
bool is_date_text(std::string_view text) noexcept;
// The length of the run of ASCII digits at `at`.
size_t digits_at(std::string_view text, size_t at) noexcept;
// Whether a number has a fraction (a separator and digits to its end) or an exponent.
bool has_fraction(std::string_view text) noexcept;

// The text's shape: its characters (past white space at either end) as A
// (capital), a (other letter), 9 (digit) or themselves, each run as one:
// "LN-7690" is "A-9".
std::string shape(std::string_view text);

// Whether a field shows signs of a dialect that does not fit: it starts
// with a quote character, or ends with one that it holds no other of (its
// quotes were not taken as quotes), or holds an escaped quote (an escape
// that was not taken).
bool looks_misread(std::string_view field) noexcept;

}  // namespace sniff
