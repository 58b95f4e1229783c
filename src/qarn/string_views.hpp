// `string` and `bytes` elements as Arrow's view layout: 16 bytes per
// element, the length, then either the element itself (12 bytes or fewer,
// zero-padded) or its first 4 bytes, a buffer index (always 0: the one data
// buffer) and its offset. Readers that keep strings as views (polars) take
// such an array without copying a byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/load.hpp"
#include "qarn/offsets_view.hpp"

namespace qarn {

inline constexpr size_t kViewSize = 16;
// Elements this long or shorter are held in the view itself.
inline constexpr size_t kInlineSize = 12;
// Offsets in a view are 32-bit: a data buffer larger than this needs the
// offsets layout instead.
inline constexpr size_t kMaxViewData = 0x7FFFFFFF;

namespace detail {

// Per length up to kInlineSize, the masks that keep an inline element's
// bytes among the 8 and the 4 read after its start.
struct InlineMasks {
  uint64_t low;
  uint64_t high;
};
inline constexpr auto kInlineMasks = [] {
  struct {
    InlineMasks by_length[kInlineSize + 1];
  } table{};
  for (size_t n = 0; n <= kInlineSize; ++n) {
    table.by_length[n].low = n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
    table.by_length[n].high = n <= 8 ? 0 : (uint64_t{1} << (8 * (n - 8))) - 1;
  }
  return table;
}();

}  // namespace detail

// Writes the view of an element of `length` bytes at `offset` in the data
// buffer. `head` holds the element's first 12 bytes (or fewer) in its first
// `length` bytes; what follows them in `head` may be anything, as long as
// 12 bytes can be read there. Without branches on the length: lengths
// around 12 bytes come in no order a predictor could follow.
inline void write_view(uint8_t* view, const uint8_t* head, uint32_t length, uint32_t offset) noexcept {
  const uint64_t low = common::load<uint64_t>(head);
  const uint64_t high = common::load<uint32_t>(head + 8);
  const bool in_view = length <= kInlineSize;
  const detail::InlineMasks masks = detail::kInlineMasks.by_length[in_view ? length : kInlineSize];
  const uint64_t first = length | ((low & masks.low) << 32);
  // Bytes past the element are zero in an inline view.
  const uint64_t held = ((low & masks.low) >> 32) | ((high & masks.high) << 32);
  const uint64_t second = in_view ? held : uint64_t{offset} << 32;
  std::memcpy(view, &first, sizeof first);
  std::memcpy(view + sizeof first, &second, sizeof second);
}

// The element a view written by write_view stands for, its bytes in the
// view or in `data`.
[[nodiscard]] inline std::string_view view_element(const uint8_t* view, const uint8_t* data) noexcept {
  const auto length = common::load<uint32_t>(view);
  const uint8_t* bytes = length <= kInlineSize ? view + 4 : data + common::load<uint32_t>(view + 12);
  return {reinterpret_cast<const char*>(bytes), length};
}

// Writes `count` views of the elements of `data` (`data_size` bytes, at most
// kMaxViewData) that `offsets` (well formed) describe into `views`, which
// holds `count * kViewSize` bytes.
void write_string_views(const OffsetsView& offsets, uint64_t count, const uint8_t* data, size_t data_size,
                        uint8_t* views) noexcept;

// The offsets of the elements `count` views stand for, laid back to back
// in the order of the views: `count + 1` int32 into `offsets`, the first 0.
// False, with `offsets` partly written, when a view's element would lie
// outside `data_size` bytes of data or the elements do not fill them exactly
// in order: views this reader did not write.
[[nodiscard]] bool view_offsets(const uint8_t* views, uint64_t count, size_t data_size,
                                int32_t* offsets) noexcept;

}  // namespace qarn
