// The four field grammars: which texts are Booleans, 32-bit integers, 64-bit
// integers and doubles, and the value each text yields.
//
// Type inference runs them over the sample and field conversion runs them
// over every field of a typed column, so they decide both the column types and
// the stored values. All four are pure: they read exactly `text.size()` bytes
// (fields point into a larger buffer and are not NUL-terminated), never
// allocate and never fail other than by returning no value. Work is linear in
// the length of the text, however long it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pipeline {

// "true" or "false", ignoring the case of ASCII letters and any leading or
// trailing Unicode White_Space characters (whitespace inside is kept, so
// "tr ue" is not a Boolean).
std::optional<bool> parse_bool(std::string_view text) noexcept;

// An optional '+' or '-' followed by one or more ASCII digits and nothing
// else; any number of leading zeros. Values outside the type's range fail.
std::optional<int32_t> parse_int32(std::string_view text) noexcept;
std::optional<int64_t> parse_int64(std::string_view text) noexcept;

// An optional sign, then either "inf", "infinity" or "nan" in any ASCII case,
// or a decimal number: digits with an optional '.', at least one digit, then
// an optional exponent ('e' or 'E', optional sign, at least one digit). No
// whitespace, hexadecimal or separators. The value is correctly rounded to the
// nearest double, ties to even, for any number of digits; beyond the range it
// is an infinity or a zero of the text's sign. NaN is always the quiet NaN
// 0x7FF8000000000000, with the sign bit set when the text starts with '-'.
std::optional<double> parse_double(std::string_view text) noexcept;

}  // namespace pipeline
