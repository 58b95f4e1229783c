#include "sniff/quoted_fields.hpp"

#include <algorithm>
#include <string>


namespace sniff {

namespace {

// Whether `text` at `at` holds `field` between quotes, its own quotes
// doubled; steps `at` past it when it does.
bool quoted_at(std::string_view text, size_t& at, std::string_view field, char quote) {
  size_t p = at;
  if (p >= text.size() || text[p] != quote) return false;
  ++p;
  for (const char c : field) {
    if (p >= text.size() || text[p] != c) return false;
    ++p;
    if (c == quote) {
      if (p >= text.size() || text[p] != quote) return false;
      ++p;
    }
  }
  if (p >= text.size() || text[p] != quote) return false;
  at = p + 1;
  return true;
}

}  // namespace

std::optional<std::vector<bool>> quoted_fields(std::string_view text, const Record& record, char delimiter,
                                               char quote) {
  if (quote == 0) return std::nullopt;
  std::vector<bool> quoted;
  quoted.reserve(record.fields.size());
  size_t at = record.start;
  for (const std::string_view field : record.fields) {
    if (!quoted.empty()) {
      if (at >= text.size() || text[at] != delimiter) return std::nullopt;
      ++at;
    }
    if (quoted_at(text, at, field, quote)) {
      quoted.push_back(true);
    } else if (text.substr(at, field.size()) == field) {
      quoted.push_back(false);
      at += field.size();
    } else {
      return std::nullopt;
    }
  }
  return quoted;
}

bool quoted_over_bare(std::string_view text, const Records& records, const std::vector<size_t>& counts, size_t row,
                      size_t end, size_t columns, const Kinds& kinds, const Candidate& candidate) {
  const auto top = quoted_fields(text, records[row], candidate.delimiter, candidate.quote);
  if (!top || top->size() < 2 || std::find(top->begin(), top->end(), false) != top->end()) return false;
  // Quotes a field needs (around a delimiter, a quote, a line end) say nothing.
  const std::string needing{candidate.delimiter, candidate.quote, '\n', '\r'};
  for (const std::string_view field : records[row].fields) {
    if (field.find_first_of(needing) != std::string_view::npos) return false;
  }
  size_t below = row + 1;
  while (below < end && counts[below] != columns) ++below;
  if (below == end) return false;
  const Fields fields = records[below].fields;
  const auto quoted = quoted_fields(text, records[below], candidate.delimiter, candidate.quote);
  if (!quoted) return false;
  for (size_t c = 0; c < std::min(fields.size(), kinds.size()); ++c) {
    const Cell cell = classify(fields[c]);
    if (!(*quoted)[c] && kinds[c].typed() && is_typed(cell)) return true;
  }
  return false;
}

}  // namespace sniff
