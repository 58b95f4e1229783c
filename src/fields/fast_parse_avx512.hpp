// Numbers read with AVX-512 where the processor has it (see
// common::cpu_has_avx512_compress), for columns where the word-at-a-time
// readers of fast_parse.hpp mispredict or loop. A double of up to 32
// bytes is classified by the masks of its digits, point, exponent mark and
// signs, all from one load; its digits are gathered with one compress and
// one expand into a vector that holds the digits of the number
// right-aligned in its first 24 bytes and those of the exponent in its last
// 8, and summed there. Nothing branches on the spelling, so a column that
// mixes '-736', '291.37', '7.5E+10' and '0.2580895268234551' costs about
// what a column of one of them does. Integers are read the same way, in
// the same time for every length. The quick readers take only numbers of
// the grammar and leave the rest to the full parsers; a unit test holds
// them to the plain grammar.
#pragma once

#include <immintrin.h>

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <string_view>

#include "csv_input/row_batch.hpp"
#include "fields/grammar.hpp"
#include "fields/fast_parse.hpp"

#define QARN_TARGET_AVX512_COMPRESS __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,bmi,bmi2,popcnt")))

namespace fields::fast {

static_assert(csv::kFieldPadding >= 32, "one 32-byte load per field");

// Where the expand puts `count` digits of the number (ending at byte 24)
// and of the exponent (ending at byte 32); counts past 24 and 8 are for
// texts of other shapes, whose values are not used.
inline constexpr auto kNumberPlaces = [] {
  std::array<uint32_t, 32> places{};
  for (uint32_t count = 0; count <= 24; ++count) places[count] = ((uint32_t{1} << count) - 1) << (24 - count);
  return places;
}();
inline constexpr auto kExponentPlaces = [] {
  std::array<uint32_t, 32> places{};
  for (uint32_t count = 0; count <= 8; ++count) {
    places[count] = static_cast<uint32_t>(((uint64_t{1} << count) - 1) << (32 - count));
  }
  return places;
}();

// The eight-digit groups of the 32 digit values in `digits` (0 to 9 each,
// most significant first): four values of up to eight digits.
QARN_TARGET_AVX512_COMPRESS inline __m256i eight_digit_groups(__m256i digits) noexcept {
  const __m256i pairs = _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x010A));       // d0 * 10 + d1
  const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));       // p0 * 100 + p1
  return _mm256_add_epi64(_mm256_mul_epu32(quads, _mm256_set1_epi64x(10000)),        // q0 * 10^4 + q1
                          _mm256_srli_epi64(quads, 32));
}

// The value of the first 24 digit values of `digits` as one number (at
// most 19 digits long), and of the last 8 as another. The sums are taken
// out of their lanes: stored and loaded back four times, they made a
// column of long integers a fifth slower (5.2 against 4.2 ns a field).
struct DigitSums {
  uint64_t number;
  uint64_t last;
};
QARN_TARGET_AVX512_COMPRESS inline DigitSums sum_digits(__m256i digits) noexcept {
  const __m256i groups = eight_digit_groups(digits);
  const __m128i low = _mm256_castsi256_si128(groups);
  const __m128i high = _mm256_extracti128_si256(groups, 1);
  const auto g0 = static_cast<uint64_t>(_mm_cvtsi128_si64(low));
  const auto g1 = static_cast<uint64_t>(_mm_extract_epi64(low, 1));
  const auto g2 = static_cast<uint64_t>(_mm_cvtsi128_si64(high));
  const auto g3 = static_cast<uint64_t>(_mm_extract_epi64(high, 1));
  return {g0 * 10000000000000000 + g1 * 100000000 + g2, g3};
}

// The common spellings of a field, without a branch or a call: up to 19
// digits with an optional point, then an optional exponent of up to four
// digits, all within 32 bytes. False for anything else, which the full
// parser decides; `digits` is then meaningless.
QARN_TARGET_AVX512_COMPRESS inline bool quick_digits(std::string_view text, DecimalDigits& digits) noexcept {
  const size_t size = text.size();
  const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text.data()));
  const __mmask32 inside = _bzhi_u32(~0u, static_cast<unsigned>(size));
  const __m256i values = _mm256_sub_epi8(bytes, _mm256_set1_epi8('0'));
  const uint32_t digit_bytes = _mm256_mask_cmplt_epu8_mask(inside, values, _mm256_set1_epi8(10));
  const uint32_t points = _mm256_mask_cmpeq_epi8_mask(inside, bytes, _mm256_set1_epi8('.'));
  const uint32_t marks =
      _mm256_mask_cmpeq_epi8_mask(inside, _mm256_or_si256(bytes, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('e'));
  const uint32_t minus = _mm256_cmpeq_epi8_mask(bytes, _mm256_set1_epi8('-'));
  const uint32_t signs = minus | _mm256_cmpeq_epi8_mask(bytes, _mm256_set1_epi8('+'));

  // Every byte that is not a digit must be one of these: a sign first, a
  // point before the exponent mark, the mark, and a sign right after it.
  const uint32_t mark = marks & (0 - marks);
  const uint32_t before_mark = mark - 1;  // every bit without a mark
  const uint32_t point = points & (0 - points);
  const uint32_t allowed = (signs & 1) | (point & before_mark) | mark | ((mark << 1) & signs);
  const uint32_t count = static_cast<uint32_t>(std::popcount(digit_bytes & before_mark));
  const uint32_t exponent_count = static_cast<uint32_t>(std::popcount(digit_bytes)) - count;
  // Nonzero for any other shape: 1 to 19 digits in the number, 1 to 4 in
  // the exponent (none without a mark), 1 to 32 bytes.
  const uint32_t misfit = ((inside & ~digit_bytes) ^ allowed) | static_cast<uint32_t>(count - 1 >= 19) |
                          ((exponent_count - (mark != 0)) >> 2) | static_cast<uint32_t>(size - 1 >= 32);

  // The number's digits end at byte 24, the exponent's at byte 32.
  const uint32_t places = kNumberPlaces[count & 31] | kExponentPlaces[exponent_count & 31];
  const __m256i packed = _mm256_maskz_compress_epi8(digit_bytes, values);
  const DigitSums sums = sum_digits(_mm256_maskz_expand_epi8(places, packed));
  const uint64_t exponent = sums.last;
  const uint64_t fraction = static_cast<uint64_t>(std::popcount(digit_bytes & ~(point - 1) & before_mark));
  const uint64_t exponent_negative = ((mark << 1) & minus) != 0;
  digits.mantissa = sums.number;
  digits.scale = static_cast<int64_t>(((exponent ^ (0 - exponent_negative)) + exponent_negative) - fraction);
  digits.negative = (minus & 1) != 0;
  return misfit == 0;
}

// Integers of 1 to 19 digits after an optional sign, without a branch;
// false for anything else (leading zeros past 19 digits included), which
// the full parser decides. The digits are loaded right-aligned with a
// masked load: the bytes it leaves out are not read, so that none before
// the field is touched.
template <class Int>
QARN_TARGET_AVX512_COMPRESS inline bool quick_integer(std::string_view text, Int& out) noexcept {
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<Int>::max());
  const size_t size = text.size();
  const char first = text.data()[0];  // readable even when the field is empty
  const uint64_t negative = first == '-';
  const size_t count = size - (negative | (first == '+'));
  const __mmask32 places = kNumberPlaces[count & 31];
  const auto last_24 = reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(text.data()) + size - 24);
  const __m256i values =
      _mm256_maskz_sub_epi8(places, _mm256_maskz_loadu_epi8(places, last_24), _mm256_set1_epi8('0'));
  const uint32_t digit_bytes = _mm256_mask_cmplt_epu8_mask(places, values, _mm256_set1_epi8(10));
  const uint64_t magnitude = sum_digits(values).number;
  out = static_cast<Int>((magnitude ^ (0 - negative)) + negative);
  return (digit_bytes == places) & (count - 1 < 19) & (magnitude <= kMax + negative);
}

// The double grammar and value, the common spellings read as above.
QARN_TARGET_AVX512_COMPRESS inline bool parse_double_avx512(std::string_view text, double& out) noexcept {
  DecimalDigits digits;
  if (!quick_digits(text, digits)) return parse_double<LoopDigits>(text, out);
  if (exact_double_unbranched(digits, out)) return true;
  return grammar_detail::round_digits(text, digits.mantissa, digits.scale, digits.negative, out);
}

}  // namespace fields::fast
