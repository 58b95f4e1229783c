// The UTF-8 check against its plain reference: a decoder written straight
// from the table of well-formed byte sequences (no overlong forms, no
// surrogates, nothing above U+10FFFF, no sequence cut short).
#include "common/utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "test_rounds.hpp"

namespace {

// Length of the longest valid prefix, one sequence at a time.
size_t reference_valid_prefix(const std::string& text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  size_t i = 0;
  while (i < text.size()) {
    const unsigned lead = byte(i);
    size_t length;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      return i;
    }
    if (i + length > text.size()) return i;
    for (size_t k = 1; k < length; ++k) {
      const unsigned b = byte(i + k);
      if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return i;
    }
    i += length;
  }
  return i;
}

// Valid characters of every length, and bytes that break them.
const std::vector<std::string> kPieces = {
    "a", "z0", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
    "\xF4\x8F\xBF\xBF", "\xC2\x80", "\x80", "\xBF", "\xC0\xAF", "\xC1", "\xE0\x9F\xBF", "\xED\xA0\x80",
    "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5", "\xFF", "\xC3", "\xE2\x82", "\xF0\x9F\x98",
};

std::string random_text(std::mt19937& random) {
  std::string text;
  const size_t count = random() % 48;
  const bool mostly_valid = random() % 2 == 0;
  for (size_t k = 0; k < count; ++k) {
    const size_t limit = mostly_valid && random() % 16 != 0 ? 9 : kPieces.size();
    text += kPieces[random() % limit];
  }
  return text;
}

TEST(Utf8, ValidPrefixAgreesWithThePlainDecoder) {
  std::mt19937 random(3);
  for (int i = 0; i < test_rounds(300000); ++i) {
    const std::string text = random_text(random);
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    ASSERT_EQ(common::utf8_valid_prefix(data, text.size()), reference_valid_prefix(text))
        << testing::PrintToString(text);
    ASSERT_EQ(common::is_valid_utf8(data, text.size()), reference_valid_prefix(text) == text.size());
  }
}

TEST(Utf8, EveryTwoAndThreeByteSequence) {
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      for (const unsigned c : {0x00u, 0x80u, 0xBFu, 0xC0u}) {
        const std::string text = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
        const auto* data = reinterpret_cast<const uint8_t*>(text.data());
        ASSERT_EQ(common::utf8_valid_prefix(data, 3), reference_valid_prefix(text)) << a << " " << b << " " << c;
      }
    }
  }
}

TEST(Utf8, WholeRunCheckAgreesWithTheScalarChecker) {
  if (!common::cpu_has_avx2()) GTEST_SKIP() << "no AVX2 here";
  std::mt19937 random(99);
  for (int i = 0; i < test_rounds(300000); ++i) {
    const std::string text = random_text(random);
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    const bool valid = common::utf8_valid_prefix(data, text.size()) == text.size();
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
    const auto expected = !valid ? common::Utf8Text::Invalid : ascii ? common::Utf8Text::Ascii : common::Utf8Text::Valid;
    ASSERT_EQ(common::detail::utf8_text_avx2(data, text.size()), expected) << testing::PrintToString(text);
  }
}

}  // namespace
