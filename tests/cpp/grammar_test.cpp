#include "fields/grammar.hpp"

#include <gtest/gtest.h>

#include "test_rounds.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

namespace fields {
namespace {

// Hands the parser a heap copy of exactly the text's size, so that a read
// past the end of a field shows up under the address sanitizer.
template <class Parse>
auto parse_exact(Parse parse, std::string_view text) {
  std::unique_ptr<char[]> copy(new char[text.size()]);
  std::copy_n(text.data(), text.size(), copy.get());
  return parse(std::string_view(copy.get(), text.size()));
}

uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }

// Reference value from the C library, which rounds correctly for any length.
uint64_t strtod_bits(const std::string& text) { return bits(std::strtod(text.c_str(), nullptr)); }

// Bit pattern of parse_double, or a marker no double has when it fails.
constexpr uint64_t kRejected = 0x7FF0DEADDEADDEAD;
uint64_t double_bits(std::string_view text) {
  const auto value = parse_exact(parse_double, text);
  return value ? bits(*value) : kRejected;
}

// UTF-8 of a code point below U+10000.
std::string utf8(char32_t cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  std::string out = cp < 0x800 ? std::string(1, static_cast<char>(0xC0 | cp >> 6))
                               : std::string{static_cast<char>(0xE0 | cp >> 12),
                                             static_cast<char>(0x80 | (cp >> 6 & 0x3F))};
  return out + static_cast<char>(0x80 | (cp & 0x3F));
}

TEST(ParseBool, Words) {
  const std::pair<std::string, std::optional<bool>> cases[] = {
      {"true", true}, {"false", false}, {"TRUE", true}, {" False ", false}, {"tRuE", true},
      {"\xC2\xA0true", true}, {" \t\r\n\v\ftrue\f\v\n\r\t ", true}, {"FALSE\xE3\x80\x80", false},
      {"", std::nullopt}, {"   ", std::nullopt}, {"1", std::nullopt}, {"0", std::nullopt},
      {"yes", std::nullopt}, {"no", std::nullopt}, {"t", std::nullopt}, {"f", std::nullopt},
      {"on", std::nullopt}, {"off", std::nullopt}, {"tr ue", std::nullopt},
      {"truee", std::nullopt}, {"fals", std::nullopt}, {"TRU\xC3\x89", std::nullopt},
      {"\xEF\xBD\x94rue", std::nullopt},  // full-width 't'
      {std::string("true\0", 5), std::nullopt}, {"\"true\"", std::nullopt}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse_exact(parse_bool, text), expected) << '"' << text << '"';
  }
}

TEST(ParseBool, TrimsEveryWhiteSpaceCharacterAndNothingElse) {
  const char32_t spaces[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,
                             0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
                             0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
                             0x3000};
  // Neighbours of the real ones and characters that merely look blank.
  const char32_t not_spaces[] = {0x08,   0x0E,   0x1F,   0x84,   0x9F,   0xA1,   0x180E,
                                 0x1681, 0x1FFF, 0x200B, 0x200C, 0x2027, 0x202A, 0x202E,
                                 0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF};
  for (const char32_t cp : spaces) {
    const std::string s = utf8(cp);
    SCOPED_TRACE(static_cast<uint32_t>(cp));
    EXPECT_EQ(parse_exact(parse_bool, s + "true"), true);
    EXPECT_EQ(parse_exact(parse_bool, "False" + s), false);
    EXPECT_EQ(parse_exact(parse_bool, s + s + "TRUE" + s + " " + s), true);
    EXPECT_EQ(parse_exact(parse_bool, "tr" + s + "ue"), std::nullopt);
    EXPECT_EQ(parse_exact(parse_bool, s), std::nullopt);
  }
  for (const char32_t cp : not_spaces) {
    const std::string s = utf8(cp);
    SCOPED_TRACE(static_cast<uint32_t>(cp));
    EXPECT_EQ(parse_exact(parse_bool, s + "true"), std::nullopt);
    EXPECT_EQ(parse_exact(parse_bool, "false" + s), std::nullopt);
  }
}

// The 32-bit parser accepts exactly the texts of the 64-bit one whose value
// fits in 32 bits, so one table serves both.
TEST(ParseInteger, GrammarAndRange) {
  const std::pair<const char*, std::optional<int64_t>> cases[] = {
      {"0", 0}, {"7", 7}, {"-0", 0}, {"+0", 0}, {"+5", 5}, {"-12", -12}, {"007", 7},
      {"0000000000000000000042", 42}, {"-00000000000000000000000000000000001", -1},
      {"12345678", 12345678}, {"123456789", 123456789}, {"2147483647", 2147483647},
      {"2147483648", 2147483648}, {"-2147483648", -2147483648LL},
      {"-2147483649", -2147483649LL}, {"4294967296", 4294967296}, {"9999999999", 9999999999},
      {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
      {"0009223372036854775807", INT64_MAX}, {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt}, {"18446744073709551615", std::nullopt},
      {"18446744073709551616", std::nullopt}, {"99999999999999999999", std::nullopt},
      {"", std::nullopt}, {"+", std::nullopt}, {"-", std::nullopt}, {"+-1", std::nullopt},
      {"--1", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt}, {"1_000", std::nullopt},
      {"1,000", std::nullopt}, {"1.0", std::nullopt}, {"1e3", std::nullopt},
      {"0x1F", std::nullopt}, {"\xD9\xA1", std::nullopt}, {"12345678x", std::nullopt},
      {"1234567/", std::nullopt}, {"0000000:", std::nullopt}, {"00000000 ", std::nullopt},
      {"12345:78", std::nullopt}, {"1\xFF" "345678", std::nullopt}};
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parse_exact(parse_int64, text), expected);
    const bool fits = expected && *expected >= INT32_MIN && *expected <= INT32_MAX;
    EXPECT_EQ(parse_exact(parse_int32, text),
              fits ? std::optional<int32_t>(static_cast<int32_t>(*expected)) : std::nullopt);
  }
}

// The word test must say "all digits" exactly when every byte is one: each
// byte value in each place among digits, and two stray bytes together,
// which is where a borrow or carry between bytes could hide one of them.
TEST(EightDigits, WordTestIsExact) {
  using fields::grammar_detail::all_eight_digits;
  const auto is_digit = [](unsigned b) { return b - '0' <= 9; };
  const auto word = [](const unsigned char (&bytes)[8]) {
    uint64_t v = 0;
    for (int k = 7; k >= 0; --k) v = v << 8 | bytes[k];
    return v;
  };
  for (int place = 0; place < 8; ++place) {
    for (unsigned b = 0; b < 256; ++b) {
      unsigned char bytes[8] = {'1', '2', '3', '4', '5', '6', '7', '9'};
      bytes[place] = static_cast<unsigned char>(b);
      ASSERT_EQ(all_eight_digits(word(bytes)), is_digit(b)) << place << " " << b;
    }
  }
  for (int first = 0; first < 8; ++first) {
    for (int second = first + 1; second < 8; ++second) {
      for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; b += 3) {
          unsigned char bytes[8] = {'0', '9', '0', '9', '0', '9', '0', '9'};
          bytes[first] = static_cast<unsigned char>(a);
          bytes[second] = static_cast<unsigned char>(b);
          ASSERT_EQ(all_eight_digits(word(bytes)), is_digit(a) && is_digit(b)) << first << second << a << b;
        }
      }
    }
  }
}

TEST(ParseDouble, GrammarAndValues) {
  const uint64_t nan = 0x7FF8000000000000, minus_nan = 0xFFF8000000000000;
  const double inf = HUGE_VAL;
  const std::pair<const char*, uint64_t> cases[] = {
      {"5", bits(5)}, {"5.", bits(5)}, {".5", bits(.5)}, {"05.250", bits(5.25)},
      {"1e3", bits(1e3)}, {"1E+03", bits(1e3)}, {"2.5e-7", bits(2.5e-7)}, {"-3.25", bits(-3.25)},
      {"+0.1", bits(0.1)}, {"0.000123", bits(0.000123)}, {"1.5e10", bits(1.5e10)},
      {"9007199254740993", bits(9007199254740992.0)}, {"1e22", bits(1e22)}, {"1e23", bits(1e23)},
      {"123456789012345678901234567890", bits(123456789012345678901234567890.0)},
      {"18446744073709551616", bits(18446744073709551616.0)},
      {"1.8446744073709551616e-1", bits(0.18446744073709551616)},
      {"0", bits(0.0)}, {"-0", bits(-0.0)}, {"+0", bits(0.0)}, {"-0.000e-5", bits(-0.0)},
      {"0e999999999", bits(0.0)}, {"-0e99999999999999999999", bits(-0.0)},
      {"inf", bits(inf)}, {"-Infinity", bits(-inf)}, {"+INF", bits(inf)}, {"iNfInItY", bits(inf)},
      {"nan", nan}, {"NaN", nan}, {"+nan", nan}, {"-nan", minus_nan}, {"-NAN", minus_nan},
      {"1.7976931348623157e308", bits(DBL_MAX)}, {"1.7976931348623158e308", bits(DBL_MAX)},
      {"1.7976931348623159e308", bits(inf)}, {"1e400", bits(inf)}, {"-1e400", bits(-inf)},
      {"1e99999999999999999999", bits(inf)}, {"1e309", bits(inf)},
      {"2.2250738585072014e-308", bits(DBL_MIN)}, {"2.2250738585072011e-308", 0x000FFFFFFFFFFFFF},
      {"4.9406564584124654e-324", 1}, {"5e-324", 1}, {"3e-324", 1}, {"-5e-324", bits(-5e-324)},
      {"2.4703282292062328e-324", 1}, {"2.4703282292062327e-324", bits(0.0)},
      {"-2.4703282292062327e-324", bits(-0.0)}, {"1e-400", bits(0.0)}, {"-1e-400", bits(-0.0)},
      {"1e-99999999999999999999", bits(0.0)},
      {"", kRejected}, {"+", kRejected}, {"-", kRejected}, {".", kRejected}, {"-.", kRejected},
      {"e3", kRejected}, {".e3", kRejected}, {"1e", kRejected}, {"1e+", kRejected},
      {"1e-", kRejected}, {"1.2.3", kRejected}, {"1e3.5", kRejected}, {"1e+-3", kRejected},
      {"+-1", kRejected}, {"--1", kRejected}, {" 1", kRejected}, {"1 ", kRejected},
      {"0x1p3", kRejected}, {"0x10", kRejected}, {"1,5", kRejected}, {"1_000", kRejected},
      {"1d3", kRejected}, {"infin", kRejected}, {"infinit", kRejected}, {"infinityy", kRejected},
      {"in", kRejected}, {"na", kRejected}, {"nan(1)", kRejected}, {"nan()", kRejected},
      {"inf1", kRejected}, {"1inf", kRejected}, {"-.nan", kRejected}, {"i\xC3\xB1" "f", kRejected},
      {"\xD9\xA1", kRejected}, {"\xE2\x88\x92" "1", kRejected}, {"12345678.12345678x", kRejected}};
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(double_bits(text), expected) << '"' << text << '"';
  }
}

// Random numbers of 1 to 40 digits (a share with many leading or trailing
// zeros) and exponents across the whole range, then some of 100 to 800 digits.
TEST(ParseDouble, MatchesStrtodOnRandomNumbers) {
  std::mt19937_64 rng(7);
  const auto digits = [&rng](size_t n, char first = '0') {
    std::string s(n, '0');
    for (char& c : s) c = static_cast<char>('0' + rng() % 10);
    if (n != 0 && first != '0') s[0] = static_cast<char>('1' + rng() % 9);
    return s;
  };
  for (int round = 0; round < 300000; ++round) {
    const bool is_long = round % 100 == 0;
    const size_t total = is_long ? 100 + rng() % 701 : 1 + rng() % 40;
    const size_t int_len = rng() % (total + 1);
    std::string text = rng() % 2 ? "-" : "";
    text += digits(int_len, rng() % 4 ? '1' : '0');
    if (int_len < total || rng() % 2) text += '.' + digits(total - int_len);
    if (round % 5 == 0) text.append(rng() % 30, '0');
    if (rng() % 3) {
      text += rng() % 2 ? 'e' : 'E';
      const int64_t range = rng() % 4 ? 30 : 400;
      text += std::to_string(static_cast<int64_t>(rng() % (2 * range + 1)) - range -
                             (is_long ? static_cast<int64_t>(int_len) : 0));
    }
    ASSERT_EQ(double_bits(text), strtod_bits(text)) << text;
  }
}

// Exact decimal midpoints between neighbouring doubles (up to 767 significant
// digits) round to the even one, and a non-zero digit anywhere past them
// rounds up; shortened ones agree with the C library. The midpoints are exact
// in x86 long double, and printf prints them exactly.
TEST(ParseDouble, HalfwayCasesRoundToEven) {
  static_assert(LDBL_MANT_DIG >= 64, "needs extended long double");
  std::mt19937_64 rng(11);
  std::vector<double> lows = {0.0, DBL_MIN, DBL_MAX, std::nextafter(DBL_MIN, 0.0), 1.0,
                              9007199254740992.0};
  for (int i = 0; i < test_rounds(3000); ++i) {
    const double d = std::bit_cast<double>(rng() >> 1);
    if (std::isfinite(d)) lows.push_back(d);
  }
  char buffer[1000];
  for (const double low : lows) {
    const double high = std::nextafter(low, HUGE_VAL);  // infinity after DBL_MAX
    const long double mid =
        (static_cast<long double>(low) + (low == DBL_MAX ? std::ldexp(1.0L, 1024) : high)) / 2;
    std::snprintf(buffer, sizeof buffer, "%.780Le", mid);
    const std::string text = buffer;
    const size_t e = text.find('e');
    const uint64_t even = bits(low) % 2 == 0 ? bits(low) : bits(high);
    ASSERT_EQ(double_bits(text), even) << text;
    const std::string above = text.substr(0, e) + std::string(30, '0') + "1" + text.substr(e);
    ASSERT_EQ(double_bits(above), bits(high)) << above;
    const std::string cut = text.substr(0, 19) + text.substr(e);
    ASSERT_EQ(double_bits(cut), strtod_bits(cut)) << cut;
  }
}

// Fields of 64 MiB: leading zeros, long tails and digit counts that a naive
// exponent sum would overflow. Each must finish in linear time.
TEST(FieldGrammar, HugeFields) {
  const std::string zeros(64 << 20, '0');
  const std::string count = std::to_string(zeros.size());
  EXPECT_EQ(parse_exact(parse_int32, zeros + "42"), 42);
  EXPECT_EQ(parse_exact(parse_int64, "-" + zeros), 0);
  EXPECT_EQ(parse_exact(parse_int64, "1" + zeros), std::nullopt);
  EXPECT_EQ(parse_exact(parse_int64, zeros + "x"), std::nullopt);
  const std::string spaces(16 << 20, ' ');
  EXPECT_EQ(parse_exact(parse_bool, spaces + "TRUE" + spaces), true);
  EXPECT_EQ(double_bits("1" + zeros), bits(HUGE_VAL));
  EXPECT_EQ(double_bits("-" + zeros + "." + zeros), bits(-0.0));
  EXPECT_EQ(double_bits("1" + zeros + "e-" + count), bits(1.0));
  EXPECT_EQ(double_bits("0." + zeros + "15e" + count), bits(0.15));
  EXPECT_EQ(double_bits("0." + zeros + "1e400"), bits(0.0));
  EXPECT_EQ(double_bits("1." + zeros + "1"), bits(1.0));
  EXPECT_EQ(double_bits("9007199254740993." + zeros + "1"), bits(9007199254740994.0));
  EXPECT_EQ(double_bits(zeros + "e99999999999999999999"), bits(0.0));
  EXPECT_EQ(double_bits(std::string(zeros.size(), '9') + "e-99999999999999999999"), bits(0.0));
}

}  // namespace
}  // namespace fields
