// A growable byte buffer that owns one malloc'd block.
//
// Unlike std::vector<uint8_t> it never zero-fills on growth, and it grows with
// realloc so that a large block is moved by remapping pages rather than by
// holding two full copies at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace common {

// Where a ByteBuffer's block comes from when not from malloc: the module
// entry grows the result `bytes` object itself, so that the finished output
// is handed to Python without a copy.
class BufferStorage {
 public:
  // Resizes the block to `capacity` bytes, keeping its contents, and returns
  // it; `data` is null the first time. Throws std::bad_alloc.
  virtual uint8_t* resize(uint8_t* data, size_t capacity) = 0;
  // For a buffer that holds nothing: a block of `capacity` bytes in place of
  // `data` (null the first time), or null, without throwing, when memory
  // runs out; `data` is released either way.
  virtual uint8_t* replace_empty(uint8_t* data, size_t capacity) noexcept = 0;
  virtual void release(uint8_t* data) noexcept = 0;

 protected:
  ~BufferStorage() = default;
};

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  explicit ByteBuffer(BufferStorage& storage) noexcept : storage_(&storage) {}
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept { take(other); }
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      release_storage();
      take(other);
    }
    return *this;
  }
  ~ByteBuffer() { release_storage(); }

  [[nodiscard]] uint8_t* data() noexcept { return data_; }
  [[nodiscard]] const uint8_t* data() const noexcept { return data_; }
  [[nodiscard]] size_t size() const noexcept { return size_; }
  [[nodiscard]] size_t capacity() const noexcept { return capacity_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] BufferStorage* storage() const noexcept { return storage_; }
  [[nodiscard]] std::span<const uint8_t> bytes() const noexcept { return {data_, size_}; }
  [[nodiscard]] std::string_view view() const noexcept {
    return {reinterpret_cast<const char*>(data_), size_};
  }

  // Makes room for at least `n` bytes in total; throws std::bad_alloc.
  void reserve(size_t n) {
    if (n > capacity_) grow_to(n);
  }

  // Grows the size by `n` bytes left uninitialised and returns where they start.
  uint8_t* extend(size_t n) {
    if (n > capacity_ - size_) grow_for(n);
    uint8_t* start = data_ + size_;
    size_ += n;
    return start;
  }

  // Room for at least `n` more bytes after the end, without changing the
  // size: write there, then commit() what was written.
  uint8_t* spare(size_t n) {
    if (n > capacity_ - size_) grow_for(n);
    return data_ + size_;
  }
  void commit(size_t n) noexcept { size_ += n; }

  // Takes one block for about `n` bytes in all while the buffer is still
  // empty (or, without a storage of its own, holds little), when that is
  // large: growing a large block later moves it. Best effort: when memory
  // or address space is short the buffer stays empty and grows as usual.
  void reserve_output(size_t n) noexcept;

  // Makes room for `n` more bytes and maps their pages now, in one system
  // call, rather than taking a page fault for every 4 KiB as they are
  // written: about a third cheaper for a large output.
  void prefault(size_t n);

  void append(const void* src, size_t n) {
    if (n == 0) return;
    std::memcpy(extend(n), src, n);
  }
  void append(std::span<const uint8_t> src) { append(src.data(), src.size()); }
  void append(std::string_view src) { append(src.data(), src.size()); }

  void push_back(uint8_t byte) {
    if (size_ == capacity_) grow_for(1);
    data_[size_++] = byte;
  }

  // Appends `n` bytes of value `byte`.
  void fill(size_t n, uint8_t byte) {
    if (n == 0) return;
    std::memset(extend(n), byte, n);
  }

  // Drops everything after the first `n` bytes; keeps the capacity.
  void truncate(size_t n) noexcept {
    if (n < size_) size_ = n;
  }
  void clear() noexcept { size_ = 0; }

  // Gives up the block without releasing it: its storage now owns it.
  void detach() noexcept {
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  void grow_for(size_t extra);
  void grow_to(size_t new_capacity);
  void release_storage() noexcept;
  void take(ByteBuffer& other) noexcept {
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    storage_ = other.storage_;
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  BufferStorage* storage_ = nullptr;  // null: malloc and realloc
};

}  // namespace common
