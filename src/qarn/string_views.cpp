#include "qarn/string_views.hpp"

#include <cstring>

namespace qarn {

namespace {

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
      write_view(data.data() + begin, static_cast<uint32_t>(next - begin), static_cast<uint32_t>(begin),
                 static_cast<size_t>(size - begin), begin >= 4, views);
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
