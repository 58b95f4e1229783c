// Reading a value of a trivially copyable type from bytes that may not be
// aligned for it, and copying short runs of bytes.
#pragma once

#include <cstddef>
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

// A run of bytes no longer than this is copied as one block of this size,
// where that many bytes may be read and written: one or two vector moves,
// where a copy of the exact length is a call of memcpy.
inline constexpr size_t kWideCopy = 32;

// Copies `length` bytes: as one block of `Block` bytes when it is no
// longer and `wide_ok` says that so many may be read at `src`.
template <size_t Block = kWideCopy>
inline void copy_short_wide(void* dst, const void* src, size_t length, bool wide_ok) noexcept {
  if (length <= Block && wide_ok) {
    std::memcpy(dst, src, Block);
  } else if (length != 0) {
    std::memcpy(dst, src, length);
  }
}

}  // namespace common
