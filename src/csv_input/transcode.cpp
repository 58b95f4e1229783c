#include "csv_input/transcode.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

namespace csv {

namespace {

// Each byte's UTF-8 bytes in the low bytes of a word, so that one 4-byte
// store writes any of them; the size says how far the output goes on.
struct PackedTable {
  explicit PackedTable(const TranscodeTable& table) noexcept {
    for (size_t byte = 0; byte < table.size(); ++byte) {
      std::memcpy(&bytes[byte], table[byte].bytes.data(), 3);
      size[byte] = table[byte].size;
    }
  }
  uint32_t bytes[256] = {};
  uint8_t size[256] = {};
};

}  // namespace

size_t transcode_capacity(size_t input_size, const TranscodeTable& table) noexcept {
  uint8_t longest = 1;
  for (const Utf8Bytes& utf8 : table) longest = std::max(longest, utf8.size);
  return input_size * longest + kTranscodeSlack;
}

// Whole blocks of ASCII are stored as they are. A block with a byte of 0x80
// or above is stored too, and the output goes on only as far as its ASCII
// prefix; that byte's UTF-8 is stored over what follows, and the next block
// starts after it. Both stores may write past the end of the text, into the
// slack.
Transcoded transcode(std::span<const uint8_t> input, const TranscodeTable& table, uint8_t* out) noexcept {
  const PackedTable packed(table);
  const uint8_t* const begin = input.data();
  const uint8_t* const end = begin + input.size();
  uint8_t* const out_begin = out;
  const uint8_t* in = begin;
  // The byte at `in`, of 0x80 or above; false when it is undefined.
  const auto put_high = [&]() __attribute__((always_inline)) {
    const uint8_t size = packed.size[*in];
    std::memcpy(out, &packed.bytes[*in], 4);
    out += size;
    ++in;
    return size != 0;
  };
  while (end - in >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
    const uint32_t high = static_cast<uint32_t>(_mm_movemask_epi8(block));
    if (high == 0) {
      in += 16;
      out += 16;
      continue;
    }
    const unsigned ascii = static_cast<unsigned>(__builtin_ctz(high));
    in += ascii;
    out += ascii;
    if (!put_high()) [[unlikely]] {
      return {0, static_cast<size_t>(in - 1 - begin), false};
    }
  }
  while (in < end) {
    if (*in < 0x80) {
      *out++ = *in++;
    } else if (!put_high()) {
      return {0, static_cast<size_t>(in - 1 - begin), false};
    }
  }
  return {static_cast<size_t>(out - out_begin), 0, true};
}

}  // namespace csv
