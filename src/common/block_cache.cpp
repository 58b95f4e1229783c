#include "common/block_cache.hpp"

#include <cstdlib>
#include <deque>
#include <mutex>

#include <sys/mman.h>
#include <unistd.h>

namespace common::block_cache {

namespace {

struct Block {
  uint8_t* data;
  size_t capacity;
};

struct Cache {
  std::mutex mutex;
  std::deque<Block> blocks;  // oldest first
  size_t kept = 0;
};

// Never destroyed: columns may be released while the process exits.
Cache& cache() noexcept {
  static Cache* instance = new Cache;
  return *instance;
}

// The kernel may take the whole pages inside the block when it needs them.
void offer_pages(uint8_t* data, size_t capacity) noexcept {
#ifdef MADV_FREE
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(data + capacity) & ~(page - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_FREE);
#else
  (void)data;
  (void)capacity;
#endif
}

}  // namespace

uint8_t* take(size_t size, size_t& capacity) noexcept {
  if (size < kSmallest) return nullptr;
  Cache& c = cache();
  std::lock_guard lock(c.mutex);
  // The smallest that fits, unless it is more than twice the size: a large
  // block would be wasted on a small column.
  auto best = c.blocks.end();
  for (auto it = c.blocks.begin(); it != c.blocks.end(); ++it) {
    if (it->capacity >= size && it->capacity / 2 <= size &&
        (best == c.blocks.end() || it->capacity < best->capacity)) {
      best = it;
    }
  }
  if (best == c.blocks.end()) return nullptr;
  uint8_t* data = best->data;
  capacity = best->capacity;
  c.kept -= capacity;
  c.blocks.erase(best);
  return data;
}

void give(uint8_t* data, size_t capacity) noexcept {
  if (data == nullptr) return;
  if (capacity < kSmallest || capacity > kMostKept) {
    std::free(data);
    return;
  }
  offer_pages(data, capacity);
  Cache& c = cache();
  std::deque<Block> evicted;
  {
    std::lock_guard lock(c.mutex);
    while (c.kept + capacity > kMostKept && !c.blocks.empty()) {
      evicted.push_back(c.blocks.front());
      c.kept -= c.blocks.front().capacity;
      c.blocks.pop_front();
    }
    try {
      c.blocks.push_back({data, capacity});
      c.kept += capacity;
      data = nullptr;
    } catch (...) {  // no room to note it: freed below
    }
  }
  for (const Block& block : evicted) std::free(block.data);
  std::free(data);
}

void clear() noexcept {
  Cache& c = cache();
  std::deque<Block> all;
  {
    std::lock_guard lock(c.mutex);
    all.swap(c.blocks);
    c.kept = 0;
  }
  for (const Block& block : all) std::free(block.data);
}

}  // namespace common::block_cache
