#include "qarn/string_views.hpp"

#include <cstring>

#include "common/load.hpp"

namespace qarn {

namespace {

constexpr size_t kInlineSize = 12;

// The first `length` (at most 8) bytes at `at`, zero above; reads 8 bytes
// where the data holds them, else only what it holds.
uint64_t low_bytes(const uint8_t* at, size_t length, size_t available) noexcept {
  if (length == 0) return 0;
  uint64_t word = 0;
  if (available >= sizeof word) {
    word = common::load<uint64_t>(at);
  } else {
    std::memcpy(&word, at, available);
  }
  return length >= sizeof word ? word : word & ((uint64_t{1} << (8 * length)) - 1);
}

}  // namespace

void write_string_views(const OffsetsView& offsets, uint64_t count, const uint8_t* data, size_t data_size,
                        uint8_t* views) noexcept {
  auto begin = static_cast<size_t>(offsets[0]);
  for (uint64_t i = 0; i < count; ++i, views += kViewSize) {
    const auto end = static_cast<size_t>(offsets[i + 1]);
    const size_t length = end - begin;
    const uint8_t* element = data + begin;
    const size_t available = data_size - begin;
    // Bytes 4 to 7 of a view are the element's first 4 bytes either way.
    // An inline element goes on in bytes 8 to 15; a longer one is found by
    // its buffer (0) in bytes 8 to 11 and its offset in bytes 12 to 15.
    const uint64_t head = low_bytes(element, length < 8 ? length : 8, available);
    uint64_t second = uint64_t{static_cast<uint32_t>(begin)} << 32;
    if (length <= kInlineSize) {
      const uint64_t tail = length <= 8 ? 0 : low_bytes(element + 8, length - 8, available - 8);
      second = (head >> 32) | (tail << 32);
    }
    const uint64_t first = static_cast<uint32_t>(length) | (head << 32);
    std::memcpy(views, &first, sizeof first);
    std::memcpy(views + sizeof first, &second, sizeof second);
    begin = end;
  }
}

}  // namespace qarn
