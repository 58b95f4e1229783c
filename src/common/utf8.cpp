#include "common/utf8.hpp"

#include <emmintrin.h>

namespace common {

namespace {

// Skips ASCII bytes sixteen at a time; returns the index of the first byte of
// 0x80 or above at or after `i`, or `size`.
size_t skip_ascii(const uint8_t* data, size_t size, size_t i) noexcept {
  while (i + 16 <= size) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const int high = _mm_movemask_epi8(block);
    if (high != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(high)));
    i += 16;
  }
  while (i < size && data[i] < 0x80) ++i;
  return i;
}

// Length of the valid multi-byte sequence starting at `i`, or 0.
size_t sequence_length(const uint8_t* data, size_t size, size_t i) noexcept {
  const uint8_t lead = data[i];
  size_t length;
  uint8_t second_low = 0x80;
  uint8_t second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3;
    second_low = 0xA0;  // below is an overlong form
  } else if (lead == 0xED) {
    length = 3;
    second_high = 0x9F;  // above are the surrogates
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    length = 3;
  } else if (lead == 0xF0) {
    length = 4;
    second_low = 0x90;  // below is an overlong form
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4;
    second_high = 0x8F;  // above is beyond U+10FFFF
  } else {
    return 0;  // continuation byte, C0, C1 or F5 and above
  }
  if (size - i < length) return 0;
  if (data[i + 1] < second_low || data[i + 1] > second_high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if ((data[i + k] & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

bool is_ascii(const uint8_t* data, size_t size) noexcept {
  size_t at = 0;
  __m128i high = _mm_setzero_si128();
  for (; at + 64 <= size; at += 64) {
    for (size_t part = 0; part < 64; part += 16) {
      high = _mm_or_si128(high, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at + part)));
    }
    if (_mm_movemask_epi8(high) != 0) return false;
  }
  return skip_ascii(data, size, at) == size;
}

size_t utf8_valid_prefix(const uint8_t* data, size_t size) noexcept {
  size_t i = 0;
  while (true) {
    i = skip_ascii(data, size, i);
    if (i == size) return size;
    const size_t length = sequence_length(data, size, i);
    if (length == 0) return i;
    i += length;
  }
}

}  // namespace common
