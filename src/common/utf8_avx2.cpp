// UTF-8 validation of whole runs, 32 bytes at a time with AVX2.
//
// Each byte is classified by three 16-entry table lookups (the high nibble of
// the previous byte, its low nibble, and the high nibble of the byte itself);
// the AND of the three has a bit set exactly where the pair is an error
// (overlong, surrogate, too large, too short, too long). Third and fourth
// bytes of longer sequences are checked by comparing two and three bytes
// back. Blocks of plain ASCII skip all of it. The scalar checker in utf8.cpp
// is the reference this must agree with.
#include <immintrin.h>

#include <cstring>

#include "common/utf8.hpp"

// Every function below is compiled for AVX2 and only called after a runtime
// check; nothing else in the library is.
#define QARN_AVX2 __attribute__((target("avx2")))

namespace common::detail {

namespace {

// Error classes of a (previous byte, byte) pair.
constexpr uint8_t kTooShort = 1 << 0;   // lead byte followed by ASCII or another lead
constexpr uint8_t kTooLong = 1 << 1;    // ASCII followed by a continuation byte
constexpr uint8_t kOverlong3 = 1 << 2;  // E0 followed by 80..9F
constexpr uint8_t kTooLarge = 1 << 3;   // F4 followed by 90..BF, or F5..FF
constexpr uint8_t kSurrogate = 1 << 4;  // ED followed by A0..BF
constexpr uint8_t kOverlong2 = 1 << 5;  // C0 or C1
constexpr uint8_t kTooLarge1000 = 1 << 6;
constexpr uint8_t kOverlong4 = 1 << 6;  // F0 followed by 80..8F
constexpr uint8_t kTwoConts = 1 << 7;   // two continuation bytes: fine only inside a longer sequence
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

QARN_AVX2 inline __m256i table(uint8_t a0, uint8_t a1, uint8_t a2, uint8_t a3,
                                                      uint8_t a4, uint8_t a5, uint8_t a6, uint8_t a7,
                                                      uint8_t a8, uint8_t a9, uint8_t a10, uint8_t a11,
                                                      uint8_t a12, uint8_t a13, uint8_t a14, uint8_t a15) {
  return _mm256_setr_epi8(
      static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2), static_cast<char>(a3),
      static_cast<char>(a4), static_cast<char>(a5), static_cast<char>(a6), static_cast<char>(a7),
      static_cast<char>(a8), static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
      static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14), static_cast<char>(a15),
      static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2), static_cast<char>(a3),
      static_cast<char>(a4), static_cast<char>(a5), static_cast<char>(a6), static_cast<char>(a7),
      static_cast<char>(a8), static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
      static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14), static_cast<char>(a15));
}

// The 32 bytes that end `n` bytes before the end of `current`, reaching back
// into `previous`.
template <int N>
QARN_AVX2 inline __m256i shifted(__m256i current, __m256i previous) {
  return _mm256_alignr_epi8(current, _mm256_permute2x128_si256(previous, current, 0x21), 16 - N);
}

QARN_AVX2 inline __m256i high_nibbles(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

struct Checker {
  __m256i error;
  __m256i previous;
  __m256i previous_incomplete;

  QARN_AVX2 void check_block(__m256i input) {
    if (_mm256_movemask_epi8(input) == 0) {
      // Plain ASCII: only a sequence left open by the block before can fail.
      error = _mm256_or_si256(error, previous_incomplete);
      previous = input;
      previous_incomplete = _mm256_setzero_si256();
      return;
    }
    const __m256i prev1 = shifted<1>(input, previous);
    const __m256i byte_1_high = _mm256_shuffle_epi8(
        table(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
              kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
              kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
        high_nibbles(prev1));
    const __m256i byte_1_low = _mm256_shuffle_epi8(
        table(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
              kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000),
        _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)));
    const __m256i byte_2_high = _mm256_shuffle_epi8(
        table(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
              kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
              kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
              kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
              kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort,
              kTooShort),
        high_nibbles(input));
    const __m256i special = _mm256_and_si256(_mm256_and_si256(byte_1_high, byte_1_low), byte_2_high);

    // Two continuation bytes in a row are right exactly when they are the
    // third or fourth byte of a sequence that began two or three bytes back.
    const __m256i prev2 = shifted<2>(input, previous);
    const __m256i prev3 = shifted<3>(input, previous);
    const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
    const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
    const __m256i must_continue =
        _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    error = _mm256_or_si256(error, _mm256_xor_si256(must_continue, special));

    // A sequence still open at the end of the block must go on in the next.
    const __m256i max_complete = _mm256_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
        static_cast<char>(0xC0 - 1));
    previous_incomplete = _mm256_subs_epu8(input, max_complete);
    previous = input;
  }
};

}  // namespace

QARN_AVX2 Utf8Text utf8_text_avx2(const uint8_t* data, size_t size) noexcept {
  Checker checker;
  checker.error = checker.previous = checker.previous_incomplete = _mm256_setzero_si256();
  __m256i seen = _mm256_setzero_si256();  // the high bit of any byte
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    seen = _mm256_or_si256(seen, block);
    checker.check_block(block);
  }
  // The tail, padded with ASCII: a sequence cut by the end fails as too short.
  alignas(32) uint8_t tail[32] = {};
  if (size > i) std::memcpy(tail, data + i, size - i);
  const __m256i last = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail));
  seen = _mm256_or_si256(seen, last);
  checker.check_block(last);
  checker.check_block(_mm256_setzero_si256());
  if (_mm256_testz_si256(checker.error, checker.error) == 0) return Utf8Text::Invalid;
  return _mm256_movemask_epi8(seen) == 0 ? Utf8Text::Ascii : Utf8Text::Valid;
}

}  // namespace common::detail
