// Fast paths of the field grammars for the common spellings. Integers and
// Booleans are read from fields that may be read past their end (every
// field of a row batch may, by csv::kFieldPadding bytes). The
// digits are read as one or two eight-byte words whose lengths are masked
// rather than looped over: in real columns the lengths vary from row to row,
// and a mispredicted branch at the end of a digit loop costs more than the
// parsing itself. Anything out of the common shapes goes to the plain parser
// of grammar.hpp, which defines the grammar; a unit test holds the two
// to the same answers.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <emmintrin.h>
#include <cstring>
#include <limits>
#include <string_view>

#include "common/word_bytes.hpp"
#include "csv_input/row_batch.hpp"
#include "fields/grammar.hpp"

namespace fields::fast {

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
// either case. The field's length picks the word to compare with, so a
// column of both words in random order costs no mispredicted branch.
inline bool parse_bool(std::string_view text, uint8_t& out) noexcept {
  // By length: the bytes that must match and the word they must spell. A
  // zero mask with a nonzero word never matches.
  static constexpr uint64_t kMask[8] = {0, 0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFFFF, 0, 0};
  static constexpr uint64_t kWord[8] = {1, 1, 1, 1, 0x65757274 /* "true" */, 0x65736c6166 /* "false" */, 1, 1};
  const uint64_t word = load8(text.data()) | 0x2020202020202020;
  const size_t slot = text.size() < 8 ? text.size() : 0;
  if ((word & kMask[slot]) == kWord[slot]) [[likely]] {
    out = text.size() == 4;
    return true;
  }
  const auto parsed = grammar_detail::parse_trimmed_bool(text);
  out = parsed.value_or(false);
  return parsed.has_value();
}

// ---------------------------------------------------------------------------
// Doubles
//
// Two ways through a number, one per kind of column. Where every field is
// spelled alike ('10.50', '4.71'), branches on the shape are predicted: a
// short plain decimal is read as one word, anything else with a byte loop
// whose exits are predicted too. Where spellings vary from row to row
// (plain integers, short fractions, exponents and shortest round-trip
// texts mixed), each of those branches is a coin toss, and reading each run
// of digits from a mask of its word's non-digit bytes, with no branch on
// its length, is faster. `kTriesShort` says which of the two ways a reader
// belongs to.

struct LoopDigits {
  static constexpr bool kTriesShort = true;
  static const char* read(const char* p, const char* end, uint64_t& value) noexcept {
    return grammar_detail::accumulate_digits(p, end, value);
  }
};

struct MaskedDigits {
  static constexpr bool kTriesShort = false;
  // Appends the run of digits at `p`, up to `end`, to `value` (value * 10 +
  // digit each) and returns where it stops; `value` wraps past 19 digits.
  // The lowest non-digit byte of a word is found exactly (no borrow comes
  // from below it), and a run of up to seven digits costs one step. Each
  // step loads the whole word at `p`, which may pass `end`: the caller keeps
  // that within the bytes it may read.
  static const char* read(const char* p, const char* end, uint64_t& value) noexcept {
    static constexpr uint64_t kScale[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    while (true) {
      const uint64_t word = load8(p);
      const uint64_t x = word - kEightZeros;
      const uint64_t non_digits = (x | (x + 0x7676767676767676)) & 0x8080808080808080;
      const auto left = static_cast<size_t>(end - p);
      const size_t run = std::min<size_t>(static_cast<size_t>(std::countr_zero(non_digits)) >> 3, left);
      // The run moved to the top of a word of leading zeros; none for 0.
      const uint64_t top = run == 0 ? 0 : word << ((8 - run) * 8);
      value = value * kScale[run] + eight_digits_value(top | kZeroFill[8 - run]);
      p += run;
      if (run < 8) return p;
    }
  }
};

// Whether a column's spellings vary enough from row to row to be read with
// MaskedDigits. Looks at the first fields only: for each, where its point
// and its exponent mark stand from its end, and counts how often that
// differs from the field before. Any answer gives the same values.
inline bool spellings_vary(const std::string_view* fields, size_t count) noexcept {
  constexpr size_t kLooked = 64;
  const size_t looked = std::min(count, kLooked);
  unsigned changes = 0;
  uint64_t previous = 0;
  for (size_t i = 0; i < looked; ++i) {
    const std::string_view text = fields[i];
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data()));
    const uint32_t points = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
    const uint32_t marks = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'))));
    // Bits of the field's own bytes, counted from its last one (longer
    // fields keep their last sixteen).
    const unsigned length = static_cast<unsigned>(std::min<size_t>(text.size(), 16));
    const uint32_t inside = (uint32_t{1} << length) - 1;
    const uint64_t signature = (uint64_t{points & inside} << (16 - length)) |
                               (uint64_t{marks & inside} << (40 - length)) | (uint64_t{text.size() > 16} << 63);
    changes += i != 0 && signature != previous;
    previous = signature;
  }
  return changes * 4 > looked;  // more than a quarter of the rows
}

// A decimal of one to eight characters with no exponent ('10.50', '4.71',
// '736'), read as one word: its non-digit bytes are found exactly (no
// borrow or carry crosses a byte), the point is cut out, and the digits are
// right-aligned over leading zeros. False for any other shape; `value` and
// `scale` are then untouched. `text` may be read eight bytes past its start.
inline bool short_decimal(const char* text, size_t length, uint64_t& value, int64_t& scale) noexcept {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F;
  constexpr uint64_t kHigh = 0x8080808080808080;
  const uint64_t word = load8(text);
  const uint64_t inside = ~uint64_t{0} >> (64 - 8 * length);
  const uint64_t x = word ^ kEightZeros;                      // digits become 0 to 9
  const uint64_t non_digits = (((x & kLow7) + 0x7676767676767676) | x) & kHigh & inside;
  const uint64_t points = common::bytes_equal(word, '.');
  const bool has_point = non_digits != 0;
  if ((non_digits & ~points) != 0 || (non_digits & (non_digits - 1)) != 0 || length == has_point) return false;
  // The bytes below the point stay, those above move down over it; with no
  // point, every byte stays.
  const uint64_t before = (non_digits >> 7) - 1;
  const uint64_t digits_word = (word & before) | ((word >> 8) & ~before);
  const size_t digits = length - has_point;
  value = eight_digits_value((digits_word << (8 * (8 - digits))) | kZeroFill[8 - digits]);
  const size_t point = has_point ? static_cast<size_t>(std::countr_zero(non_digits)) >> 3 : length;
  scale = -static_cast<int64_t>(length - point - has_point);
  return true;
}

// Any decimal the inline paths take, from after the sign to `end`: up to 19
// digits with an optional point, then an optional exponent of up to four
// digits. `value` and `scale` start at zero; false for any other text,
// which the plain parser then decides.
template <class Digits>
inline bool decimal(const char* q, const char* end, uint64_t& value, int64_t& scale) noexcept {
  using grammar_detail::digit_value;
  const char* const int_start = q;
  q = Digits::read(q, end, value);
  auto digits = static_cast<size_t>(q - int_start);
  if (q != end && *q == '.') {
    const char* const frac_start = ++q;
    q = Digits::read(q, end, value);
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
    if (q == exponent_start || q - exponent_start > 4) return false;
    scale += exponent_negative ? -exponent : exponent;
  }
  return q == end && digits - 1 < 19;
}

// 10^s for s from -22 to 22 as a multiplication and a division by exact
// powers of ten, one of them 1, looked up rather than chosen by the sign of
// s: the sign varies from row to row, and a compiler would branch on it.
struct ExactScale {
  double multiplier;
  double divisor;
};
inline constexpr auto kExactScales = [] {
  std::array<ExactScale, 64> scales{};  // indexed by s + 22 modulo 64; the rest unused
  for (ExactScale& scale : scales) scale = {1, 1};
  for (int s = -22; s <= 22; ++s) {
    scales[static_cast<size_t>(s + 22)] = {grammar_detail::kExactPowersOfTen[s > 0 ? s : 0],
                                           grammar_detail::kExactPowersOfTen[s < 0 ? -s : 0]};
  }
  return scales;
}();

// A number as its digits were read: mantissa x 10^scale, negated when
// `negative`.
struct DecimalDigits {
  uint64_t mantissa;
  int64_t scale;
  bool negative;
};

// mantissa x 10^scale when one IEEE multiplication and division of exact
// operands gives it, without a branch; false otherwise.
inline bool exact_double_unbranched(const DecimalDigits& digits, double& out) noexcept {
  const uint64_t slot = static_cast<uint64_t>(digits.scale + 22);
  const bool exact = grammar_detail::kExactArithmetic & (slot <= 44) &
                     (digits.mantissa <= grammar_detail::kMaxExactInteger);
  const ExactScale& by = kExactScales[slot & 63];
  const double magnitude = static_cast<double>(digits.mantissa) * by.multiplier / by.divisor;
  out = std::bit_cast<double>(std::bit_cast<uint64_t>(magnitude) | (uint64_t{digits.negative} << 63));
  return exact;
}

// The double grammar and value with the common spellings inline: up to 19
// digits with an optional point ('12.50', '-3', '0.1234567890123456') and
// an exponent of up to four digits ('1e-03', '2.5E+10'). The value is exact
// in one IEEE operation when the digits fit in 53 bits and the power of ten
// is exact; otherwise it is rounded from the digits read (out of line).
// Being inline, the loop over a column keeps the value in a register, and
// its branches are predicted per column. Longer numbers, special words and
// anything that is not a number go to the plain parser, which defines the
// grammar and rounds every number correctly.
template <class Digits = LoopDigits>
inline bool parse_double(std::string_view text, double& out) noexcept {
  if (text.empty()) return false;  // and the sign test below reads a byte of the field
  const char* p = text.data();
  const bool negative = p[0] == '-';
  const char* q = p + (negative | (p[0] == '+'));
  uint64_t mantissa = 0;
  int64_t scale = 0;
  const auto length = static_cast<size_t>(p + text.size() - q);
  // Columns whose spellings vary take the general reader at once: there the
  // length test would be a coin toss.
  const bool short_one = Digits::kTriesShort && length - 1 < 8 && short_decimal(q, length, mantissa, scale);
  // Word reads stay within the padding of a field's start; a longer field's
  // last words would not, and it is read by the byte loop instead.
  const bool read = short_one || (text.size() <= csv::kFieldPadding - 8
                                      ? decimal<Digits>(q, p + text.size(), mantissa, scale)
                                      : decimal<LoopDigits>(q, p + text.size(), mantissa, scale));
  if (!read) return grammar_detail::scan_double(text, out);
  using grammar_detail::kExactPowersOfTen;
  if (!grammar_detail::kExactArithmetic || mantissa > grammar_detail::kMaxExactInteger || scale < -22 ||
      scale > 22) {
    return grammar_detail::round_digits(text, mantissa, scale, negative, out);
  }
  if constexpr (Digits::kTriesShort) {
    const auto m = static_cast<double>(mantissa);
    const double magnitude = scale >= 0 ? m * kExactPowersOfTen[scale] : m / kExactPowersOfTen[-scale];
    out = negative ? -magnitude : magnitude;
  } else {
    // No branch on the sign of the scale or of the number, which vary in
    // such columns.
    (void)exact_double_unbranched({mantissa, scale, negative}, out);
  }
  return true;
}

}  // namespace fields::fast
