// The double grammar, and Booleans with surrounding whitespace.
#include "fields/grammar.hpp"

#include <bit>
#include <charconv>
#include <system_error>

#include <fast_float/fast_float.h>

namespace fields::grammar_detail {

namespace {

// Byte length of the White_Space character that starts at `s`, or 0 when the
// character there is not one. `avail` bytes from `s` may be read (at least 1).
size_t whitespace_width(const unsigned char* s, size_t avail) noexcept {
  const unsigned char lead = s[0];
  if (lead == 0x20 || (lead >= 0x09 && lead <= 0x0D)) return 1;
  if (lead == 0xC2) {
    // U+0085 and U+00A0.
    return avail >= 2 && (s[1] == 0x85 || s[1] == 0xA0) ? 2 : 0;
  }
  if (lead < 0xE1 || lead > 0xE3 || avail < 3) return 0;
  if ((s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80) return 0;
  const uint32_t cp = (uint32_t{lead} & 0x0F) << 12 | (uint32_t{s[1]} & 0x3F) << 6 |
                      (uint32_t{s[2]} & 0x3F);
  const bool space = cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
                     cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
  return space ? 3 : 0;
}

// Byte length of the White_Space character that ends just before `end`, or 0.
// The character begins at the last byte that is not a continuation byte.
size_t trailing_whitespace_width(const unsigned char* begin, const unsigned char* end) noexcept {
  const unsigned char* lead = end - 1;
  while (lead != begin && end - lead < 3 && (*lead & 0xC0) == 0x80) --lead;
  const auto width = static_cast<size_t>(end - lead);
  return whitespace_width(lead, width) == width ? width : 0;
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// An explicit exponent stops growing here. Any larger one means infinity or
// zero whatever the digits, and it stays far enough from the int64 limit that
// adding a digit count cannot overflow.
constexpr int64_t kExponentCap = 100'000'000'000'000'000;

// The number is 0.d1d2... x 10^position, with d1 its first non-zero digit,
// so it lies in [10^(position-1), 10^position). From position 310 on it is at
// least 10^309, beyond the largest double by more than half a step; up to
// position -324 it is below 10^-324, under half the smallest subnormal.
constexpr int64_t kOverflowPosition = 310;
constexpr int64_t kUnderflowPosition = -324;

// Texts of up to this many digits go to the library routine as they are.
// Longer ones get a canonical copy of bounded length, so that the routine's
// work and its exponent arithmetic stay small however long the field is.
constexpr ptrdiff_t kDirectDigits = 100;

// Enough significant digits to decide the rounding of any decimal number: a
// value halfway between two doubles has at most 767 of them. Digits beyond
// the cut only matter by being zero or not, so one '1' stands in for any
// non-zero tail.
constexpr size_t kMaxKeptDigits = 800;

// The shape of a decimal number that passed the grammar, after its sign.
struct DecimalText {
  const char* digits;      // first digit or '.'
  const char* digits_end;  // just past the last digit
  const char* end;         // end of the text (past the exponent, if any)
  size_t int_digits;       // digits before the '.', or all of them
  int64_t exponent;        // explicit exponent, capped at +-kExponentCap
};

// "inf", "infinity" or "nan" in any case: the text after the sign.
bool parse_special_word(std::string_view word, bool negative, double& value) noexcept {
  if ((word.size() == 3 && equals_word_ignoring_case(word.data(), "inf", 3)) ||
      (word.size() == 8 && equals_word_ignoring_case(word.data(), "infinity", 8))) {
    value = negative ? -kInfinity : kInfinity;
    return true;
  }
  if (word.size() == 3 && equals_word_ignoring_case(word.data(), "nan", 3)) {
    // Always the one quiet NaN, whatever the platform's NaN constants carry.
    value = std::bit_cast<double>(negative ? uint64_t{0xFFF8000000000000}
                                           : uint64_t{0x7FF8000000000000});
    return true;
  }
  return false;
}

// Correctly rounded magnitude of a number that the exact path cannot take:
// more than 19 digits, or a power of ten beyond 10^22.
double round_decimal(const DecimalText& number) noexcept {
  const char* first = number.digits;
  while (first != number.digits_end && (*first == '0' || *first == '.')) ++first;
  if (first == number.digits_end) return 0.0;

  // The position of the first significant digit decides the numbers far out
  // of range, and which end a number falls off. A first digit after the
  // point has the point itself to skip.
  const auto offset = static_cast<int64_t>(first - number.digits);
  const auto int_digits = static_cast<int64_t>(number.int_digits);
  const int64_t position = number.exponent + int_digits - offset + (offset > int_digits ? 1 : 0);
  if (position >= kOverflowPosition) return kInfinity;
  if (position <= kUnderflowPosition) return 0.0;

  double value = 0.0;
  std::from_chars_result result{};
  if (number.digits_end - number.digits <= kDirectDigits) {
    result = std::from_chars(number.digits, number.end, value);
  } else {
    // "<significant digits>e<exponent>": value = digits x 10^(position - kept).
    char buffer[kMaxKeptDigits + 1 + 1 + 8];
    size_t kept = 0;
    const char* p = first;
    for (; p != number.digits_end && kept < kMaxKeptDigits; ++p) {
      if (*p != '.') buffer[kept++] = *p;
    }
    for (; p != number.digits_end; ++p) {
      if (*p != '0' && *p != '.') {
        buffer[kept++] = '1';
        break;
      }
    }
    buffer[kept] = 'e';
    const int64_t scale = position - static_cast<int64_t>(kept);
    char* const last = std::to_chars(buffer + kept + 1, buffer + sizeof buffer, scale).ptr;
    result = std::from_chars(buffer, last, value);
  }
  if (result.ec != std::errc{}) {
    // Out of range, reported without a value. The position is within a few
    // hundred of zero here, so its sign tells which end.
    value = position > 0 ? kInfinity : 0.0;
  }
  return value;
}

}  // namespace

std::optional<bool> parse_trimmed_bool(std::string_view text) noexcept {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  while (begin != end) {
    const size_t width = whitespace_width(begin, static_cast<size_t>(end - begin));
    if (width == 0) break;
    begin += width;
  }
  while (begin != end) {
    const size_t width = trailing_whitespace_width(begin, end);
    if (width == 0) break;
    end -= width;
  }
  const auto* word = reinterpret_cast<const char*>(begin);
  const auto length = static_cast<size_t>(end - begin);
  if (length == 4 && equals_word_ignoring_case(word, "true", 4)) return true;
  if (length == 5 && equals_word_ignoring_case(word, "false", 5)) return false;
  return std::nullopt;
}

// One pass checks the grammar and collects the number's shape: the digits as
// an integer, how many of them follow the point, and the explicit exponent. A
// number of at most 2^53 scaled by 10^-22 to 10^22 is converted with one exact
// multiplication or division, which IEEE arithmetic rounds correctly; the
// rest goes to round_decimal.
bool scan_double(std::string_view text, double& value) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = take_sign(p, end);

  DecimalText number{p, p, end, 0, 0};
  uint64_t mantissa = 0;
  p = accumulate_digits(p, end, mantissa);
  number.int_digits = static_cast<size_t>(p - number.digits);
  size_t frac_digits = 0;
  bool has_point = false;
  if (p != end && *p == '.') {
    has_point = true;
    const char* const frac = ++p;
    p = accumulate_digits(p, end, mantissa);
    frac_digits = static_cast<size_t>(p - frac);
  }
  if (number.int_digits + frac_digits == 0) {
    if (has_point) return false;
    return parse_special_word(std::string_view(p, static_cast<size_t>(end - p)), negative, value);
  }
  number.digits_end = p;

  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool exponent_negative = take_sign(p, end);
    if (p == end || digit_value(*p) > 9) return false;
    int64_t exponent = 0;
    for (; p != end && digit_value(*p) <= 9; ++p) {
      if (exponent < kExponentCap) exponent = exponent * 10 + digit_value(*p);
    }
    number.exponent = exponent_negative ? -exponent : exponent;
  }
  if (p != end) return false;

  // Up to 19 digits the mantissa is exact. Beyond that it has wrapped, and
  // round_decimal takes over (leading zeros included: they are rare).
  double magnitude;
  if (number.int_digits + frac_digits > 19) {
    magnitude = round_decimal(number);
  } else if (mantissa == 0) {
    magnitude = 0.0;
  } else {
    const int64_t scale = number.exponent - static_cast<int64_t>(frac_digits);
    if (!exact_double(mantissa, scale, magnitude)) magnitude = round_decimal(number);
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

bool round_digits(std::string_view text, uint64_t mantissa, int64_t scale, bool negative,
                  double& value) noexcept {
  // Eisel-Lemire: a 128-bit product with a power of five decides the
  // rounding, except for numbers too close to a halfway point, which it
  // declines (a negative power).
  const fast_float::adjusted_mantissa rounded =
      fast_float::compute_float<fast_float::binary_format<double>>(scale, mantissa);
  if (rounded.power2 < 0) return scan_double(text, value);
  fast_float::to_float(negative, rounded, value);
  return true;
}

}  // namespace fields::grammar_detail
