// Reading with the columns spread over threads gives exactly what one thread
// gives: the same values, flags and properties (scripts/tsan runs it under
// ThreadSanitizer).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "convert/driver.hpp"
#include "qarn/table_reader.hpp"

using namespace qarn;

namespace {

std::vector<uint8_t> converted(const std::string& csv, uint64_t chunk_size) {
  common::ByteBuffer out;
  const auto failure = convert::convert_csv_to_qarn(
      std::span(reinterpret_cast<const uint8_t*>(csv.data()), csv.size()), chunk_size, 1000, out);
  EXPECT_FALSE(failure.has_value());
  return {out.data(), out.data() + out.size()};
}

// Every kind of column, with empty and invalid cells here and there, over
// many slices.
std::string mixed_csv(int rows) {
  std::string csv = "n,s,b,d,same,text\n";
  for (int i = 0; i < rows; ++i) {
    csv += (i % 7 == 0 ? "" : i > 1500 && i % 997 == 5 ? "oops" : std::to_string(i)) + ",";
    csv += (i % 5 == 0 ? "" : "name" + std::to_string(i * 31 % 97) + (i % 3 == 0 ? "\xc3\xa9" : "")) + ",";
    csv += std::string(i % 2 ? "true" : "false") + "," + std::to_string(i * 0.25) + ",same,";
    csv += "\"a longer text, number " + std::to_string(i) + "\"\n";
  }
  return csv;
}

void expect_same(const DecodedTable& spread, const DecodedTable& one) {
  EXPECT_EQ(spread.slices.slice_rows, one.slices.slice_rows);
  EXPECT_EQ(spread.slices.slice_has_invalid, one.slices.slice_has_invalid);
  ASSERT_EQ(spread.slices.columns.size(), one.slices.columns.size());
  for (size_t c = 0; c < one.slices.columns.size(); ++c) {
    const auto& a = spread.slices.columns[c];
    const auto& b = one.slices.columns[c];
    ASSERT_EQ(a.has_value(), b.has_value()) << c;
    if (!b) continue;
    EXPECT_EQ(a->values.fixed().view(), b->values.fixed().view()) << c;
    EXPECT_EQ(a->values.offsets().view(), b->values.offsets().view()) << c;
    EXPECT_EQ(a->values.data().view(), b->values.data().view()) << c;
    EXPECT_EQ(a->invalid.flags().view(), b->invalid.flags().view()) << c;
  }
  ASSERT_EQ(spread.slices.slice_properties.size(), one.slices.slice_properties.size());
  for (const auto& [key, properties] : one.slices.slice_properties) {
    const auto& other = spread.slices.slice_properties.at(key);
    ASSERT_EQ(other.size(), properties.size());
    for (size_t i = 0; i < properties.size(); ++i) {
      EXPECT_EQ(other[i].name, properties[i].name);
      EXPECT_EQ(other[i].values.fixed().view(), properties[i].values.fixed().view());
    }
  }
}

TEST(SpreadRead, GivesTheTableOneThreadGives) {
  const std::vector<uint8_t> file = converted(mixed_csv(4000), 700);
  const std::vector<std::vector<uint8_t>> selections = {{}, {1, 0, 1, 1, 0, 1}, {0, 1, 0, 0, 0, 0}};
  for (const std::vector<uint8_t>& selected : selections) {
    DecodedTable one;
    ASSERT_FALSE(read_table(file, selected, one).has_value());
    ASSERT_NE(std::count(one.slices.slice_has_invalid.begin(), one.slices.slice_has_invalid.end(), 1), 0);
    for (unsigned threads : {2u, 3u, 8u}) {
      SCOPED_TRACE(threads);
      DecodedTable spread;
      ASSERT_FALSE(read_table(file, selected, spread, nullptr, ReadThreads{threads, 0}).has_value());
      expect_same(spread, one);
    }
  }
}

}  // namespace
