#include "common/byte_buffer.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

namespace common {

namespace {

// Below this an output is not worth a reservation of its own.
constexpr size_t kLargeOutput = size_t{4} << 20;

}  // namespace

void ByteBuffer::grow_for(size_t extra) {
  if (extra > SIZE_MAX - size_) throw std::bad_alloc();
  const size_t needed = size_ + extra;
  // Doubling keeps appends amortised O(1); realloc of large blocks remaps
  // pages, so the growth itself never holds two full copies.
  size_t target = capacity_ < 64 ? 64 : capacity_;
  while (target < needed) {
    target = target > SIZE_MAX / 2 ? needed : target * 2;
  }
  grow_to(target);
}

void ByteBuffer::grow_to(size_t new_capacity) {
  if (storage_ != nullptr) {
    data_ = storage_->resize(data_, new_capacity);
  } else {
    void* grown = std::realloc(data_, new_capacity);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(grown);
  }
  capacity_ = new_capacity;
}

void ByteBuffer::reserve_output(size_t n) noexcept {
  // A block of its own storage would lose what is written; realloc keeps it.
  if ((size_ != 0 && storage_ != nullptr) || n < kLargeOutput || n <= capacity_) return;
  uint8_t* block;
  if (storage_ != nullptr) {
    block = storage_->replace_empty(data_, n);
    data_ = nullptr;
    capacity_ = 0;
  } else {
    block = static_cast<uint8_t*>(std::realloc(data_, n));  // keeps `data_` when it fails
  }
  if (block == nullptr) return;
  // No transparent huge pages are asked for: where the kernel compacts
  // memory to find them (its default for blocks that ask), a conversion
  // that follows a few idle seconds stalled for up to five times its own
  // length, and where pages are at hand they gained nothing measurable.
  data_ = block;
  capacity_ = n;
}

void ByteBuffer::prefault(size_t n) {
  if (n > capacity_ - size_) grow_for(n);
#ifdef MADV_POPULATE_WRITE
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data_ + size_) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(data_ + size_ + n);
  // Best effort: an older kernel refuses, and the pages then fault as usual.
  (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#endif
}

void ByteBuffer::release_storage() noexcept {
  if (storage_ != nullptr) {
    if (data_ != nullptr) storage_->release(data_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
}

}  // namespace common
