#include "csv_input/transcode.hpp"

#include <emmintrin.h>

#include <cstring>

namespace csv {

namespace {

// The length of the run of ASCII bytes at the start of `data`, in whole
// 16-byte blocks (and then byte by byte).
size_t ascii_run(const uint8_t* data, size_t size) noexcept {
  size_t at = 0;
  for (; at + 16 <= size; at += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    const int high = _mm_movemask_epi8(block);
    if (high != 0) return at + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(high)));
  }
  while (at < size && data[at] < 0x80) ++at;
  return at;
}

}  // namespace

TranscodedSize transcoded_size(std::span<const uint8_t> input, const TranscodeTable& table) noexcept {
  TranscodedSize result;
  size_t at = 0;
  while (at < input.size()) {
    const size_t ascii = ascii_run(input.data() + at, input.size() - at);
    result.size += ascii;
    at += ascii;
    for (; at < input.size() && input[at] >= 0x80; ++at) {
      const Utf8Bytes& utf8 = table[input[at]];
      if (utf8.size == 0) {
        result.defined = false;
        result.undefined_at = at;
        return result;
      }
      result.size += utf8.size;
    }
  }
  return result;
}

void transcode(std::span<const uint8_t> input, const TranscodeTable& table, uint8_t* out) noexcept {
  size_t at = 0;
  while (at < input.size()) {
    const size_t ascii = ascii_run(input.data() + at, input.size() - at);
    std::memcpy(out, input.data() + at, ascii);
    out += ascii;
    at += ascii;
    for (; at < input.size() && input[at] >= 0x80; ++at) {
      const Utf8Bytes& utf8 = table[input[at]];
      std::memcpy(out, utf8.bytes.data(), utf8.size);
      out += utf8.size;
    }
  }
}

}  // namespace csv
