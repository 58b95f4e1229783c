// Flags copied eight at a time must land where copying them one by one
// would put them, at every alignment of source and target.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/bits.hpp"

namespace {

std::vector<uint8_t> one_by_one(const std::vector<uint8_t>& source, size_t begin, size_t end, size_t target_bytes,
                                uint64_t first) {
  std::vector<uint8_t> target(target_bytes, 0);
  for (size_t bit = begin; bit < end; ++bit) {
    const uint64_t to = first + (bit - begin);
    if (common::flag_set(source.data(), bit)) target[to >> 3] |= static_cast<uint8_t>(0x80u >> (to & 7));
  }
  return target;
}

TEST(Bits, CopiedAtEveryAlignmentAndCounted) {
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> source(1 + random() % 12);
    // Mostly clear bytes, as flags of invalid cells are.
    for (uint8_t& byte : source) byte = random() % 3 == 0 ? static_cast<uint8_t>(random()) : 0;
    const size_t bits = source.size() * 8;
    const size_t begin = random() % bits;
    const size_t end = begin + random() % (bits - begin + 1);
    const uint64_t first = random() % 16;
    const size_t target_bytes = (first + (end - begin) + 7) / 8;
    const std::vector<uint8_t> expected = one_by_one(source, begin, end, target_bytes, first);
    std::vector<uint8_t> target(target_bytes, 0);
    const bool any = common::copy_set_bits(source.data(), begin, end, target.data(), first);
    ASSERT_EQ(target, expected) << "bits " << begin << ".." << end << " to " << first;
    const uint64_t set = common::count_set_bits(expected.data(), expected.size());
    ASSERT_EQ(any, set != 0);
    uint64_t counted = 0;
    for (size_t bit = begin; bit < end; ++bit) counted += common::flag_set(source.data(), bit);
    ASSERT_EQ(set, counted);
  }
}

}  // namespace
