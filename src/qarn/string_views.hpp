// Decoded `string` and `bytes` elements as Arrow's view layout: 16 bytes per
// element, the length, then either the element itself (12 bytes or fewer)
// or its first 4 bytes, a buffer index (always 0: the one data buffer) and
// its offset. Readers that keep strings as views (polars) take such an
// array without copying a byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qarn/offsets_view.hpp"

namespace qarn {

inline constexpr size_t kViewSize = 16;
// Offsets in a view are 32-bit: a data buffer larger than this needs the
// offsets layout instead.
inline constexpr size_t kMaxViewData = 0x7FFFFFFF;

// Writes `count` views of the elements of `data` (`data_size` bytes, at most
// kMaxViewData) that `offsets` (well formed) describe into `views`, which
// holds `count * kViewSize` bytes.
void write_string_views(const OffsetsView& offsets, uint64_t count, const uint8_t* data, size_t data_size,
                        uint8_t* views) noexcept;

}  // namespace qarn
