// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence cut short at the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu.hpp"

namespace common {

// Length of the longest valid prefix, which is the index of the first byte of
// the first invalid or incomplete sequence; `size` when all is valid.
size_t utf8_valid_prefix(const uint8_t* data, size_t size) noexcept;

// Whether every byte is below 0x80.
bool is_ascii(const uint8_t* data, size_t size) noexcept;

enum class Utf8Text : uint8_t { Invalid, Valid, Ascii };

namespace detail {
Utf8Text utf8_text_avx2(const uint8_t* data, size_t size) noexcept;
}  // namespace detail

// Whether all of it is valid, and whether it is plain ASCII besides: with
// AVX2 where the processor has it, which is several times faster on text
// that is not plain ASCII.
inline Utf8Text utf8_text(const uint8_t* data, size_t size) noexcept {
  if (cpu_has_avx2()) return detail::utf8_text_avx2(data, size);
  if (is_ascii(data, size)) return Utf8Text::Ascii;
  return utf8_valid_prefix(data, size) == size ? Utf8Text::Valid : Utf8Text::Invalid;
}

inline bool is_valid_utf8(const uint8_t* data, size_t size) noexcept {
  return utf8_text(data, size) != Utf8Text::Invalid;
}

}  // namespace common
