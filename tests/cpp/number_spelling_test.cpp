// A column of numbers with a decimal comma and grouped digits rewritten
// into the plain spelling (the spellings themselves are checked end to end
// against the Python reference).
#include "fields/number_spelling.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fields/grammar.hpp"

namespace {

TEST(RespeltFields, KeepsEmptyFieldsAndSpoilsNonNumbers) {
  const std::vector<std::string> texts = {"1.000,5", "", "1,5", "1.5", "x"};
  std::vector<std::string_view> column(texts.begin(), texts.end());
  fields::RespeltFields respelt;
  const std::string_view* out = respelt.respell(column.data(), column.size(), {',', '.', {}});
  EXPECT_EQ(out[0], "1000.5");
  EXPECT_TRUE(out[1].empty());
  EXPECT_EQ(out[2], "1.5");
  EXPECT_FALSE(out[3].empty());
  EXPECT_FALSE(fields::parse_double(out[3]).has_value());
  EXPECT_EQ(out[4], "x");
}

}  // namespace
