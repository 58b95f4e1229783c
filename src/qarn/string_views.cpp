#include "qarn/string_views.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/load.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qarn {

namespace {

constexpr uint32_t kMostInlined = 12;

// A mask of the lowest `count` bytes of a T, `count` at most sizeof(T).
template <class T>
constexpr T low_bytes(uint32_t count) noexcept {
  return count == 0 ? T{0} : static_cast<T>(~T{0} >> (8 * (sizeof(T) - count)));
}

#if defined(__SSE2__)
// Per length up to 12, and one entry for every longer element: which bytes
// of the 16 from 4 before the element a view keeps (the element's bytes
// inline, or its first 4 bytes), and whether the start goes in the last
// word. With both from one table, a view is two ANDs and two ORs.
struct ViewMasks {
  alignas(16) uint8_t kept[16];
  alignas(16) uint8_t start[16];
};
constexpr auto kViewMasks = [] {
  std::array<ViewMasks, kMostInlined + 2> masks{};
  for (uint32_t length = 0; length <= kMostInlined + 1; ++length) {
    const uint32_t kept = length <= kMostInlined ? length : 4;
    for (uint32_t b = 4; b < 4 + kept; ++b) masks[length].kept[b] = 0xFF;
    if (length > kMostInlined) {
      for (uint32_t b = 12; b < 16; ++b) masks[length].start[b] = 0xFF;
    }
  }
  return masks;
}();

// The same view in one vector, from the 16 bytes that begin 4 before the
// element, which must all be readable: its first 12 bytes then lie where
// an inline view holds them.
inline void write_view_vector(const uint8_t* data, int64_t begin, uint32_t length, uint8_t* view) noexcept {
  const ViewMasks& masks = kViewMasks[std::min<uint32_t>(length, kMostInlined + 1)];
  const __m128i around = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + begin - 4));
  const __m128i kept = _mm_and_si128(around, _mm_load_si128(reinterpret_cast<const __m128i*>(masks.kept)));
  const __m128i start = _mm_and_si128(_mm_slli_si128(_mm_cvtsi32_si128(static_cast<int>(static_cast<uint32_t>(begin))), 12),
                                      _mm_load_si128(reinterpret_cast<const __m128i*>(masks.start)));
  const __m128i length_lane = _mm_cvtsi32_si128(static_cast<int>(length));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(view), _mm_or_si128(_mm_or_si128(kept, start), length_lane));
}
#endif

// The view of the `length` bytes at `begin` in `data`, of which `readable`
// bytes from `begin` on may be read, at least `length`. Both forms are
// built in two words and one chosen without a branch, since long and short
// elements alternate at random in most columns; a view put together byte
// by byte on the stack and then copied would stall on every element.
inline void write_view(const uint8_t* data, int64_t begin, uint32_t length, size_t readable,
                       uint8_t* view) noexcept {
#if defined(__SSE2__)
  if (begin >= 4 && readable >= kMostInlined) [[likely]] {
    write_view_vector(data, begin, length, view);
    return;
  }
#endif
  const uint8_t* element = data + begin;
  uint64_t low = 0;
  uint32_t high = 0;
  if (readable >= kMostInlined) [[likely]] {
    low = common::load<uint64_t>(element);
    high = common::load<uint32_t>(element + 8);
  } else {
    uint8_t bytes[kMostInlined] = {};
    if (length != 0) std::memcpy(bytes, element, length);  // `element` is null for no data
    low = common::load<uint64_t>(bytes);
    high = common::load<uint32_t>(bytes + 8);
  }
  // Inline: the element, its bytes past `length` cleared.
  const uint32_t in_low = std::min<uint32_t>(length, 8);
  const uint64_t inline_low = low & low_bytes<uint64_t>(in_low);
  const uint32_t inline_high = high & low_bytes<uint32_t>(std::min<uint32_t>(length - in_low, 4));
  const uint64_t inline_second = (inline_low >> 32) | (uint64_t{inline_high} << 32);
  // Long: its first 4 bytes, then buffer 0 and its start in it.
  const uint64_t long_second = uint64_t{static_cast<uint32_t>(begin)} << 32;
  const bool inlined = length <= kMostInlined;
  const uint64_t first_word = length | ((inlined ? inline_low : low & 0xFFFFFFFFu) << 32);
  const uint64_t second_word = inlined ? inline_second : long_second;
  std::memcpy(view, &first_word, sizeof first_word);
  std::memcpy(view + 8, &second_word, sizeof second_word);
}

template <class Offset>
bool write_views(const uint8_t* raw_offsets, std::span<const uint8_t> data, uint64_t first, uint64_t end,
                 uint8_t* views) noexcept {
  // As unsigned numbers, so that a negative offset is out of range as one
  // past the end is: begin <= next <= size says all.
  const auto offset_at = [raw_offsets](uint64_t i) {
    return static_cast<uint64_t>(static_cast<int64_t>(common::load<Offset>(raw_offsets + i * sizeof(Offset))));
  };
  bool in_order = true;
  const uint64_t size = data.size();
  uint64_t begin = offset_at(first);
  for (uint64_t i = first; i < end; ++i, views += kStringViewBytes) {
    const uint64_t next = offset_at(i + 1);
    const bool sound = begin <= next && next <= size;
    in_order &= sound;
    if (!sound) [[unlikely]] {
      std::memset(views, 0, kStringViewBytes);
    } else {
      write_view(data.data(), static_cast<int64_t>(begin), static_cast<uint32_t>(next - begin),
                 static_cast<size_t>(size - begin), views);
    }
    begin = next;
  }
  return in_order;
}

}  // namespace

bool write_string_views(const OffsetsView& offsets, std::span<const uint8_t> data, uint64_t first, uint64_t end,
                        uint8_t* views) noexcept {
  if (first >= end) return true;
  if (offsets.width() == sizeof(int32_t)) return write_views<int32_t>(offsets.raw(), data, first, end, views);
  return write_views<int64_t>(offsets.raw(), data, first, end, views);
}

}  // namespace qarn
