#include "qarn/decoded_values.hpp"

#include <algorithm>

namespace qarn {

bool ValueColumn::append_repeated(const ValueColumn& other, uint64_t i, uint64_t times) {
  if (!is_variable_width(type_)) {
    const size_t width = fixed_width(type_);
    const uint8_t* value = other.fixed_.data() + i * width;
    uint8_t* dst = fixed_.extend(static_cast<size_t>(times) * width);
    for (uint64_t k = 0; k < times; ++k) std::memcpy(dst + k * width, value, width);
    return true;
  }
  const std::string_view element = other.element(i);
  if (!viewed_) {
    for (uint64_t k = 0; k < times; ++k) {
      data_.append(element);
      append_end(static_cast<int64_t>(data_.size()));
    }
    return true;
  }
  // The data holds the element once per view, each view pointing at its
  // own copy, so that the offsets that follow from the views describe it.
  if (times != 0 && (element.size() > kMaxViewData / times || element.size() * times > kMaxViewData - data_.size())) {
    return false;
  }
  const auto offset = static_cast<uint32_t>(data_.size());
  for (uint64_t k = 0; k < times; ++k) data_.append(element);
  uint8_t head[kInlineSize] = {};
  std::memcpy(head, element.data(), element.size() < kInlineSize ? element.size() : kInlineSize);
  uint8_t* views = views_.extend(static_cast<size_t>(times) * kViewSize);
  const auto length = static_cast<uint32_t>(element.size());
  for (uint64_t k = 0; k < times; ++k) {
    write_view(views + k * kViewSize, head, length, offset + static_cast<uint32_t>(k) * length);
  }
  return true;
}

void InvalidFlags::append(uint64_t first_row, const uint8_t* flags, uint64_t rows) {
  if (rows == 0) return;
  pad_to(first_row);
  flags_.append(flags, static_cast<size_t>(rows));
  if (!any_) any_ = std::any_of(flags, flags + rows, [](uint8_t flag) { return flag != 0; });
}

}  // namespace qarn
