#include "convert/mapped_input.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace convert {

namespace {

size_t page_bytes() noexcept {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<size_t>(size) : size_t{4096};
}

}  // namespace

std::optional<MappedInput> MappedInput::map(int descriptor, uint64_t offset, size_t release_step) noexcept {
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  const auto file_bytes = static_cast<uint64_t>(status.st_size);
  if (file_bytes <= offset) return std::nullopt;
  const uint64_t first_page = offset / page_bytes() * page_bytes();
  const uint64_t mapped_bytes = file_bytes - first_page;
  if (mapped_bytes > SIZE_MAX) return std::nullopt;
  void* mapping = mmap(nullptr, static_cast<size_t>(mapped_bytes), PROT_READ, MAP_SHARED, descriptor,
                       static_cast<off_t>(first_page));
  if (mapping == MAP_FAILED) return std::nullopt;
  return MappedInput(mapping, static_cast<size_t>(mapped_bytes), static_cast<size_t>(offset - first_page),
                     release_step);
}

MappedInput::MappedInput(void* mapping, size_t mapped_bytes, size_t skip, size_t release_step) noexcept
    : mapping_(mapping), mapped_bytes_(mapped_bytes), begin_(static_cast<const uint8_t*>(mapping) + skip),
      size_(mapped_bytes - skip), release_step_(release_step), released_(0) {}

MappedInput::MappedInput(MappedInput&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)), mapped_bytes_(other.mapped_bytes_), begin_(other.begin_),
      size_(other.size_), release_step_(other.release_step_), released_(other.released_) {}

MappedInput::~MappedInput() {
  if (mapping_ != nullptr) munmap(mapping_, mapped_bytes_);
}

void MappedInput::release_before(size_t position) noexcept {
  const size_t in_mapping = static_cast<size_t>(begin_ - static_cast<const uint8_t*>(mapping_)) + position;
  if (in_mapping < released_ + release_step_) return;
  const size_t end = in_mapping / page_bytes() * page_bytes();
  // Only the process's view of the pages goes: the file and the page
  // cache keep them, and a page read again is mapped again from there.
  (void)madvise(static_cast<uint8_t*>(mapping_) + released_, end - released_, MADV_DONTNEED);
  released_ = end;
}

}  // namespace convert
