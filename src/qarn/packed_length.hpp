// Packed lengths, the form the format gives the length of each element of a
// `string` or `bytes` value array: the number in 7-bit groups, least
// significant first, every byte but the last with its high bit set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qarn {

// Enough bytes for any 64-bit length.
inline constexpr size_t kMaxPackedLengthBytes = 10;

constexpr size_t packed_length_size(uint64_t n) noexcept {
  size_t size = 1;
  while (n >= 0x80) {
    n >>= 7;
    ++size;
  }
  return size;
}

// Writes `n` at `dst`, which has room for kMaxPackedLengthBytes; returns the
// number of bytes written.
inline size_t encode_packed_length(uint8_t* dst, uint64_t n) noexcept {
  size_t i = 0;
  while (n >= 0x80) {
    dst[i++] = static_cast<uint8_t>((n & 0x7F) | 0x80);
    n >>= 7;
  }
  dst[i++] = static_cast<uint8_t>(n);
  return i;
}

// Reads a length that encode_packed_length wrote into memory of our own,
// and steps `p` past it. Nothing is checked: for bytes from a file, see
// read_packed_length_within.
inline uint64_t decode_packed_length(const uint8_t*& p) noexcept {
  uint64_t length = 0;
  int shift = 0;
  while (*p & 0x80) {
    length |= uint64_t{*p++ & 0x7Fu} << shift;
    shift += 7;
  }
  return length | (uint64_t{*p++} << shift);
}

enum class PackedLengthRead : uint8_t {
  Ok,
  Truncated,  // `limit` came before the last byte
  Invalid,    // more than five bytes, or a length above 0x7FFFFFFF
};

// Reads a length from a file, no further than `limit`: one to five bytes
// and at most 0x7FFFFFFF, the largest count the format holds. Steps `p`
// past what it read.
inline PackedLengthRead read_packed_length_within(const uint8_t*& p, const uint8_t* limit,
                                                  uint64_t& length) noexcept {
  uint64_t value = 0;
  for (unsigned group = 0; group < 5; ++group) {
    if (p == limit) return PackedLengthRead::Truncated;
    const uint8_t byte = *p++;
    value |= uint64_t{byte & 0x7Fu} << (7 * group);
    if ((byte & 0x80) == 0) {
      if (value > 0x7FFFFFFF) break;
      length = value;
      return PackedLengthRead::Ok;
    }
  }
  return PackedLengthRead::Invalid;
}

}  // namespace qarn
