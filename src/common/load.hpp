// Reading a value of a trivially copyable type from bytes that may not be
// aligned for it.
#pragma once

#include <cstring>
#include <type_traits>

namespace common {

template <class T, class Byte>
T load(const Byte* p) noexcept {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(Byte) == 1);
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace common
