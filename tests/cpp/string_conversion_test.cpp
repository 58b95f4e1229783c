// Fields of a `string` column become its elements byte for byte, and only
// the empty ones are flagged, wherever a batch starts among the flags and
// whatever the lengths (short ones copied wide, long ones and lengths that
// take two bytes to pack).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/bits.hpp"
#include "csv_input/row_batch.hpp"
#include "fields/column_conversion.hpp"
#include "test_rounds.hpp"

namespace {

// Fields laid out in one buffer as the reader lays them out: each may be
// read for csv::kFieldPadding bytes from its start.
struct PaddedFields {
  explicit PaddedFields(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
      starts.push_back(buffer.size());
      buffer += text;
      buffer += ',';
    }
    buffer.append(csv::kFieldPadding, '#');
    for (size_t i = 0; i < texts.size(); ++i) views.emplace_back(buffer.data() + starts[i], texts[i].size());
  }
  std::string buffer;
  std::vector<size_t> starts;
  std::vector<std::string_view> views;
};

}  // namespace

TEST(StringConversion, EveryFieldKeptAndOnlyTheEmptyFlagged) {
  std::mt19937 random(21);
  for (int round = 0; round < test_rounds(300); ++round) {
    qarn::ValueObject values(qarn::TypeId::String, qarn::Shape::Array);
    qarn::BitArray invalid;
    std::vector<std::string> all;
    // Batches one after another into one column, so that each starts at
    // another place among the flags.
    for (int batch = 0; batch < 3; ++batch) {
      std::vector<std::string> texts(random() % 40);
      for (std::string& text : texts) {
        const unsigned kind = random() % 4;
        const size_t length = kind == 0 ? 0 : kind == 1 ? random() % 33 : kind == 2 ? random() % 70 : random() % 300;
        for (size_t k = 0; k < length; ++k) text += static_cast<char>('a' + random() % 26);
      }
      const PaddedFields fields(texts);
      fields::MisfitRows misfits;
      const bool any = fields::convert_column(fields.views.data(), texts.size(), fields::ColumnType::String, values,
                                              invalid, misfits);
      bool expected_any = false;
      for (const std::string& text : texts) expected_any |= text.empty();
      ASSERT_EQ(any, expected_any);
      ASSERT_TRUE(misfits.empty());
      all.insert(all.end(), texts.begin(), texts.end());
    }
    ASSERT_EQ(invalid.bit_count, all.size());
    ASSERT_EQ(values.size(), all.size());
    std::vector<std::string> elements;
    size_t longest = 0;
    values.var().for_each([&](std::span<const uint8_t> element) {
      elements.emplace_back(element.begin(), element.end());
    });
    for (size_t i = 0; i < all.size(); ++i) {
      EXPECT_EQ(elements.at(i), all[i]) << i;
      EXPECT_EQ(common::flag_set(invalid.bytes.data(), i), all[i].empty()) << i;
      longest = std::max(longest, all[i].size());
    }
    EXPECT_EQ(values.var().longest(), longest);
  }
}
