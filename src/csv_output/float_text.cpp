#include "csv_output/float_text.hpp"

#include <charconv>
#include <cstring>

namespace csv_output {

namespace {

// Python's repr switches to scientific notation for exponents outside this.
constexpr int kLeastPlainExponent = -4;
constexpr int kLeastScientificExponent = 16;

// Lays out the significant `digits` (no point) of a number d.ddd x 10^exponent.
std::string_view lay_out(char* buffer, bool negative, std::string_view digits, int exponent) {
  char* p = buffer;
  if (negative) *p++ = '-';
  const auto put = [&](std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    p += text.size();
  };
  const auto zeros = [&](int count) {
    for (int i = 0; i < count; ++i) *p++ = '0';
  };
  const int count = static_cast<int>(digits.size());
  if (exponent < kLeastPlainExponent || exponent >= kLeastScientificExponent) {
    put(digits.substr(0, 1));
    if (count > 1) {
      *p++ = '.';
      put(digits.substr(1));
    }
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *p++ = '0';
    p = std::to_chars(p, buffer + kFloatTextSize, magnitude).ptr;
  } else if (exponent < 0) {  // 0.000ddd
    put("0.");
    zeros(-exponent - 1);
    put(digits);
  } else if (exponent + 1 >= count) {  // ddd000.0
    put(digits);
    zeros(exponent + 1 - count);
    put(".0");
  } else {  // dd.ddd
    put(digits.substr(0, static_cast<size_t>(exponent) + 1));
    *p++ = '.';
    put(digits.substr(static_cast<size_t>(exponent) + 1));
  }
  return {buffer, static_cast<size_t>(p - buffer)};
}

// The shortest scientific text of `value` ("-1.25e+20"), taken apart.
template <class Float>
std::string_view shortest(char* buffer, Float value) {
  char scientific[kFloatTextSize];
  const char* end = std::to_chars(scientific, scientific + sizeof scientific, value,
                                  std::chars_format::scientific).ptr;
  const char* p = scientific;
  const bool negative = *p == '-';
  if (negative) ++p;
  char digits[kFloatTextSize];
  size_t count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
  return lay_out(buffer, negative, {digits, count}, exponent);
}

}  // namespace

std::string_view float_text(char* buffer, double value) { return shortest(buffer, value); }
std::string_view float_text(char* buffer, float value) { return shortest(buffer, value); }

}  // namespace csv_output
