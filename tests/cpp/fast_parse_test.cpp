// The fast paths must give the plain grammar's answers on every text.
#include <gtest/gtest.h>

#include "test_rounds.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/cpu.hpp"
#include "fields/fast_parse.hpp"
#include "fields/fast_parse_avx512.hpp"

namespace {

// The text at the start of a heap block of exactly the size row batches
// guarantee to be readable (the text, and at least csv::kFieldPadding bytes
// from its start), so that the address sanitizer catches a read beyond it.
// The bytes after the text are `junk`; digits there would change a value
// read too far.
struct Padded {
  explicit Padded(const std::string& text, char junk = ',')
      : size(std::max(text.size(), csv::kFieldPadding)), bytes(std::make_unique<char[]>(size)) {
    std::fill_n(bytes.get(), size, junk);
    std::copy(text.begin(), text.end(), bytes.get());
  }
  std::string_view view(size_t length) const { return {bytes.get(), length}; }
  size_t size;
  std::unique_ptr<char[]> bytes;
};

// Whatever the AVX-512 reader takes must be the plain parser's integer.
template <class Int>
QARN_TARGET_AVX512_COMPRESS void expect_quick_integer(const Padded& padded, const std::string& text,
                                                      const std::optional<Int>& plain) {
  Int quick = 0;
  if (fields::fast::quick_integer<Int>(padded.view(text.size()), quick)) {
    ASSERT_TRUE(plain.has_value()) << text;
    ASSERT_EQ(quick, *plain) << text;
  }
}

template <class Int>
void expect_same(const std::string& text) {
  const Padded padded(text);
  Int fast = 0;
  const bool ok = fields::fast::parse_integer<Int>(padded.view(text.size()), fast);
  const auto plain = fields::grammar_detail::parse_integer<Int>(text);
  ASSERT_EQ(ok, plain.has_value()) << text;
  if (ok) {
    ASSERT_EQ(fast, *plain) << text;
  }
  if (common::cpu_has_avx512_compress()) expect_quick_integer<Int>(padded, text, plain);
}

}  // namespace

TEST(PaddedParse, BooleansAgreeWithTheGrammar) {
  const std::vector<std::string> cases = {"true", "TRUE", "tRuE", "false", "FALSE", "fAlSe", "", "t", "tru", "truee",
                                          "fals", "falsee", " true", "true ", "\xc2\xa0" "false", "TRUE\t", "4rue",
                                          "tr\x00""e", "yes", "1", "0", "\x54RUE", "\xd4rue", "trUE\xe3\x80\x80"};
  for (const std::string& text : cases) {
    const Padded padded(text);
    uint8_t fast = 2;
    const bool ok = fields::fast::parse_bool(padded.view(text.size()), fast);
    const auto plain = fields::parse_bool(text);
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
  for (int i = 0; i < test_rounds(200000); ++i) {
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

namespace {

uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }

// The AVX-512 reader whole, and its quick path as the column loop uses it:
// whatever the quick path takes must be the plain parser's number.
QARN_TARGET_AVX512_COMPRESS void expect_same_avx512(const Padded& padded, const std::string& text, bool plain_ok,
                                                    double plain) {
  double whole = 4.5;
  const bool whole_ok = fields::fast::parse_double_avx512(padded.view(text.size()), whole);
  ASSERT_EQ(whole_ok, plain_ok) << text;
  if (plain_ok) {
    ASSERT_EQ(bits(whole), bits(plain)) << text;
  }
  fields::fast::DecimalDigits digits;
  double quick = 5.5;
  if (fields::fast::quick_digits(padded.view(text.size()), digits) &&
      fields::fast::exact_double_unbranched(digits, quick)) {
    ASSERT_TRUE(plain_ok) << text;
    ASSERT_EQ(bits(quick), bits(plain)) << text;
  }
}

// Every reader of doubles, each against the plain parser.
void expect_same_double(const std::string& text, char junk) {
  const Padded padded(text, junk);
  double plain = 2.5;
  const bool plain_ok = fields::grammar_detail::scan_double(text, plain);
  double loop = 1.5, masked = 3.5;
  const bool loop_ok = fields::fast::parse_double(padded.view(text.size()), loop);
  const bool masked_ok =
      fields::fast::parse_double<fields::fast::MaskedDigits>(padded.view(text.size()), masked);
  ASSERT_EQ(loop_ok, plain_ok) << text;
  ASSERT_EQ(masked_ok, plain_ok) << text;
  if (plain_ok) {
    ASSERT_EQ(bits(loop), bits(plain)) << text;
    ASSERT_EQ(bits(masked), bits(plain)) << text;
  }
  if (common::cpu_has_avx512_compress()) expect_same_avx512(padded, text, plain_ok, plain);
}

}  // namespace

// Every spelling the fast path takes, its edges (19 digits, four exponent
// digits, 2^53, 10^22) and the shapes it must hand on, each followed by
// bytes that would change the answer if the parser read past the field.
TEST(PaddedParse, DoublesAgreeWithTheGrammar) {
  const std::vector<std::string> cases = {
      "0", "-0", "+0", "5", "5.", ".5", "-.5", "+5.", "12.50", "-736.25", "99999.999", "0.00",
      "1e3", "1E+03", "2.5e-7", "1e-03", "2.5E+10", "-4967", "1.e5", ".5e1", "1e0022", "1e22",
      "1e23", "1e-22", "1e-23", "1e99999999999999999999", "-1e-123456789012345678901234567890",
      "9007199254740992", "9007199254740993", "9007199254740992e1",
      "1234567890123456789", "12345678901234567890", "0.1234567890123456", "-0.5123456789012345",
      "123456789.123456789", "1e9999", "1e-9999", "1e99999", "0e99999", "-0e-99999", "1e", "1e+",
      "e5", ".", "-", "+", "", ".e1", "1.2.3", "1e5.0", "1e+-5", "--1", "+-1", " 1", "1 ",
      "inf", "-Infinity", "nan", "NaN", "1,5", "0x10", "1_000", "1d3", "1e3x", "5.x",
      "4.9406564584124654e-324", "1.7976931348623157e308", "1.7976931348623159e308"};
  for (const std::string& text : cases) {
    for (const char junk : {',', '7', 'e', '.'}) expect_same_double(text, junk);
  }
}

// Random texts built from the pieces of numbers, most of them valid, with
// every mix of lengths on both sides of the point and in the exponent.
TEST(PaddedParse, RandomDoublesAgreeWithTheGrammar) {
  std::mt19937_64 random(77);
  const auto digits = [&random](size_t n) {
    std::string s;
    for (size_t k = 0; k < n; ++k) s += static_cast<char>('0' + random() % 10);
    return s;
  };
  const std::string junk_bytes = "0123456789.eE+- x";
  for (int i = 0; i < test_rounds(300000); ++i) {
    std::string text;
    if (random() % 8 == 0) {
      const size_t length = random() % 26;
      for (size_t k = 0; k < length; ++k) text += junk_bytes[random() % junk_bytes.size()];
    } else {
      if (random() % 3 == 0) text += random() % 2 ? '-' : '+';
      text += digits(random() % 12);
      if (random() % 2) text += '.' + digits(random() % 18);
      if (random() % 3 == 0) {
        text += random() % 2 ? 'e' : 'E';
        if (random() % 2) text += random() % 2 ? '-' : '+';
        text += digits(random() % 6);
      }
    }
    expect_same_double(text, junk_bytes[random() % junk_bytes.size()]);
  }
}
