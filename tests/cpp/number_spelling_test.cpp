// Numbers with a decimal comma or grouped digits, rewritten into the plain
// spelling: what is kept, what is no number, and a column of them.
#include "fields/number_spelling.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fields/grammar.hpp"

namespace {

using fields::NumberSpelling;

std::optional<std::string> respelt(const std::string& text, NumberSpelling spelling) {
  std::string out(text.size(), '\0');
  const size_t length = fields::respell_number(text, spelling, out.data());
  if (length > text.size()) return std::nullopt;
  out.resize(length);
  return out;
}

TEST(RespellNumber, GroupsAndMarks) {
  const NumberSpelling comma{',', 0}, grouped{'.', ','}, european{',', '.'}, spaced{',', ' '}, swiss{'.', '\''};
  struct Case {
    const char* text;
    NumberSpelling spelling;
    std::optional<std::string> plain;  // nullopt: no number in this spelling
  };
  const Case cases[] = {
      {"1,5", comma, "1.5"},
      {",5", comma, ".5"},
      {"5,", comma, "5."},
      {"-1,5e3", comma, "-1.5e3"},
      {"1.5", comma, std::nullopt},
      {"inf", comma, "inf"},
      {"-NaN", comma, "-NaN"},
      {"abc", comma, "abc"},  // left to the grammar to refuse
      {"2,639,808", grouped, "2639808"},
      {"-1,000", grouped, "-1000"},
      {"+1,000.5", grouped, "+1000.5"},
      {"1,000e3", grouped, "1000e3"},
      {"0,001", grouped, "0001"},
      {"2639808", grouped, "2639808"},
      {"123,456", grouped, "123456"},
      {"1,00", grouped, std::nullopt},
      {"1,0000", grouped, std::nullopt},
      {",100", grouped, std::nullopt},
      {"-,100", grouped, std::nullopt},
      {"1,,000", grouped, std::nullopt},
      {"1000,000", grouped, std::nullopt},
      {"1,000,", grouped, std::nullopt},
      {"1.000,5", grouped, std::nullopt},
      {"1e1,000", grouped, std::nullopt},
      {"1.000,25", european, "1000.25"},
      {"1.5", european, std::nullopt},
      {"1.500", european, "1500"},
      {"12 345,6", spaced, "12345.6"},
      {"12  345", spaced, std::nullopt},
      {" 1", spaced, std::nullopt},
      {"1'000'000.25", swiss, "1000000.25"},
  };
  for (const Case& c : cases) EXPECT_EQ(respelt(c.text, c.spelling), c.plain) << c.text;
}

TEST(RespeltFields, KeepsEmptyFieldsAndSpoilsNonNumbers) {
  const std::vector<std::string> texts = {"1.000,5", "", "1,5", "1.5", "x"};
  std::vector<std::string_view> column(texts.begin(), texts.end());
  fields::RespeltFields respelt;
  const std::string_view* out = respelt.respell(column.data(), column.size(), {',', '.'});
  EXPECT_EQ(out[0], "1000.5");
  EXPECT_TRUE(out[1].empty());
  EXPECT_EQ(out[2], "1.5");
  EXPECT_FALSE(out[3].empty());
  EXPECT_FALSE(fields::parse_double(out[3]).has_value());
  EXPECT_EQ(out[4], "x");
}

}  // namespace
