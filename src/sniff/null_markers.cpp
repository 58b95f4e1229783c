#include "sniff/null_markers.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "sniff/utf8_text.hpp"

namespace sniff {

namespace {

constexpr std::array<std::string_view, kMarkers> kMarkerTexts = {
    "#N/A", "#N/A N/A", "#NA", "<NA>", "N/A", "NA", "NULL", "None", "n/a", "null",
    "-",    "--",       ".",   "?",    "\\N", "missing", "nil", "..", ":"};

bool capital_letters(std::string_view text) noexcept {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// The markers spelt in capital letters (NA, NULL) that the column holds
// among codes of their length in capitals, such as country codes: there
// they are values. Most of the column's other values, and at least three,
// must be such codes.
MarkerSet codes_among(const std::vector<Fields>& body, size_t column, size_t rows, MarkerSet markers) {
  std::array<size_t, 9> codes_of_length{};  // values in capitals, by length
  size_t others = 0;                          // values that are not markers
  for (size_t r = 0; r < rows; ++r) {
    if (column >= body[r].size()) continue;
    const std::string_view value = strip(body[r][column]);
    if (value.empty() || marker_of(value) != 0) continue;
    ++others;
    if (value.size() < codes_of_length.size() && capital_letters(value)) ++codes_of_length[value.size()];
  }
  MarkerSet codes = 0;
  for (int i = 0; i < kMarkers; ++i) {
    const std::string_view marker = kMarkerTexts[static_cast<size_t>(i)];
    if ((markers & (1u << i)) == 0 || !capital_letters(marker)) continue;
    const size_t like = codes_of_length[marker.size()];
    if (like >= 3 && 5 * like >= 4 * others) codes |= 1u << i;
  }
  return codes;
}

constexpr size_t kKindCells = 600;  // fields of the rows looked at: as for column kinds, at least 10 rows

}  // namespace

std::string_view marker_text(int i) noexcept { return kMarkerTexts[static_cast<size_t>(i)]; }

MarkerSet marker_of(std::string_view text) noexcept {
  if (text.empty() || text.size() > 8) return 0;
  // Most fields start with none of the markers' first characters.
  switch (text.front()) {
    case '#': case '<': case 'N': case 'n': case '-': case '.': case '?': case '\\': case 'm': case ':': break;
    default: return 0;
  }
  for (int i = 0; i < kMarkers; ++i) {
    if (kMarkerTexts[static_cast<size_t>(i)] == text) return 1u << i;
  }
  return 0;
}

namespace {

// The markers that stand bare in a column of text whose other values were
// all quoted, three at least: a writer that quotes every text (R's
// write.csv) writes a missing value bare and the text "NA" quoted.
MarkerSet bare_among_quoted(const std::vector<Fields>& body, size_t column, size_t rows, MarkerSet allowed,
                            const std::vector<std::optional<std::vector<bool>>>& quoted) {
  if (quoted.size() < rows) return 0;
  MarkerSet bare = 0;
  MarkerSet texts = 0;  // markers quoted: values, such as Namibia's code
  size_t quoted_texts = 0;
  for (size_t r = 0; r < rows; ++r) {
    if (column >= body[r].size()) continue;
    if (!quoted[r] || column >= quoted[r]->size()) return 0;
    const std::string_view value = strip(body[r][column]);
    const bool in_quotes = (*quoted[r])[column];
    const MarkerSet marker = marker_of(value) & allowed;
    if (marker != 0 && !in_quotes) {
      bare |= marker;
    } else if (!value.empty()) {
      if (!in_quotes) return 0;  // bare text: the writer quotes as it needs
      texts |= marker;
      ++quoted_texts;
    }
  }
  return quoted_texts >= 3 ? bare & ~texts : 0;
}

}  // namespace

ColumnMarkers column_markers(const std::vector<Fields>& body, const Kinds& kinds,
                             const std::vector<std::optional<std::vector<bool>>>& quoted) {
  ColumnMarkers out;
  // The rows column kinds are told from; markers such as - and .. in
  // columns of a type, in every record read, since the first may come late.
  const size_t rows = std::min(body.size(), std::max<size_t>(10, kKindCells / std::max<size_t>(1, kinds.size())));
  size_t widest = 0;
  for (size_t r = 0; r < rows; ++r) widest = std::max(widest, body[r].size());
  const size_t columns = std::min(widest, kinds.size());
  for (size_t column = 0; column < columns; ++column) {
    const MarkerSet allowed = kinds[column].typed() ? (1u << kMarkers) - 1 : kDefaultMarkers;
    MarkerSet markers = 0;
    bool only_markers = true;  // every value that is not blank is one
    for (size_t r = 0; r < rows; ++r) {
      if (column >= body[r].size()) continue;
      const std::string_view value = strip(body[r][column]);
      if (value.empty()) continue;
      const MarkerSet marker = marker_of(value) & allowed;
      markers |= marker;
      only_markers = only_markers && marker != 0;
    }
    for (size_t r = rows; r < body.size() && kinds[column].typed(); ++r) {
      if (column < body[r].size()) markers |= marker_of(strip(body[r][column])) & ~kDefaultMarkers;
    }
    const MarkerSet bare = markers != 0 && !kinds[column].typed() && !only_markers
                               ? bare_among_quoted(body, column, rows, allowed, quoted)
                               : 0;
    if (markers != 0 && (kinds[column].typed() || only_markers)) {
      out.missing |= markers;
    } else if (bare != 0) {
      out.missing |= bare;
      out.text |= markers & ~bare;
    } else {
      out.text |= markers;
      if (markers != 0) out.codes |= codes_among(body, column, rows, markers);
    }
  }
  return out;
}

MarkerSet markers_in(std::string_view text, char delimiter, bool spaced) {
  std::vector<std::string> separators = {std::string{delimiter}, "\n", "\r"};
  if (spaced) separators.push_back(std::string{delimiter, ' '});
  MarkerSet found = 0;
  std::string field;
  std::string around;
  for (int i = 0; i < 10; ++i) {
    const std::string_view marker = kMarkerTexts[static_cast<size_t>(i)];
    if (text.find(marker) == std::string_view::npos) continue;  // most are nowhere: one look each
    for (const std::string_view quote : {"", "\"", "'"}) {
      ((field = quote) += marker) += quote;
      bool seen = text.starts_with(field);
      for (const std::string& before : separators) {
        if (seen) break;
        ((around = before) += field);
        seen = text.ends_with(around);
        for (const std::string& after : separators) {
          if (seen) break;
          around.resize(before.size() + field.size());
          around += after.front();
          seen = text.find(around) != std::string_view::npos;
        }
      }
      if (seen) {
        found |= 1u << i;
        break;
      }
    }
  }
  return found;
}

}  // namespace sniff
