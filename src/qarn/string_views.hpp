// Decoded `string` and `bytes` elements as Arrow's view layout, the one
// polars keeps its strings in: 16 bytes per element, which hold its length
// and either the whole element (up to 12 bytes, zero padded) or its first
// 4 bytes and where it starts in the data. Laying the views out is a pass
// over the offsets and the first bytes of each element; the data itself is
// shared, not copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "qarn/offsets_view.hpp"

namespace qarn {

inline constexpr size_t kStringViewBytes = 16;

// The elements' data as views can address it: offsets are 32 bits wide.
inline constexpr size_t kMostViewedData = INT32_MAX;

// Writes the views of elements [first, end) at `views` (16 bytes each,
// element `first` first), the elements laid back to back in `data`, which
// is at most kMostViewedData bytes. False when an element's offsets fall
// outside the data or decrease: its view is then left empty.
[[nodiscard]] bool write_string_views(const OffsetsView& offsets, std::span<const uint8_t> data, uint64_t first,
                                      uint64_t end, uint8_t* views) noexcept;

}  // namespace qarn
