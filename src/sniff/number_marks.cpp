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
// after `separator` when it starts with one to three digits, not a zero; npos when
// it has no digit.
size_t whole_part_end(std::string_view text, size_t at, char separator, bool& grouped) noexcept {
  const size_t lead = digits_at(text, at);
  if (lead == 0) return std::string_view::npos;
  at += lead;
  grouped = false;
  // A group of thousands never follows a leading zero: 0.125 is a point.
  const bool may_group = lead <= 3 && text[at - lead] != '0';
  while (may_group && at < text.size() && text[at] == separator && digits_at(text, at + 1) == 3) {
    grouped = true;
    at += 4;
  }
  return at;
}

// Whether the text ends at `at` or with an exponent there (E-05, e3).
bool ends_or_exponent(std::string_view text, size_t at) noexcept {
  if (at == text.size()) return true;
  if (text[at] != 'e' && text[at] != 'E') return false;
  ++at;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
  const size_t digits = digits_at(text, at);
  return digits > 0 && at + digits == text.size();
}

Spelling spelling(std::string_view field) noexcept {
  const std::string_view text = strip(field);
  size_t at = 0;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++at;
  bool grouped = false;
  const size_t whole_end = whole_part_end(text, at, '.', grouped);
  if (whole_end == std::string_view::npos) return Spelling::Other;
  if (whole_end == text.size()) return grouped ? Spelling::Grouped : Spelling::Whole;
  if (!grouped && ends_or_exponent(text, whole_end)) return Spelling::Whole;  // 3E-05
  const char mark = text[whole_end];
  const size_t fraction = digits_at(text, whole_end + 1);
  const size_t fraction_end = whole_end + 1 + fraction;
  if (fraction == 0 || !ends_or_exponent(text, fraction_end)) return Spelling::Other;
  if (mark == ',') {
    const bool thousands_too = !grouped && fraction == 3 && whole_end - at <= 3 && text[at] != '0' &&
                               fraction_end == text.size();
    return thousands_too ? Spelling::Either : Spelling::Comma;
  }
  return mark == '.' && !grouped ? Spelling::Point : Spelling::Other;
}

// How a number with a decimal point spells its whole part: plainly, or
// grouped by ',' into thousands ("12,500", "1,234,567.5"); conversion reads
// each such number with ',' as the thousands separator. The field is taken
// as conversion takes it, white space included.
enum class PointSpelling {
  Other,     // not such a number
  Plain,     // no comma
  Grouped,   // groups and no fraction (1,234): as well a list (80,443)
  Fraction,  // groups and a fraction (1,234.5): no other spelling
};

// `lead` is set to the digits before the first comma, or all of them.
PointSpelling point_spelling(std::string_view text, size_t& lead) noexcept {
  size_t at = 0;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++at;
  lead = digits_at(text, at);
  bool grouped = false;
  at = whole_part_end(text, at, ',', grouped);
  if (at == std::string_view::npos) return PointSpelling::Other;
  bool fraction = false;
  if (at < text.size() && text[at] == '.') {
    const size_t digits = digits_at(text, at + 1);
    if (digits == 0) return PointSpelling::Other;
    at += 1 + digits;
    fraction = true;
  }
  if (at != text.size()) return PointSpelling::Other;
  if (!grouped) return PointSpelling::Plain;
  return fraction ? PointSpelling::Fraction : PointSpelling::Grouped;
}

// The fields of column `column` of `rows` rows that are neither empty nor
// a null marker.
template <class Row, class Visit>
void for_each_value(size_t rows, Row row, size_t column, Visit visit) {
  for (size_t r = 0; r < rows; ++r) {
    if (column >= row(r).size()) continue;
    const std::string_view field = row(r)[column];
    if (strip(field).empty() || marker_of(strip(field)) != 0) continue;
    visit(field);
  }
}

// A decimal comma: some column holds numbers written with one and whole
// numbers only, and no field is a number with a decimal point.
template <class Row>
NumberMarks decimal_comma(size_t rows, Row row, size_t widest) {
  bool comma_column = false;
  bool grouped_column = false;
  for (size_t column = 0; column < widest; ++column) {
    size_t commas = 0;
    bool grouped = false;
    bool only_numbers = true;
    bool point = false;
    for_each_value(rows, row, column, [&](std::string_view field) {
      switch (spelling(field)) {
        case Spelling::Point: point = true; break;
        case Spelling::Comma: ++commas; grouped |= strip(field).find('.') != std::string_view::npos; break;
        case Spelling::Grouped: grouped = true; break;
        case Spelling::Whole: case Spelling::Either: break;
        case Spelling::Other: only_numbers = false; break;
      }
    });
    if (point) return {};  // a decimal point anywhere: the point it is
    if (only_numbers && commas >= std::min(kCommaNumbers, rows)) {
      comma_column = true;
      grouped_column |= grouped;
    }
  }
  if (!comma_column) return {};
  return {',', grouped_column ? '.' : char{0}, {}};
}

// The columns of amounts as reports in English write them: numbers with a
// decimal point or none, every number of four whole digits or more grouped
// by ',', and one grouped with a fraction
// ("1,234.5"), which no other spelling writes. Whole numbers alone prove
// nothing: "80,443", "70,130,180" and "1,500" may be lists, or decimal
// commas. The separator then applies to these columns alone.
template <class Row>
std::vector<size_t> thousands_comma_columns(size_t rows, Row row, size_t widest) {
  std::vector<size_t> columns;
  for (size_t column = 0; column < widest; ++column) {
    bool formatted = true;
    bool fraction = false;
    for_each_value(rows, row, column, [&](std::string_view field) {
      size_t lead = 0;
      const PointSpelling spelt = point_spelling(field, lead);
      fraction |= spelt == PointSpelling::Fraction;
      formatted &= spelt != PointSpelling::Other && (spelt != PointSpelling::Plain || lead <= 3);
    });
    if (formatted && fraction) columns.push_back(column);
  }
  return columns;
}

// Whether some field is a number with a decimal comma that no thousands
// comma writes ("3,5", "0,750"): then a comma in numbers is no separator.
template <class Row>
bool any_decimal_comma(size_t rows, Row row, size_t widest) {
  bool found = false;
  for (size_t column = 0; column < widest && !found; ++column) {
    for_each_value(rows, row, column, [&](std::string_view field) { found |= spelling(field) == Spelling::Comma; });
  }
  return found;
}

}  // namespace

NumberMarks number_marks(const Records& records, size_t begin, size_t end, char delimiter) {
  if (delimiter == '.' || begin >= end) return {};
  const size_t rows = std::min(end - begin, kMarkRows);
  const auto row = [&](size_t r) { return records[begin + r].fields; };
  size_t widest = 0;
  for (size_t r = 0; r < rows; ++r) widest = std::max(widest, row(r).size());
  if (delimiter != ',') {
    if (const NumberMarks marks = decimal_comma(rows, row, widest); marks.decimal == ',') return marks;
  }
  if (any_decimal_comma(rows, row, widest)) return {};
  std::vector<size_t> columns = thousands_comma_columns(rows, row, widest);
  if (columns.empty()) return {};
  return {'.', ',', std::move(columns)};
}

}  // namespace sniff
