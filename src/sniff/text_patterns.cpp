#include "sniff/text_patterns.hpp"

#include "sniff/utf8_text.hpp"

namespace sniff {

namespace {

// The length of the line end at `at` (CR LF, a CR not before a LF, or a
// LF) among `text`, or 0.
size_t line_end_at(std::string_view text, size_t at) noexcept {
  if (at >= text.size()) return 0;
  if (text[at] == '\n') return 1;
  if (text[at] != '\r') return 0;
  return at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
}

// Each place a quote opens a field, after a LF or the delimiter (or a CR
// too, with `after_cr`): the offset after the quote, for `visit` to look on
// from (true: found).
template <class Visit>
bool any_field_quote(std::string_view text, char delimiter, char quote, const Visit& visit, bool after_cr = false) {
  for (size_t at = text.find(quote, 1); at != std::string_view::npos; at = text.find(quote, at + 1)) {
    const char before = text[at - 1];
    if ((before == '\n' || before == delimiter || (after_cr && before == '\r')) && visit(at + 1)) return true;
  }
  return false;
}

}  // namespace

bool follows_any(std::string_view text, std::string_view before, char quote) noexcept {
  for (size_t at = text.find(quote, 1); at != std::string_view::npos; at = text.find(quote, at + 1)) {
    if (before.find(text[at - 1]) != std::string_view::npos) return true;
  }
  return false;
}

bool quote_closes_before_text(std::string_view lines, char delimiter, char quote) noexcept {
  return any_field_quote(lines, delimiter, quote, [&](size_t from) {
    size_t at = from;
    while (at < lines.size() && lines[at] != quote && lines[at] != '\r' && lines[at] != '\n') ++at;
    if (at == lines.size() || lines[at] == '\n') return true;  // no closing quote on the line
    if (lines[at] == '\r') return false;
    const size_t after = at + 1;  // past the closing quote
    return after < lines.size() && lines[after] != delimiter && lines[after] != quote && lines[after] != '\r' &&
           lines[after] != '\n';
  });
}

namespace {

// The quote that closes the field a quote at `open` opens, doubled quotes
// being content; npos when none does.
size_t closing_quote(std::string_view text, size_t open, char quote) noexcept {
  size_t close = open + 1;
  while (true) {
    close = text.find(quote, close);
    if (close == std::string_view::npos || close + 1 == text.size() || text[close + 1] != quote) return close;
    close += 2;  // a doubled quote
  }
}

// Each field a quote opens and closes: `visit` gets its value. False when
// one does not close right before the delimiter, a line end or the end.
template <class Visit>
bool quoted_fields_close_visiting(std::string_view text, char delimiter, char quote, const Visit& visit) {
  bool field_start = true;
  size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    if (!field_start || c != quote) {
      field_start = c == delimiter || c == '\n' || c == '\r';
      ++at;
      continue;
    }
    const size_t close = closing_quote(text, at, quote);
    if (close == std::string_view::npos) return false;
    visit(text.substr(at + 1, close - at - 1));
    at = close + 1;
    if (at < text.size() && text[at] != delimiter && text[at] != '\n' && text[at] != '\r') return false;
    field_start = false;
  }
  return true;
}

}  // namespace

bool quoted_fields_close(std::string_view text, char delimiter, char quote) noexcept {
  return quoted_fields_close_visiting(text, delimiter, quote, [](std::string_view) {});
}

SpacedQuotes spaced_quotes(std::string_view text, char delimiter, char quote, bool line_ends_inside) noexcept {
  const auto separator = [&](size_t at) {
    return at == text.size() || text[at] == delimiter || text[at] == '\n' || text[at] == '\r';
  };
  SpacedQuotes found = SpacedQuotes::Clean;
  bool field_start = true;
  bool spaced = false;  // spaces began the field
  size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    if (!field_start || c != quote) {
      spaced = field_start && c == ' ';
      field_start = c == delimiter || c == '\n' || c == '\r' || spaced;
      ++at;
      continue;
    }
    const size_t close = closing_quote(text, at, quote);
    if (close == std::string_view::npos) return spaced ? SpacedQuotes::Stray : found;
    if (spaced) {
      const bool spans_lines = text.substr(at, close - at).find_first_of("\r\n") != std::string_view::npos;
      if (separator(close + 1)) {
        if (spans_lines && !line_ends_inside) return SpacedQuotes::Stray;
      } else if (spans_lines) {
        return SpacedQuotes::Stray;
      } else {
        found = SpacedQuotes::Tails;
      }
    }
    at = close + 1;
    field_start = false;
    spaced = false;
  }
  return found;
}

bool quoted_line_ends_close(std::string_view text, char delimiter, char quote) noexcept {
  bool holds_line_end = false;
  const bool close = quoted_fields_close_visiting(text, delimiter, quote, [&](std::string_view value) {
    holds_line_end |= value.find_first_of("\r\n") != std::string_view::npos;
  });
  return close && holds_line_end;
}

namespace {

// Whether the quote that opens a field before `from` closes it (a doubled
// quote being one inside) right before the delimiter, a line end or the end.
bool closes_field(std::string_view text, size_t from, char delimiter, char quote) noexcept {
  size_t close = text.find(quote, from);
  while (close != std::string_view::npos && close + 1 < text.size() && text[close + 1] == quote) {
    close = text.find(quote, close + 2);
  }
  if (close == std::string_view::npos) return false;
  const size_t after = close + 1;
  return after == text.size() || text[after] == delimiter || text[after] == '\n' || text[after] == '\r';
}

}  // namespace

bool quotes_needed(std::string_view text, char delimiter, char quote, bool strays_too) noexcept {
  return any_field_quote(
      text, delimiter, quote,
      [&](size_t from) {
        if (!strays_too && !closes_field(text, from, delimiter, quote)) return false;
        size_t at = from;
        for (; at < text.size() && text[at] != quote; ++at) {
          if (text[at] == delimiter || text[at] == '\n' || text[at] == '\r') return true;
        }
        if (at == text.size()) return false;
        return (at + 1 < text.size() && text[at + 1] == quote) || (at > from && text[at - 1] == '\\');
      },
      true);
}

std::vector<size_t> blank_line_ends(std::string_view text, size_t end) {
  const std::string_view looked_at = text.substr(0, end);
  std::vector<size_t> ends;
  size_t at = find_line_end(looked_at, 0);
  while (at != std::string_view::npos) {
    size_t after = at + line_end_at(looked_at, at);
    size_t run_end = 0;
    while (true) {
      size_t next = after;
      while (next < looked_at.size() && (looked_at[next] == ' ' || looked_at[next] == '\t')) ++next;
      const size_t line_end = line_end_at(looked_at, next);
      if (line_end == 0) break;
      after = run_end = next + line_end;
    }
    if (run_end > 0) {
      ends.push_back(run_end);
      at = find_line_end(looked_at, run_end);
    } else {
      at = find_line_end(looked_at, at + 1);
    }
  }
  return ends;
}

}  // namespace sniff
