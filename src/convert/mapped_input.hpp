// A regular file's bytes mapped read-only, for a streamed conversion that
// reads them in place rather than copying them a window at a time. The
// pages the conversion has read past are dropped from the process as it
// goes, so that its resident memory stays bounded however large the file;
// dropping them is always safe, since a page touched again is read back
// from the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace convert {

class MappedInput {
 public:
  // Pages are dropped this much at a time by default: a system call per
  // batch would cost more than the pages are worth, and this is a small
  // part of the memory a conversion takes.
  static constexpr size_t kReleaseStep = size_t{16} << 20;

  // The file behind `descriptor` from byte `offset` to its end; none when
  // it cannot be mapped (not a regular file, empty from there, or the
  // address space is short), for the caller to read it instead. Pages are
  // dropped `release_step` bytes or more at a time.
  static std::optional<MappedInput> map(int descriptor, uint64_t offset,
                                        size_t release_step = kReleaseStep) noexcept;

  MappedInput(MappedInput&& other) noexcept;
  MappedInput& operator=(MappedInput&&) = delete;
  MappedInput(const MappedInput&) = delete;
  ~MappedInput();

  [[nodiscard]] std::span<const uint8_t> bytes() const noexcept { return {begin_, size_}; }

  // The conversion has read everything before `position` (in bytes()):
  // the whole pages before it go, a large step at a time.
  void release_before(size_t position) noexcept;

 private:
  MappedInput(void* mapping, size_t mapped_bytes, size_t skip, size_t release_step) noexcept;

  void* mapping_;
  size_t mapped_bytes_;
  const uint8_t* begin_;  // the offset asked for, within the first page
  size_t size_;
  size_t release_step_;
  size_t released_;  // bytes of the mapping dropped so far, from its start
};

}  // namespace convert
