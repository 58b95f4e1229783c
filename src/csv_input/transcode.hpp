// Text in a single-byte encoding (Latin-1, cp1252, ...) as UTF-8, from a
// table of what each byte stands for. ASCII is copied 16 bytes at a time;
// only the other bytes are looked up. One pass: the output is sized for the
// longest text the input could give and cut to what it gave.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace csv {

// What one byte of the encoding becomes in UTF-8: 1 to 3 bytes, or 0 when
// the encoding leaves the byte undefined.
struct Utf8Bytes {
  uint8_t size = 0;
  std::array<uint8_t, 3> bytes{};
};
using TranscodeTable = std::array<Utf8Bytes, 256>;

// Bytes the output needs beyond the text: the copy stores whole vectors.
inline constexpr size_t kTranscodeSlack = 16;

// The room the output of `input_size` bytes needs, slack included.
size_t transcode_capacity(size_t input_size, const TranscodeTable& table) noexcept;

// The size of the UTF-8 text, or where the first undefined byte lies.
struct Transcoded {
  size_t size = 0;
  size_t undefined_at = 0;  // meaningful only when `defined` is false
  bool defined = true;
};

// Writes `input` as UTF-8 into `out`, which holds transcode_capacity bytes;
// what lies beyond the text's size is undefined. Stops at an undefined byte.
Transcoded transcode(std::span<const uint8_t> input, const TranscodeTable& table, uint8_t* out) noexcept;

}  // namespace csv
