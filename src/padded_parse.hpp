// Fast paths of the field grammars for the common spellings. Integers and
// Booleans are read from fields that may be read past their end (every
// field of a row batch may, by csv::kFieldPadding bytes). The
// digits are read as one or two eight-byte words whose lengths are masked
// rather than looped over: in real columns the lengths vary from row to row,
// and a mispredicted branch at the end of a digit loop costs more than the
// parsing itself. Anything out of the common shapes goes to the plain parser
// of field_grammar.hpp, which defines the grammar; a unit test holds the two
// to the same answers.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "csv_input/row_batch.hpp"
#include "field_grammar.hpp"

namespace pipeline::padded {

using grammar_detail::all_eight_digits;
using grammar_detail::eight_digits_value;
using grammar_detail::kEightZeros;
using grammar_detail::load8;

// '0' in the low bytes a right shift of the digits leaves empty.
inline constexpr uint64_t kZeroFill[9] = {
    0, 0x30, 0x3030, 0x303030, 0x30303030, 0x3030303030, 0x303030303030, 0x30303030303030, kEightZeros};

// The value of the `count` (1 to 8) characters at `p` as a decimal number;
// false when one of them is not a digit. The digits are moved to the
// low-order end of an eight-digit word whose first places become '0'.
inline bool digits_1_to_8(const char* p, unsigned count, uint64_t& value) noexcept {
  const uint64_t word = (load8(p) << ((8 - count) * 8)) | kZeroFill[8 - count];
  value = eight_digits_value(word);
  return all_eight_digits(word);
}

// 1 to 16 digits, with a branch on which half of the range: columns tend to
// keep their numbers on one side of it, so it is well predicted.
inline bool digits_1_to_16(const char* p, unsigned count, uint64_t& value) noexcept {
  if (count <= 8) return digits_1_to_8(p, count, value);
  uint64_t high, low;
  const bool high_ok = digits_1_to_8(p, count - 8, high);
  const bool low_ok = digits_1_to_8(p + count - 8, 8, low);
  value = high * 100000000 + low;
  return high_ok && low_ok;
}

// Integers of 1 to 16 digits after the sign (19 for 64 bits), which covers
// every value in range unless it has leading zeros to spare.
template <class Int>
inline bool parse_integer(std::string_view text, Int& out) noexcept {
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<Int>::max());
  const char* p = text.data();
  const bool negative = p[0] == '-';
  const unsigned start = negative | (p[0] == '+');
  const size_t digits = text.size() - start;
  uint64_t magnitude;
  bool ok;
  if (digits - 1 < 16 && !text.empty()) {
    ok = digits_1_to_16(p + start, static_cast<unsigned>(digits), magnitude);
  } else if (sizeof(Int) == 8 && digits - 17 < 3 && !text.empty()) {
    uint64_t top, rest;
    const unsigned top_count = static_cast<unsigned>(digits) - 16;
    const bool top_ok = digits_1_to_8(p + start, top_count, top);
    ok = digits_1_to_16(p + start + top_count, 16, rest) && top_ok;
    magnitude = top * 10000000000000000 + rest;
  } else {  // empty, a lone sign, or very long
    const auto parsed = grammar_detail::parse_integer<Int>(text);
    if (parsed) out = *parsed;
    return parsed.has_value();
  }
  out = static_cast<Int>(negative ? 0 - magnitude : magnitude);
  return ok && magnitude <= kMax + negative;
}

// "true" and "false" in any ASCII case, compared as one word; anything else,
// surrounding whitespace included, goes to the full grammar. OR-ing 0x20
// maps a byte onto a lower-case letter only when it is that letter in
// either case.
inline bool parse_bool(std::string_view text, uint8_t& out) noexcept {
  constexpr uint64_t kTrue = 0x65757274;      // "true", little-endian
  constexpr uint64_t kFalse = 0x65736c6166;   // "false"
  const uint64_t word = load8(text.data()) | 0x2020202020202020;
  if (text.size() == 4 && (word & 0xFFFFFFFF) == kTrue) {
    out = 1;
    return true;
  }
  if (text.size() == 5 && (word & 0xFFFFFFFFFF) == kFalse) {
    out = 0;
    return true;
  }
  const auto parsed = grammar_detail::parse_trimmed_bool(text);
  out = parsed.value_or(false);
  return parsed.has_value();
}

// ---------------------------------------------------------------------------
// Doubles

// The double grammar and value with the common spellings inline: up to 19
// digits with an optional point ('12.50', '-3', '0.1234567890123456') and
// an exponent of up to four digits ('1e-03', '2.5E+10'). The value is exact
// in one IEEE operation when the digits fit in 53 bits and the power of ten
// is exact; otherwise it is rounded from the digits read (out of line).
// Being inline, the loop over a column keeps the value in a register, and
// its branches are predicted per column. Longer numbers, special words and
// anything that is not a number go to the plain parser, which defines the
// grammar and rounds every number correctly.
inline bool parse_double(std::string_view text, double& out) noexcept {
  using grammar_detail::digit_value;
  if (text.empty()) return false;  // and the sign test below reads a byte of the field
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p[0] == '-';
  const char* q = p + (negative | (p[0] == '+'));
  uint64_t mantissa = 0;  // wraps past 19 digits, which the check below rejects
  const char* const int_start = q;
  q = grammar_detail::accumulate_digits(q, end, mantissa);
  auto digits = static_cast<size_t>(q - int_start);
  int64_t scale = 0;
  if (q != end && *q == '.') {
    const char* const frac_start = ++q;
    q = grammar_detail::accumulate_digits(q, end, mantissa);
    scale = frac_start - q;
    digits -= static_cast<size_t>(scale);
  }
  if (q != end && (*q | 0x20) == 'e') {
    ++q;
    const bool exponent_negative = q != end && *q == '-';
    q += q != end && (*q == '-' || *q == '+');
    const char* const exponent_start = q;
    // Five digits at most are read, so the value cannot overflow; a fifth
    // means a long exponent, left to the plain parser like a missing one.
    int64_t exponent = 0;
    while (q != end && digit_value(*q) <= 9 && q - exponent_start < 5) {
      exponent = exponent * 10 + digit_value(*q++);
    }
    if (q == exponent_start || q - exponent_start > 4) q = nullptr;
    scale += exponent_negative ? -exponent : exponent;
  }
  if (q != end || digits - 1 >= 19) return grammar_detail::scan_double(text, out);
  double magnitude;
  if (grammar_detail::exact_double(mantissa, scale, magnitude)) {
    out = negative ? -magnitude : magnitude;
    return true;
  }
  return grammar_detail::round_digits(text, mantissa, scale, negative, out);
}

}  // namespace pipeline::padded
