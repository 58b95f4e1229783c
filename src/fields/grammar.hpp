// The four field grammars: which texts are Booleans, 32-bit integers, 64-bit
// integers and doubles, and the value each text yields.
//
// Type inference runs them over the sample and field conversion runs them
// over every field of a typed column, so they decide both the column types and
// the stored values. All four are pure: they read exactly `text.size()` bytes
// (fields point into a larger buffer and are not NUL-terminated), never
// allocate and never fail other than by returning no value. Work is linear in
// the length of the text, however long it is.
//
// Integers and bare Boolean words are parsed inline: the conversion loop then
// keeps the result in registers, where an out-of-line call returning a
// std::optional goes through memory and costs more than the parsing itself.
// Doubles and whitespace trimming live in grammar.cpp.
#pragma once

#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

namespace fields {

// "true" or "false", ignoring the case of ASCII letters and any leading or
// trailing Unicode White_Space characters (whitespace inside is kept, so
// "tr ue" is not a Boolean).
inline std::optional<bool> parse_bool(std::string_view text) noexcept;

// An optional '+' or '-' followed by one or more ASCII digits and nothing
// else; any number of leading zeros. Values outside the type's range fail.
inline std::optional<int32_t> parse_int32(std::string_view text) noexcept;
inline std::optional<int64_t> parse_int64(std::string_view text) noexcept;

// An optional sign, then either "inf", "infinity" or "nan" in any ASCII case,
// or a decimal number: digits with an optional '.', at least one digit, then
// an optional exponent ('e' or 'E', optional sign, at least one digit). No
// whitespace, hexadecimal or separators. The value is correctly rounded to the
// nearest double, ties to even, for any number of digits; beyond the range it
// is an infinity or a zero of the text's sign. NaN is always the quiet NaN
// 0x7FF8000000000000, with the sign bit set when the text starts with '-'.
inline std::optional<double> parse_double(std::string_view text) noexcept;

namespace grammar_detail {

// ---------------------------------------------------------------------------
// Digits, eight at a time

inline constexpr uint64_t kEightZeros = 0x3030303030303030;  // "00000000"

// Eight bytes with the first one in the low byte (the hosts we build for are
// little-endian; a big-endian one would need a byte swap here).
inline uint64_t load8(const char* p) noexcept {
  static_assert(std::endian::native == std::endian::little);
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// 0 to 9 for an ASCII digit, something larger for any other byte.
inline unsigned digit_value(char c) noexcept {
  return static_cast<unsigned>(static_cast<unsigned char>(c)) - unsigned{'0'};
}

// True when all eight bytes are '0' to '9'. Less '0', a digit byte is 0 to
// 9, which adding 0x76 leaves below 0x80; any other byte has its top bit set
// either way. A borrow or carry between bytes starts only at a byte that
// already fails the test, so the answer for all eight is exact. The
// subtraction is the first step of eight_digits_value too, which shares it.
inline bool all_eight_digits(uint64_t v) noexcept {
  const uint64_t x = v - kEightZeros;
  return ((x | (x + 0x7676767676767676)) & 0x8080808080808080) == 0;
}

// The value of eight ASCII digits, first digit most significant: combine
// neighbouring digits into pairs, pairs into fours, fours into the whole.
// No lane ever exceeds its width, so nothing carries across lanes.
inline uint64_t eight_digits_value(uint64_t v) noexcept {
  v -= kEightZeros;
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FF;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFF;
  return (v * 10000 + (v >> 32)) & 0xFFFFFFFF;
}

// Reads the digits from `p` onward into `value` (value * 10 + digit each),
// stopping at the first non-digit or at `end`, and returns where it stopped.
// `value` wraps modulo 2^64 past 19 digits; callers only use it when they
// know the digits fit.
inline const char* accumulate_digits(const char* p, const char* end, uint64_t& value) noexcept {
  while (end - p >= 8) {
    const uint64_t chunk = load8(p);
    if (!all_eight_digits(chunk)) break;
    value = value * 100000000 + eight_digits_value(chunk);
    p += 8;
  }
  for (; p != end; ++p) {
    const unsigned d = digit_value(*p);
    if (d > 9) break;
    value = value * 10 + d;
  }
  return p;
}

// ---------------------------------------------------------------------------
// Exact doubles

inline constexpr double kExactPowersOfTen[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Every integer up to 2^53 is exact in a double.
inline constexpr uint64_t kMaxExactInteger = uint64_t{1} << 53;

// The exact path needs each operation rounded once, to double precision; an
// x87 build that keeps intermediates in extended precision would round twice.
inline constexpr bool kExactArithmetic = FLT_EVAL_METHOD == 0;

// mantissa x 10^scale when both are small enough that one IEEE multiplication
// or division of exact operands rounds it correctly; false otherwise.
inline bool exact_double(uint64_t mantissa, int64_t scale, double& value) noexcept {
  if (!kExactArithmetic || mantissa > kMaxExactInteger || scale < -22 || scale > 22) return false;
  const auto m = static_cast<double>(mantissa);
  value = scale >= 0 ? m * kExactPowersOfTen[scale] : m / kExactPowersOfTen[-scale];
  return true;
}

// ---------------------------------------------------------------------------
// Words and integers

// Compares `n` bytes with a lower-case ASCII word, ignoring the case of the
// bytes: b | 0x20 equals a lower-case letter only when b is that letter in
// either case.
inline bool equals_word_ignoring_case(const char* p, const char* word, size_t n) noexcept {
  unsigned diff = 0;
  for (size_t i = 0; i < n; ++i) {
    diff |= (static_cast<unsigned char>(p[i]) | 0x20u) ^ static_cast<unsigned char>(word[i]);
  }
  return diff == 0;
}

// Skips an optional '+' or '-' at `p`; true when it was '-'.
inline bool take_sign(const char*& p, const char* end) noexcept {
  if (p == end || (*p != '+' && *p != '-')) return false;
  return *p++ == '-';
}

// Shared by both widths. Leading zeros are skipped first; what remains must
// be at most as many digits as the type's maximum has (10 or 19), which also
// keeps the magnitude exact in 64 unsigned bits, so a single comparison at
// the end checks the range.
template <class Int>
inline std::optional<Int> parse_integer(std::string_view text) noexcept {
  constexpr size_t kMaxDigits = std::numeric_limits<Int>::digits10 + 1;
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<Int>::max());

  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = take_sign(p, end);
  if (p == end) return std::nullopt;

  while (end - p >= 8 && load8(p) == kEightZeros) p += 8;
  while (p != end && *p == '0') ++p;

  // Longer than the maximum: out of range if digits, not a number otherwise.
  if (static_cast<size_t>(end - p) > kMaxDigits) return std::nullopt;
  uint64_t magnitude = 0;
  if (accumulate_digits(p, end, magnitude) != end) return std::nullopt;

  // The negative range reaches one further than the positive one.
  if (magnitude > kMax + (negative ? 1 : 0)) return std::nullopt;
  return static_cast<Int>(negative ? 0 - magnitude : magnitude);
}

// ---------------------------------------------------------------------------
// Out of line, in grammar.cpp

// The double grammar and value. Reports the value through `value` rather than
// as a std::optional, which this compiler returns through memory.
bool scan_double(std::string_view text, double& value) noexcept;

// mantissa x 10^scale correctly rounded, negated when `negative`, for a
// `text` that passed the grammar with these digits (at most 19) and whose
// exact path failed; rounds from the digits without reading the text
// again, except in the rare cases where the plain parser must decide.
bool round_digits(std::string_view text, uint64_t mantissa, int64_t scale, bool negative,
                  double& value) noexcept;

// The Boolean grammar in full, with whitespace trimming.
std::optional<bool> parse_trimmed_bool(std::string_view text) noexcept;

}  // namespace grammar_detail

// ---------------------------------------------------------------------------

inline std::optional<bool> parse_bool(std::string_view text) noexcept {
  // Most Boolean fields are the bare word; everything else is trimmed first.
  if (text.size() == 4 && grammar_detail::equals_word_ignoring_case(text.data(), "true", 4)) {
    return true;
  }
  if (text.size() == 5 && grammar_detail::equals_word_ignoring_case(text.data(), "false", 5)) {
    return false;
  }
  return grammar_detail::parse_trimmed_bool(text);
}

inline std::optional<int32_t> parse_int32(std::string_view text) noexcept {
  return grammar_detail::parse_integer<int32_t>(text);
}

inline std::optional<int64_t> parse_int64(std::string_view text) noexcept {
  return grammar_detail::parse_integer<int64_t>(text);
}

inline std::optional<double> parse_double(std::string_view text) noexcept {
  double value;
  if (!grammar_detail::scan_double(text, value)) return std::nullopt;
  return value;
}

}  // namespace fields
