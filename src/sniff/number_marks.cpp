#include "sniff/number_marks.hpp"

#include <algorithm>
#include <string_view>

#include "sniff/cell_kind.hpp"
#include "sniff/null_markers.hpp"
#include "sniff/utf8_text.hpp"

namespace sniff {

namespace {

constexpr size_t kMarkRows = 1000;     // rows of the table looked at
constexpr size_t kCommaNumbers = 3;    // numbers with a decimal comma that make a column of them

enum class Spelling {
  Other,     // not a number, or one in neither spelling
  Whole,     // digits alone
  Grouped,   // whole, in groups of three after '.' (1.234.567): thousands with a decimal comma
  Comma,     // a decimal comma, its whole part plain or grouped by '.'
  Either,    // 1 to 3 digits, a comma, 3 digits: as likely thousands (1,234)
  Point,     // a decimal point
};

// Where the whole part of a number ends, with any groups of three digits
// after '.' when it starts with one to three digits, not a zero; npos when
// it has no digit.
size_t whole_part_end(std::string_view text, size_t at, bool& grouped) noexcept {
  const size_t lead = digits_at(text, at);
  if (lead == 0) return std::string_view::npos;
  at += lead;
  grouped = false;
  // A group of thousands never follows a leading zero: 0.125 is a point.
  const bool may_group = lead <= 3 && text[at - lead] != '0';
  while (may_group && at < text.size() && text[at] == '.' && digits_at(text, at + 1) == 3) {
    grouped = true;
    at += 4;
  }
  return at;
}

Spelling spelling(std::string_view field) noexcept {
  const std::string_view text = strip(field);
  size_t at = 0;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++at;
  bool grouped = false;
  const size_t whole_end = whole_part_end(text, at, grouped);
  if (whole_end == std::string_view::npos) return Spelling::Other;
  if (whole_end == text.size()) return grouped ? Spelling::Grouped : Spelling::Whole;
  const char mark = text[whole_end];
  const size_t fraction = digits_at(text, whole_end + 1);
  if (fraction == 0 || whole_end + 1 + fraction != text.size()) return Spelling::Other;
  if (mark == ',') {
    const bool thousands_too = !grouped && fraction == 3 && whole_end - at <= 3 && text[at] != '0';
    return thousands_too ? Spelling::Either : Spelling::Comma;
  }
  return mark == '.' && !grouped ? Spelling::Point : Spelling::Other;
}

}  // namespace

NumberMarks number_marks(const Records& records, size_t begin, size_t end, char delimiter) {
  NumberMarks marks;
  if (delimiter == ',' || delimiter == '.' || begin >= end) return marks;
  const size_t rows = std::min(end - begin, kMarkRows);
  const auto row = [&](size_t r) { return records[begin + r].fields; };
  size_t widest = 0;
  for (size_t r = 0; r < rows; ++r) widest = std::max(widest, row(r).size());
  bool comma_column = false;
  bool grouped_column = false;
  for (size_t column = 0; column < widest; ++column) {
    size_t commas = 0;
    bool grouped = false;
    bool only_numbers = true;
    for (size_t r = 0; r < rows; ++r) {
      if (column >= row(r).size()) continue;
      const std::string_view field = row(r)[column];
      if (strip(field).empty() || marker_of(strip(field)) != 0) continue;
      switch (spelling(field)) {
        case Spelling::Point: return {};  // a decimal point anywhere: the point it is
        case Spelling::Comma: ++commas; grouped |= strip(field).find('.') != std::string_view::npos; break;
        case Spelling::Grouped: grouped = true; break;
        case Spelling::Whole: case Spelling::Either: break;
        case Spelling::Other: only_numbers = false; break;
      }
    }
    if (only_numbers && commas >= std::min(kCommaNumbers, rows)) {
      comma_column = true;
      grouped_column |= grouped;
    }
  }
  if (comma_column) {
    marks.decimal = ',';
    if (grouped_column) marks.thousands = '.';
  }
  return marks;
}

}  // namespace sniff
