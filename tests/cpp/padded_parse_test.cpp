// The fast integer path must give the plain grammar's answers on every text.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "padded_parse.hpp"

namespace {

// The text at the start of a buffer that may be read past its end, as row
// batches guarantee, with junk after it.
struct Padded {
  explicit Padded(const std::string& text) : bytes(text.begin(), text.end()) {
    bytes.resize(text.size() + csv::kFieldPadding, ',');
  }
  std::string_view view(size_t size) const { return {bytes.data(), size}; }
  std::vector<char> bytes;
};

template <class Int>
void expect_same(const std::string& text) {
  const Padded padded(text);
  Int fast = 0;
  const bool ok = pipeline::padded::parse_integer<Int>(padded.view(text.size()), fast);
  const auto plain = pipeline::grammar_detail::parse_integer<Int>(text);
  ASSERT_EQ(ok, plain.has_value()) << text;
  if (ok) {
    ASSERT_EQ(fast, *plain) << text;
  }
}

}  // namespace

TEST(PaddedParse, BooleansAgreeWithTheGrammar) {
  const std::vector<std::string> cases = {"true", "TRUE", "tRuE", "false", "FALSE", "fAlSe", "", "t", "tru", "truee",
                                          "fals", "falsee", " true", "true ", "\xc2\xa0" "false", "TRUE\t", "4rue",
                                          "tr\x00""e", "yes", "1", "0", "\x54RUE", "\xd4rue", "trUE\xe3\x80\x80"};
  for (const std::string& text : cases) {
    const Padded padded(text);
    uint8_t fast = 2;
    const bool ok = pipeline::padded::parse_bool(padded.view(text.size()), fast);
    const auto plain = pipeline::parse_bool(text);
    ASSERT_EQ(ok, plain.has_value()) << text;
    ASSERT_EQ(fast, plain.value_or(false) ? 1 : 0) << text;
  }
}

TEST(PaddedParse, IntegersAgreeWithTheGrammar) {
  const std::vector<std::string> cases = {
      "", "-", "+", "0", "-0", "+0", "7", "-7", "12345678", "123456789", "2147483647", "2147483648",
      "-2147483648", "-2147483649", "9223372036854775807", "9223372036854775808", "-9223372036854775808",
      "-9223372036854775809", "18446744073709551616", "00000000000000000000042", "0000000000000000",
      "1234567890123456", "12345678901234567", "99999999999999999999", "1 ", " 1", "1.0", "1e3", "--1",
      "+-1", "12a45", "1234567a", "12345678a", "a", "\xd9\xa1", "1,2",
  };
  for (const std::string& text : cases) {
    expect_same<int32_t>(text);
    expect_same<int64_t>(text);
  }
  std::mt19937_64 random(2024);
  const std::string alphabet = "0123456789000-+ .a";
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    if (random() % 2) {
      // A number near the edges of the ranges, with a sign and leading zeros.
      const int64_t value = static_cast<int64_t>(random()) >> (random() % 64);
      text = std::string(random() % 3 ? 0 : random() % 5, '0') + std::to_string(value < 0 ? -value : value);
      if (value < 0 || random() % 4 == 0) text.insert(0, 1, value < 0 ? '-' : '+');
    } else {
      const size_t length = random() % 24;
      for (size_t k = 0; k < length; ++k) text += alphabet[random() % alphabet.size()];
    }
    expect_same<int32_t>(text);
    expect_same<int64_t>(text);
  }
}
