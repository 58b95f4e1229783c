#include "sniff/cell_kind.hpp"

#include <algorithm>
#include <array>

#include "sniff/unicode_classes.hpp"
#include "sniff/utf8_text.hpp"

namespace sniff {

namespace {

constexpr std::array<std::string_view, 10> kNullMarkers = {"#N/A", "#N/A N/A", "#NA", "<NA>", "N/A",
                                                           "NA",   "NULL",     "None", "n/a",  "null"};
constexpr std::array<std::string_view, 4> kBools = {"true", "false", "yes", "no"};
constexpr std::array<std::string_view, 6> kSpecialNumbers = {"nan", "inf", "-inf", "+inf", "infinity", "-infinity"};

template <size_t N>
bool one_of(const std::array<std::string_view, N>& words, std::string_view text) noexcept {
  return std::find(words.begin(), words.end(), text) != words.end();
}

bool digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Where the first e or E is, or npos.
size_t find_exponent(std::string_view text) noexcept {
  for (size_t at = 0; at < text.size(); ++at) {
    if ((text[at] | 0x20) == 'e') return at;
  }
  return std::string_view::npos;
}
// White space as the grammars take it: ASCII only.
bool space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool date_separator(char c) noexcept { return c == '-' || c == '/' || c == '.'; }

// The length of a currency sign at `at` ($, €, £ or ¥), or 0.
size_t currency_at(std::string_view text, size_t at) noexcept {
  for (std::string_view sign : {"$", "\xE2\x82\xAC", "\xC2\xA3", "\xC2\xA5"}) {
    if (text.substr(at, sign.size()) == sign) return sign.size();
  }
  return 0;
}

// The length of a separator of digit groups at `at` (, . space ' or a
// no-break space), or 0.
size_t group_separator_at(std::string_view text, size_t at) noexcept {
  if (at >= text.size()) return 0;
  const char c = text[at];
  if (c == ',' || c == '.' || c == ' ' || c == '\'') return 1;
  return text.substr(at, 2) == "\xC2\xA0" ? 2 : 0;
}

// Digits in groups of three after one to three: "1,234", "12 345.678".
bool is_grouped(std::string_view text) noexcept {
  const size_t lead = digits_at(text, 0);
  if (lead < 1 || lead > 3) return false;
  size_t at = lead;
  size_t groups = 0;
  while (at < text.size()) {
    const size_t separator = group_separator_at(text, at);
    if (separator == 0 || digits_at(text, at + separator) != 3) return false;
    at += separator + 3;
    ++groups;
  }
  return groups > 0;
}

bool is_whole_part(std::string_view text) noexcept {
  return text.empty() || digits_at(text, 0) == text.size() || is_grouped(text);
}

// A whole part, a fraction, both, or neither.
bool is_mantissa(std::string_view text) noexcept {
  if (is_whole_part(text)) return true;
  // A fraction is the last run of digits with the separator before it.
  size_t start = text.size();
  while (start > 0 && digit(text[start - 1])) --start;
  if (start == text.size() || start == 0 || (text[start - 1] != '.' && text[start - 1] != ',')) return false;
  return is_whole_part(text.substr(0, start - 1));
}

// An optional second of a time of day: ":ss" and a fraction; where it ends.
size_t after_seconds(std::string_view text, size_t at) noexcept {
  if (at >= text.size() || text[at] != ':' || digits_at(text, at + 1) != 2) return at;
  at += 3;
  if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
    const size_t fraction = digits_at(text, at + 1);
    if (fraction > 0) at += 1 + fraction;
  }
  return at;
}

// An optional AM or PM, perhaps after a space; where it ends.
size_t after_meridiem(std::string_view text, size_t at) noexcept {
  size_t from = at;
  if (from < text.size() && space(text[from])) ++from;
  if (from + 1 < text.size() && std::string_view("AaPp").find(text[from]) != std::string_view::npos &&
      (text[from + 1] == 'M' || text[from + 1] == 'm')) {
    return from + 2;
  }
  return at;
}

// A time of day from `at`: h:mm or hh:mm, seconds and AM/PM optional;
// where it ends, or npos.
size_t after_time(std::string_view text, size_t at) noexcept {
  const size_t hours = digits_at(text, at);
  if (hours < 1 || hours > 2 || at + hours >= text.size() || text[at + hours] != ':' ||
      digits_at(text, at + hours + 1) != 2) {
    return std::string_view::npos;
  }
  return after_meridiem(text, after_seconds(text, at + hours + 3));
}

// Whether the rest of the text from `at` is a time zone: Z, or a sign and
// hhmm or hh:mm.
bool is_zone(std::string_view text, size_t at) noexcept {
  const std::string_view zone = text.substr(at);
  if (zone == "Z") return true;
  if (zone.size() < 5 || (zone[0] != '-' && zone[0] != '+') || digits_at(zone, 1) < 2) return false;
  if (zone.size() == 5) return digits_at(zone, 1) == 4;
  return zone.size() == 6 && digits_at(zone, 1) == 2 && zone[3] == ':' && digits_at(zone, 4) == 2;
}

// A date, year first (yyyy-m-d) or last (d-m-yy to d-m-yyyy), with any of
// - / . between; where it ends, or npos.
size_t after_date(std::string_view text) noexcept {
  const size_t first = digits_at(text, 0);
  const bool year_first = first == 4;
  if (!year_first && (first < 1 || first > 2)) return std::string_view::npos;
  size_t at = first;
  for (int part = 0; part < 2; ++part) {
    if (at >= text.size() || !date_separator(text[at])) return std::string_view::npos;
    const size_t run = digits_at(text, at + 1);
    const bool last = part == 1;
    const size_t low = last && !year_first ? 2 : 1;
    const size_t high = last && !year_first ? 4 : 2;
    if (run < low || run > high) return std::string_view::npos;
    at += 1 + run;
  }
  return at;
}

}  // namespace

const char* cell_name(Cell cell) noexcept {
  switch (cell) {
    case Cell::Empty: return "empty";
    case Cell::Null: return "null";
    case Cell::Number: return "number";
    case Cell::Decimal: return "decimal";
    case Cell::Date: return "date";
    case Cell::Bool: return "bool";
    case Cell::Text: return "text";
  }
  return "text";
}

bool is_null_marker(std::string_view text) noexcept { return one_of(kNullMarkers, text); }

size_t digits_at(std::string_view text, size_t at) noexcept {
  size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return end - at;
}

bool is_number_text(std::string_view text) noexcept {
  if (std::none_of(text.begin(), text.end(), digit)) return false;
  size_t at = 0;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
  if (const size_t sign = currency_at(text, at); sign > 0) {
    at += sign;
    if (at < text.size() && space(text[at])) ++at;
  }
  // The digits end the number; a space and a percent sign may follow.
  size_t end = text.size();
  if (end > at && text[end - 1] == '%') --end;
  if (end > at && space(text[end - 1])) --end;
  std::string_view number = text.substr(at, end - at);
  if (const size_t exponent = find_exponent(number); exponent != std::string_view::npos) {
    std::string_view power = number.substr(exponent + 1);
    if (!power.empty() && (power[0] == '-' || power[0] == '+')) power.remove_prefix(1);
    if (power.empty() || digits_at(power, 0) != power.size()) return false;
    number = number.substr(0, exponent);
  }
  return is_mantissa(number);
}

bool is_date_text(std::string_view text) noexcept {
  if (const size_t time = after_time(text, 0); time == text.size()) return true;
  const size_t date = after_date(text);
  if (date == std::string_view::npos) return false;
  if (date == text.size()) return true;
  if (text[date] != 'T' && text[date] != ' ') return false;
  const size_t time = after_time(text, date + 1);
  return time != std::string_view::npos && (time == text.size() || is_zone(text, time));
}

bool has_fraction(std::string_view text) noexcept {
  if (find_exponent(text) != std::string_view::npos) return true;
  // A separator, then digits (any decimal digit: this pattern is not
  // ASCII-only) to the end, or to a line end that ends the text.
  const auto fraction_before = [&](size_t end) {
    size_t start = end;
    while (start > 0) {
      size_t previous = start;
      if (!is_decimal(previous_code_point(text, previous))) break;
      start = previous;
    }
    return start > 0 && (text[start - 1] == '.' || text[start - 1] == ',');
  };
  return fraction_before(text.size()) || (!text.empty() && text.back() == '\n' && fraction_before(text.size() - 1));
}

Cell classify(std::string_view field) {
  const std::string_view text = strip(field);
  if (text.empty()) return Cell::Empty;
  if (is_null_marker(text)) return Cell::Null;
  size_t at = 0;
  const char32_t first = next_code_point(text, at);
  if (is_digit(first) || first == '-' || first == '+' || first == '.' || first == '$' || first == U'€' ||
      first == U'£' || first == U'¥') {
    // Dates first where they begin with a year: "2024-03-01 ..."
    bool year = is_digit(first);
    at = 0;
    for (int i = 0; i < 4 && year; ++i) year = at < text.size() && is_digit(next_code_point(text, at));
    if (year && at < text.size() && date_separator(text[at]) && is_date_text(text)) return Cell::Date;
    if (is_number_text(text)) return has_fraction(text) ? Cell::Decimal : Cell::Number;
    if (is_date_text(text)) return Cell::Date;
  }
  if (text.size() <= 9 && std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
    // Only ASCII lowers to these words (U+212A, the Kelvin sign, lowers to
    // a k, which none of them holds).
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    if (one_of(kBools, lowered)) return Cell::Bool;
    if (one_of(kSpecialNumbers, lowered)) return Cell::Decimal;
  }
  return Cell::Text;
}

std::string shape(std::string_view text) {
  const std::string_view stripped = strip(text);
  std::string out;
  std::string_view last;
  for (size_t at = 0; at < stripped.size();) {
    const size_t start = at;
    const char32_t c = next_code_point(stripped, at);
    const std::string_view kind = is_upper(c)   ? std::string_view("A")
                                  : is_alpha(c) ? std::string_view("a")
                                  : is_digit(c) ? std::string_view("9")
                                                : stripped.substr(start, at - start);
    if (kind != last) out.append(kind);
    last = kind;
  }
  return out;
}

bool looks_misread(std::string_view field) noexcept {
  const std::string_view text = strip(field);
  if (text.empty()) return false;
  const auto quote = [](char c) { return c == '"' || c == '\''; };
  if (quote(text.front()) || (quote(text.back()) && std::count(text.begin(), text.end(), text.back()) == 1)) {
    return true;
  }
  return text.find('\\') != std::string_view::npos &&
         (text.find("\\\"") != std::string_view::npos || text.find("\\'") != std::string_view::npos);
}

}  // namespace sniff
