// Large blocks that decoded columns gave up, kept for the next columns of
// about their size. A fresh block's pages are each faulted in and zeroed by
// the kernel, which for a table read several times (or many tables of one
// shape) costs about as much as decoding it; a kept block is written
// straight away. Kept blocks are offered back to the kernel (MADV_FREE): it
// takes their pages when memory runs short, and then they fault in again
// as fresh ones, so keeping them costs no memory that anything else needs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace common::block_cache {

// Blocks smaller than this are not kept.
inline constexpr size_t kSmallest = size_t{1} << 20;
// Bytes kept at most, all blocks together.
inline constexpr size_t kMostKept = size_t{1} << 30;

// A kept block of at least `size` bytes and not much more, taken out of the
// cache with its capacity in `capacity`; null when there is none.
[[nodiscard]] uint8_t* take(size_t size, size_t& capacity) noexcept;

// Keeps `data`, a block from malloc of `capacity` bytes, or frees it (too
// small, or the cache full even without its oldest blocks).
void give(uint8_t* data, size_t capacity) noexcept;

// Frees every kept block.
void clear() noexcept;

}  // namespace common::block_cache
