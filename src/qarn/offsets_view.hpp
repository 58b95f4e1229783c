// The element offsets of a decoded `string` or `bytes` column: one start per
// element and a final end, as int32 or int64 by their width, the layout
// Arrow's string arrays take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/load.hpp"

namespace qarn {

class OffsetsView {
 public:
  OffsetsView() noexcept = default;
  // `raw` holds offsets of `width` bytes each, 4 or 8.
  OffsetsView(const uint8_t* raw, size_t width) noexcept : raw_(raw), width_(width) {}

  // The offset at `i`.
  [[nodiscard]] int64_t operator[](uint64_t i) const noexcept {
    if (width_ == sizeof(int32_t)) return common::load<int32_t>(raw_ + i * sizeof(int32_t));
    return common::load<int64_t>(raw_ + i * sizeof(int64_t));
  }

  // Element `i` of the elements laid back to back in `data`.
  [[nodiscard]] std::string_view element(const uint8_t* data, uint64_t i) const noexcept {
    const int64_t begin = (*this)[i];
    return {reinterpret_cast<const char*>(data) + begin, static_cast<size_t>((*this)[i + 1] - begin)};
  }

  [[nodiscard]] const uint8_t* raw() const noexcept { return raw_; }
  [[nodiscard]] size_t width() const noexcept { return width_; }

  // Whether the first `count + 1` offsets start at 0, never fall and stay
  // within `data_size` bytes: then every element can be read.
  [[nodiscard]] bool well_formed(uint64_t count, size_t data_size) const noexcept {
    int64_t previous = 0;
    for (uint64_t i = 0; i <= count; ++i) {
      const int64_t offset = (*this)[i];
      if (offset < previous || static_cast<uint64_t>(offset) > data_size || (i == 0 && offset != 0)) return false;
      previous = offset;
    }
    return true;
  }

 private:
  const uint8_t* raw_ = nullptr;
  size_t width_ = sizeof(int64_t);
};

}  // namespace qarn
