// Decoded `string` and `bytes` elements as Arrow's view layout, the one
// polars keeps its strings in: 16 bytes per element, which hold its length
// and either the whole element (up to 12 bytes, zero padded) or its first
// 4 bytes and where it starts in the data. Laying the views out is a pass
// over the offsets and the first bytes of each element; the data itself is
// shared, not copied.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/load.hpp"
#include "qarn/offsets_view.hpp"

namespace qarn {

inline constexpr size_t kStringViewBytes = 16;
// The longest element a view holds inline.
inline constexpr uint32_t kMostInlined = 12;

// The elements' data as views can address it: offsets are 32 bits wide.
inline constexpr size_t kMostViewedData = INT32_MAX;

namespace view_detail {

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
inline constexpr auto kViewMasks = [] {
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

// The view of the `length` bytes at `element`, starting at `start` in the
// data, from the 16 bytes that begin 4 before the element, which must all
// be readable: its first 12 bytes then lie where an inline view holds them.
// Returns the element's bytes the view keeps, in place.
inline __m128i write_view_vector(const uint8_t* element, uint32_t length, uint32_t start, uint8_t* view) noexcept {
  const ViewMasks& masks = kViewMasks[std::min<uint32_t>(length, kMostInlined + 1)];
  const __m128i around = _mm_loadu_si128(reinterpret_cast<const __m128i*>(element - 4));
  const __m128i kept = _mm_and_si128(around, _mm_load_si128(reinterpret_cast<const __m128i*>(masks.kept)));
  const __m128i place = _mm_and_si128(_mm_slli_si128(_mm_cvtsi32_si128(static_cast<int>(start)), 12),
                                      _mm_load_si128(reinterpret_cast<const __m128i*>(masks.start)));
  const __m128i length_lane = _mm_cvtsi32_si128(static_cast<int>(length));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(view), _mm_or_si128(_mm_or_si128(kept, place), length_lane));
  return kept;
}
#endif

}  // namespace view_detail

// The view of the `length` bytes at `element`, which starts at `start` in
// the data the views address; `readable` bytes from `element` on may be
// read, at least `length`, and `four_before` says whether the 4 bytes
// before it may be too. Both forms are built in two words and one chosen
// without a branch, since long and short elements alternate at random in
// most columns; a view put together byte by byte on the stack and then
// copied would stall on every element.
inline void write_view(const uint8_t* element, uint32_t length, uint32_t start, size_t readable, bool four_before,
                       uint8_t* view) noexcept {
#if defined(__SSE2__)
  if (four_before && readable >= kMostInlined) [[likely]] {
    view_detail::write_view_vector(element, length, start, view);
    return;
  }
#endif
  using view_detail::low_bytes;
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
  const uint64_t long_second = uint64_t{start} << 32;
  const bool inlined = length <= kMostInlined;
  const uint64_t first_word = length | ((inlined ? inline_low : low & 0xFFFFFFFFu) << 32);
  const uint64_t second_word = inlined ? inline_second : long_second;
  std::memcpy(view, &first_word, sizeof first_word);
  std::memcpy(view + 8, &second_word, sizeof second_word);
}

// Writes the views of elements [first, end) at `views` (16 bytes each,
// element `first` first), the elements laid back to back in `data`, which
// is at most kMostViewedData bytes. False when an element's offsets fall
// outside the data or decrease: its view is then left empty.
[[nodiscard]] bool write_string_views(const OffsetsView& offsets, std::span<const uint8_t> data, uint64_t first,
                                      uint64_t end, uint8_t* views) noexcept;

}  // namespace qarn
