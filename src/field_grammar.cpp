#include "field_grammar.hpp"

#include <bit>
#include <cfloat>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <limits>
#include <system_error>

namespace pipeline {

namespace {

// ---------------------------------------------------------------------------
// Digits

constexpr uint64_t kEightZeros = 0x3030303030303030;  // "00000000"

// Eight bytes with the first one in the low byte, whatever the host order.
inline uint64_t load8(const char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// 0 to 9 for an ASCII digit, something larger for any other byte.
inline unsigned digit_value(char c) noexcept {
  return static_cast<unsigned>(static_cast<unsigned char>(c)) - unsigned{'0'};
}

inline bool is_digit(char c) noexcept { return digit_value(c) <= 9; }

// True when all eight bytes are '0' to '9': the high nibble must be 3, and
// adding 6 must not push the low nibble past 9. The addition carries between
// bytes only for bytes of 0xFA and above, which the first test has rejected.
inline bool all_eight_digits(uint64_t v) noexcept {
  return (v & 0xF0F0F0F0F0F0F0F0) == kEightZeros &&
         ((v + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) == kEightZeros;
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
// Booleans

// Byte length of the White_Space character that starts at `s`, or 0 when the
// character there is not one. `avail` bytes from `s` may be read (at least 1).
inline size_t whitespace_width(const unsigned char* s, size_t avail) noexcept {
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
inline size_t trailing_whitespace_width(const unsigned char* begin,
                                        const unsigned char* end) noexcept {
  const unsigned char* lead = end - 1;
  while (lead != begin && end - lead < 3 && (*lead & 0xC0) == 0x80) --lead;
  const auto width = static_cast<size_t>(end - lead);
  return whitespace_width(lead, width) == width ? width : 0;
}

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

// ---------------------------------------------------------------------------
// Integers

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
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p == end) return std::nullopt;

  while (end - p >= 8 && load8(p) == kEightZeros) p += 8;
  while (p != end && *p == '0') ++p;

  // Longer than the maximum: out of range if digits, not a number otherwise.
  const auto count = static_cast<size_t>(end - p);
  if (count > kMaxDigits) return std::nullopt;
  uint64_t magnitude = 0;
  if (accumulate_digits(p, end, magnitude) != end) return std::nullopt;

  // The negative range reaches one further than the positive one.
  if (magnitude > kMax + (negative ? 1 : 0)) return std::nullopt;
  return static_cast<Int>(negative ? 0 - magnitude : magnitude);
}

// ---------------------------------------------------------------------------
// Doubles

constexpr double kExactPowersOfTen[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The exact path needs each operation rounded once, to double precision; an
// x87 build that keeps intermediates in extended precision would round twice.
constexpr bool kExactArithmetic = FLT_EVAL_METHOD == 0;

// Every integer up to 2^53 is exact in a double.
constexpr uint64_t kMaxExactInteger = uint64_t{1} << 53;

// An explicit exponent stops growing here. Any larger one means infinity or
// zero whatever the digits, and it stays far enough from the int64 limit that
// adding a digit count cannot overflow.
constexpr int64_t kExponentCap = 100'000'000'000'000'000;

// Enough significant digits to decide the rounding of any decimal number: a
// value halfway between two doubles has at most 767 of them. Digits beyond
// the cut only matter by being zero or not, so one '1' stands in for any
// non-zero tail.
constexpr size_t kMaxKeptDigits = 800;

// The number is 0.d1d2... x 10^position, with d1 its first non-zero digit,
// so it lies in [10^(position-1), 10^position). From position 310 on it is at
// least 10^309, beyond the largest double by more than half a step; up to
// position -324 it is below 10^-324, under half the smallest subnormal.
constexpr int64_t kOverflowPosition = 310;
constexpr int64_t kUnderflowPosition = -324;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

inline double with_sign(double magnitude, bool negative) noexcept {
  return negative ? -magnitude : magnitude;
}

// "inf", "infinity" or "nan" in any case, after the sign.
std::optional<double> parse_special_word(const char* p, const char* end, bool negative) noexcept {
  const auto n = static_cast<size_t>(end - p);
  if ((n == 3 && equals_word_ignoring_case(p, "inf", 3)) ||
      (n == 8 && equals_word_ignoring_case(p, "infinity", 8))) {
    return with_sign(kInfinity, negative);
  }
  if (n == 3 && equals_word_ignoring_case(p, "nan", 3)) {
    return std::bit_cast<double>(negative ? uint64_t{0xFFF8000000000000}
                                          : uint64_t{0x7FF8000000000000});
  }
  return std::nullopt;
}

// Correct rounding for numbers the exact path cannot take. The digits (with
// at most one '.') run from `digits` to `digits_end`, `int_digits` of them
// before the point, and `exponent` is the explicit exponent. At least one
// digit is non-zero. The library routine gets a short canonical copy:
// "<significant digits>e<exponent>", which keeps its input bounded and its
// exponent small however long the field is.
double round_long_decimal(const char* digits, const char* digits_end, size_t int_digits,
                          int64_t exponent) noexcept {
  const char* first = digits;
  while (*first == '0' || *first == '.') ++first;
  const auto offset = static_cast<int64_t>(first - digits);
  const auto int_count = static_cast<int64_t>(int_digits);
  // A first digit in the fraction sits after the point: one byte more to skip.
  const int64_t position =
      exponent + (offset < int_count ? int_count - offset : int_count - offset + 1);
  if (position >= kOverflowPosition) return kInfinity;
  if (position <= kUnderflowPosition) return 0.0;

  char buffer[kMaxKeptDigits + 1 + 1 + 8];
  size_t kept = 0;
  const char* p = first;
  for (; p != digits_end && kept < kMaxKeptDigits; ++p) {
    if (*p != '.') buffer[kept++] = *p;
  }
  for (; p != digits_end; ++p) {
    if (*p != '0' && *p != '.') {
      buffer[kept++] = '1';
      break;
    }
  }
  buffer[kept] = 'e';
  const int64_t scale = position - static_cast<int64_t>(kept);
  char* const last = std::to_chars(buffer + kept + 1, buffer + sizeof buffer, scale).ptr;

  double value = 0.0;
  const auto result = std::from_chars(buffer, last, value);
  if (result.ec != std::errc{}) {
    // Out of range, which the routine reports without a value. The position
    // is within a few hundred of zero here, so its sign tells which end.
    value = position > 0 ? kInfinity : 0.0;
  }
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------

std::optional<bool> parse_bool(std::string_view text) noexcept {
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
  switch (end - begin) {
    case 4:
      if (equals_word_ignoring_case(word, "true", 4)) return true;
      break;
    case 5:
      if (equals_word_ignoring_case(word, "false", 5)) return false;
      break;
    default:
      break;
  }
  return std::nullopt;
}

std::optional<int32_t> parse_int32(std::string_view text) noexcept {
  return parse_integer<int32_t>(text);
}

std::optional<int64_t> parse_int64(std::string_view text) noexcept {
  return parse_integer<int64_t>(text);
}

// One pass checks the grammar and collects the number's shape: the leading
// digits as an integer, how many digits lie after the point, and the explicit
// exponent. A number of at most 2^53 scaled by 10^-22 to 10^22 is converted
// with one exact multiplication or division, which IEEE arithmetic rounds
// correctly; everything else goes to round_long_decimal.
std::optional<double> parse_double(std::string_view text) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }

  const char* const digits = p;
  uint64_t mantissa = 0;
  p = accumulate_digits(p, end, mantissa);
  const auto int_digits = static_cast<size_t>(p - digits);
  size_t frac_digits = 0;
  bool has_point = false;
  if (p != end && *p == '.') {
    has_point = true;
    const char* const frac = ++p;
    p = accumulate_digits(p, end, mantissa);
    frac_digits = static_cast<size_t>(p - frac);
  }
  if (int_digits + frac_digits == 0) {
    if (has_point) return std::nullopt;
    return parse_special_word(p, end, negative);
  }
  const char* const digits_end = p;

  int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    if (p == end || !is_digit(*p)) return std::nullopt;
    for (; p != end && is_digit(*p); ++p) {
      if (exponent < kExponentCap) exponent = exponent * 10 + digit_value(*p);
    }
    if (exponent_negative) exponent = -exponent;
  }
  if (p != end) return std::nullopt;

  // The text is a number; now its value. With more than 19 digits the
  // mantissa has wrapped, unless most of them are leading zeros.
  size_t significant = int_digits + frac_digits;
  if (significant > 19) {
    const char* q = digits;
    while (q != digits_end && (*q == '0' || *q == '.')) ++q;
    const bool point_follows = has_point && q < digits + int_digits;
    significant = static_cast<size_t>(digits_end - q) - (point_follows ? 1 : 0);
    if (significant == 0) return with_sign(0.0, negative);
  }
  if (significant <= 19) {
    if (mantissa == 0) return with_sign(0.0, negative);
    const int64_t scale = exponent - static_cast<int64_t>(frac_digits);
    if (kExactArithmetic && mantissa <= kMaxExactInteger && scale >= -22 && scale <= 22) {
      const auto m = static_cast<double>(mantissa);
      const double value = scale >= 0 ? m * kExactPowersOfTen[scale] : m / kExactPowersOfTen[-scale];
      return with_sign(value, negative);
    }
  }
  return with_sign(round_long_decimal(digits, digits_end, int_digits, exponent), negative);
}

}  // namespace pipeline
