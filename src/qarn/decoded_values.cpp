#include "qarn/decoded_values.hpp"

#include <algorithm>

namespace qarn {

void ValueColumn::append_repeated(const ValueColumn& other, uint64_t i, uint64_t times) {
  const size_t width = fixed_width(type_);
  const uint8_t* value = other.fixed_.data() + i * width;
  uint8_t* dst = fixed_.extend(static_cast<size_t>(times) * width);
  for (uint64_t k = 0; k < times; ++k) std::memcpy(dst + k * width, value, width);
}

void InvalidFlags::append(uint64_t first_row, const uint8_t* flags, uint64_t rows) {
  if (rows == 0) return;
  pad_to(first_row);
  flags_.append(flags, static_cast<size_t>(rows));
  if (!any_) any_ = std::any_of(flags, flags + rows, [](uint8_t flag) { return flag != 0; });
}

}  // namespace qarn
