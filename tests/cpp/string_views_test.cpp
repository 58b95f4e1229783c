// String views must be laid out exactly as Arrow defines them, since polars
// takes them without a check: length, then the element zero padded to 12
// bytes, or its first 4 bytes, buffer 0 and its start.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "qarn/string_views.hpp"

using namespace qarn;

namespace {

using View = std::array<uint8_t, kStringViewBytes>;

View expected_view(const std::string& data, uint32_t begin, uint32_t length) {
  View view{};
  std::memcpy(view.data(), &length, 4);
  if (length <= 12) {
    std::memcpy(view.data() + 4, data.data() + begin, length);
  } else {
    std::memcpy(view.data() + 4, data.data() + begin, 4);
    std::memcpy(view.data() + 12, &begin, 4);
  }
  return view;
}

template <class Offset>
std::vector<View> laid_out(const std::vector<int32_t>& offsets, const std::string& data, uint64_t first,
                           uint64_t end, bool& sound) {
  std::vector<View> views(offsets.size() - 1, View{});
  const std::vector<Offset> wide(offsets.begin(), offsets.end());
  const OffsetsView view(reinterpret_cast<const uint8_t*>(wide.data()), sizeof(Offset));
  const auto* bytes = data.empty() ? nullptr : reinterpret_cast<const uint8_t*>(data.data());
  sound = write_string_views(view, {bytes, data.size()}, first, end, views[first].data());
  return views;
}

}  // namespace

template <class Offset>
class StringViews : public testing::Test {};
using OffsetTypes = testing::Types<int32_t, int64_t>;
TYPED_TEST_SUITE(StringViews, OffsetTypes);

// Every length from 0 to 20, each element also last in the data, where
// fewer than 12 bytes follow its start.
TYPED_TEST(StringViews, EveryLengthAnywhereInTheData) {
  for (uint32_t last = 0; last <= 20; ++last) {
    std::string data;
    std::vector<int32_t> offsets{0};
    for (uint32_t length = 0; length <= 20; ++length) {
      for (uint32_t k = 0; k < length; ++k) data += static_cast<char>('a' + (length + k) % 26);
      offsets.push_back(static_cast<int32_t>(data.size()));
    }
    data += std::string(last, 'z');
    offsets.push_back(static_cast<int32_t>(data.size()));
    bool sound = false;
    const auto views = laid_out<TypeParam>(offsets, data, 0, offsets.size() - 1, sound);
    ASSERT_TRUE(sound);
    for (size_t i = 0; i < views.size(); ++i) {
      const auto begin = static_cast<uint32_t>(offsets[i]);
      EXPECT_EQ(views[i], expected_view(data, begin, static_cast<uint32_t>(offsets[i + 1]) - begin))
          << "element " << i << " before " << last << " final bytes";
    }
  }
}

TYPED_TEST(StringViews, NoDataAtAll) {
  bool sound = false;
  const auto views = laid_out<TypeParam>({0, 0, 0}, "", 0, 2, sound);
  EXPECT_TRUE(sound);
  EXPECT_EQ(views[1], View{});
}

TYPED_TEST(StringViews, OnlyTheRowsAskedForAndOffsetsOutOfOrder) {
  const std::string data = "abcdefghijklmnopqrstuvwxyz";
  bool sound = false;
  auto views = laid_out<TypeParam>({0, 3, 20, 26}, data, 1, 2, sound);
  EXPECT_TRUE(sound);
  EXPECT_EQ(views[0], View{});
  EXPECT_EQ(views[1], expected_view(data, 3, 17));
  EXPECT_EQ(views[2], View{});

  // An element whose offsets are unsound is left empty; the rest are laid out.
  struct Case {
    std::vector<int32_t> offsets;
    std::vector<size_t> unsound;
  };
  for (const Case& c : {Case{{0, 5, 3, 26}, {1}}, Case{{0, 5, 27, 26}, {1, 2}}, Case{{-1, 5, 6, 26}, {0}}}) {
    views = laid_out<TypeParam>(c.offsets, data, 0, 3, sound);
    EXPECT_FALSE(sound);
    for (size_t i = 0; i < 3; ++i) {
      const auto begin = static_cast<uint32_t>(c.offsets[i]);
      const bool left_empty = std::find(c.unsound.begin(), c.unsound.end(), i) != c.unsound.end();
      const View want =
          left_empty ? View{} : expected_view(data, begin, static_cast<uint32_t>(c.offsets[i + 1]) - begin);
      EXPECT_EQ(views[i], want) << "element " << i;
    }
  }
}
