// Which code points Python's str.isspace, isdigit, isdecimal (what \d
// matches in a str pattern), isupper and isalpha hold true for: the guess
// reads a field's characters exactly as it did when written in Python,
// whatever the script. The tables are generated
// (scripts/make_unicode_tables.py); ASCII is answered without them.
#pragma once

#include <cstddef>

namespace sniff {

struct CodeRange {
  char32_t first;
  char32_t last;
};

namespace tables {
extern const CodeRange space[];
extern const size_t space_count;
extern const CodeRange digit[];
extern const size_t digit_count;
extern const CodeRange decimal[];
extern const size_t decimal_count;
extern const CodeRange upper[];
extern const size_t upper_count;
extern const CodeRange alpha[];
extern const size_t alpha_count;
}  // namespace tables

bool in_ranges(const CodeRange* ranges, size_t count, char32_t code) noexcept;

inline bool is_space(char32_t c) noexcept {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
  return in_ranges(tables::space, tables::space_count, c);
}
inline bool is_digit(char32_t c) noexcept {
  if (c < 0x80) return c >= '0' && c <= '9';
  return in_ranges(tables::digit, tables::digit_count, c);
}
inline bool is_decimal(char32_t c) noexcept {
  if (c < 0x80) return c >= '0' && c <= '9';
  return in_ranges(tables::decimal, tables::decimal_count, c);
}
inline bool is_upper(char32_t c) noexcept {
  if (c < 0x80) return c >= 'A' && c <= 'Z';
  return in_ranges(tables::upper, tables::upper_count, c);
}
inline bool is_alpha(char32_t c) noexcept {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  return in_ranges(tables::alpha, tables::alpha_count, c);
}

}  // namespace sniff
