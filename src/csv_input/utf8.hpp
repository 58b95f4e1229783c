// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence cut short at the end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace csv {

// Length of the longest valid prefix, which is the index of the first byte of
// the first invalid or incomplete sequence; `size` when all is valid.
size_t utf8_valid_prefix(const uint8_t* data, size_t size) noexcept;

inline bool is_valid_utf8(const uint8_t* data, size_t size) noexcept {
  return utf8_valid_prefix(data, size) == size;
}

}  // namespace csv
