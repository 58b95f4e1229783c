// Text in a single-byte encoding (Latin-1, cp1252, ...) as UTF-8, from a
// table of what each byte stands for. ASCII is copied 16 bytes at a time;
// only the other bytes are looked up.
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

// The UTF-8 size of `input`, or where its first undefined byte lies.
struct TranscodedSize {
  size_t size = 0;
  size_t undefined_at = 0;  // meaningful only when `defined` is false
  bool defined = true;
};
TranscodedSize transcoded_size(std::span<const uint8_t> input, const TranscodeTable& table) noexcept;

// Writes `input` as UTF-8 into `out`, which holds exactly the size that
// transcoded_size gave; every byte of `input` must be defined.
void transcode(std::span<const uint8_t> input, const TranscodeTable& table, uint8_t* out) noexcept;

}  // namespace csv
