// The header walk: the data begins at the first row that reads as data,
// and with the rows of its length just above it that do not read as a
// header; the row above those is the header row when it reads as one (rows
// above it are a title, notes or more header rows).
#include <algorithm>
#include <cstdlib>

#include "sniff/table_guess.hpp"
#include "sniff/utf8_text.hpp"

namespace sniff {

namespace {

// The first record of usual length that the next ones mostly follow.
size_t run_start(const std::vector<size_t>& counts, size_t columns, size_t begin, size_t end) {
  for (size_t i = begin; i < end; ++i) {
    if (counts[i] != columns) continue;
    const size_t stop = std::min(i + 4, end);
    size_t alike = 0;
    for (size_t j = i + 1; j < stop; ++j) alike += counts[j] == columns ? 1 : 0;
    if (alike * 3 >= 2 * (stop - i - 1)) return i;
  }
  return begin;
}

// A row over the header that names groups of columns: at most half of its
// fields filled, all with text, above a row whose fields are all filled.
bool names_groups(const Records& records, size_t i) {
  if (i + 1 >= records.size()) return false;
  const Fields& fields = records[i].fields;
  size_t filled = 0;
  for (const std::string_view field : fields) {
    if (strip(field).empty()) continue;
    if (classify(field) != Cell::Text) return false;
    ++filled;
  }
  if (filled == 0 || 2 * filled > fields.size()) return false;
  return std::all_of(records[i + 1].fields.begin(), records[i + 1].fields.end(),
                     [](std::string_view field) { return !strip(field).empty(); });
}

// The header row when nothing tells it from data: the first row, or the
// one below it when the first names groups of columns.
size_t over_group_row(const Records& records, const std::vector<size_t>& counts, size_t start, size_t end) {
  if (start + 2 < end && counts[start] == counts[start + 1] && names_groups(records, start)) return start + 1;
  return start;
}

// Whether every row of `columns` fields among records[begin, end) leaves
// its last one empty: a delimiter at the end of each data row, which a
// header of one name fewer reads without losing a value.
bool last_field_empty(const Records& records, const std::vector<size_t>& counts, size_t begin, size_t end,
                      size_t columns) {
  bool any = false;
  for (size_t i = begin; i < end; ++i) {
    if (counts[i] != columns) continue;
    if (!strip(records[i].fields.back()).empty()) return false;
    any = true;
  }
  return any;
}

}  // namespace

HeaderRow header_row(const Records& records, const std::vector<size_t>& counts, size_t begin, size_t end,
                     size_t columns, const Kinds& kinds, const std::function<bool(size_t)>& quoted_over_bare) {
  // Indexes are signed here: the walk looks at the row above the first.
  using Index = std::ptrdiff_t;
  const auto count = [&](Index i) { return counts[static_cast<size_t>(i)]; };
  const auto lean = [&](Index i) { return header_leaning(records[static_cast<size_t>(i)].fields, kinds); };
  const auto near_length = [&](Index i) {
    const size_t n = count(i);
    return n >= std::min<size_t>(2, columns) && (n > columns ? n - columns : columns - n) <= 1;
  };
  const auto b = static_cast<Index>(begin);
  Index data = -1;
  for (size_t i = begin; i < end && data < 0; ++i) {
    if (counts[i] == columns && lean(static_cast<Index>(i)) < 0) data = static_cast<Index>(i);
  }
  if (data < 0) {
    const size_t start = run_start(counts, columns, begin, end);
    if (records.size() == 1) {
      const Fields& fields = records[start].fields;
      const bool typed = std::any_of(fields.begin(), fields.end(),
                                     [](std::string_view field) { return is_typed(classify(field)); });
      return HeaderRow{start, !typed, false};
    }
    return HeaderRow{over_group_row(records, counts, start, end), true, false};
  }
  Index first = data;
  // Rows of data with missing values, or (leaning clearly) a field too
  // many or too few; a first row that tells nothing is left to be the
  // header, as most first rows are.
  while (first > b && near_length(first - 1)) {
    const long leaning = lean(first - 1);
    if (!(leaning < 0 || (leaning == 0 && count(first - 1) == columns && first - 1 > b))) break;
    --first;
  }
  Index above = first - 1;
  const auto at_first = static_cast<size_t>(first);
  // Numbers naming the columns over numbers read as data, unless their
  // writer quoted them where it leaves the values bare.
  if (above < b || !near_length(above)) return HeaderRow{at_first, quoted_over_bare(at_first), true};
  const long above_lean = lean(above);
  if (above_lean < 0) return HeaderRow{at_first, false, true};
  if (above_lean == 0 && (above > b || votes(records[static_cast<size_t>(above)].fields, kinds).like > 0)) {
    return HeaderRow{count(above) == columns ? static_cast<size_t>(above) : at_first, false, true};  // more data
  }
  // Of two header rows, the one that reads more as a header: the row above
  // names groups of columns, or the row below is data that does not fit.
  long leaning = above_lean;
  if (above - 1 >= b && near_length(above - 1)) {
    const long higher = lean(above - 1);
    if (higher > above_lean) {
      --above;
      leaning = higher;
    }
  }
  if (count(above) + 1 == columns && last_field_empty(records, counts, static_cast<size_t>(above) + 1, end, columns)) {
    return HeaderRow{static_cast<size_t>(above), true, leaning > 0};
  }
  if (count(above) < columns) {
    // A header without a name for every column would drop the last one's
    // values: the columns go by number.
    return HeaderRow{static_cast<size_t>(above) + 1, false, true};
  }
  return HeaderRow{static_cast<size_t>(above), true, leaning > 0};
}

}  // namespace sniff
