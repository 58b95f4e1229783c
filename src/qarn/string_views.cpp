#include "qarn/string_views.hpp"

#include <cstring>

namespace qarn {

void write_string_views(const OffsetsView& offsets, uint64_t count, const uint8_t* data, size_t data_size,
                        uint8_t* views) noexcept {
  auto begin = static_cast<size_t>(offsets[0]);
  for (uint64_t i = 0; i < count; ++i, views += kViewSize) {
    const auto end = static_cast<size_t>(offsets[i + 1]);
    const size_t length = end - begin;
    // The first 12 bytes from the element on, read whole where the data
    // holds them, else zero past its end.
    uint8_t head[kInlineSize] = {};
    const size_t available = data_size - begin;
    if (available >= kInlineSize) {
      std::memcpy(head, data + begin, kInlineSize);
    } else if (available != 0) {
      std::memcpy(head, data + begin, available);
    }
    write_view(views, head, static_cast<uint32_t>(length), static_cast<uint32_t>(begin));
    begin = end;
  }
}

bool view_offsets(const uint8_t* views, uint64_t count, size_t data_size, int32_t* offsets) noexcept {
  uint64_t end = 0;
  offsets[0] = 0;
  for (uint64_t i = 0; i < count; ++i, views += kViewSize) {
    const auto length = common::load<uint32_t>(views);
    // A view that is not inline must point at the very next element.
    if (length > kInlineSize && common::load<uint32_t>(views + 12) != end) return false;
    end += length;
    if (end > data_size) return false;
    offsets[i + 1] = static_cast<int32_t>(end);
  }
  return end == data_size;
}

}  // namespace qarn
