#include "sniff/column_kind.hpp"

#include <algorithm>

#include "sniff/null_markers.hpp"
#include "sniff/tally.hpp"

namespace sniff {

namespace {

constexpr double kTypedShare = 0.6;  // of a column's values, for the column to be of a type
constexpr size_t kHeaderRows = 3;    // header rows at most, the last of which names the columns
constexpr double kShapeShare = 0.8;  // of a column's values, for the column to have a shape of text
constexpr size_t kKindCells = 600;   // fields that column types are told from, at least 10 rows

Kind of_type(Cell cell) { return Kind{Kind::Of::Type, cell, {}}; }

// Whole numbers or decimals, as nearly all of a column's numbers are;
// decimals when they are mixed.
Kind number_kind(std::span<const Cell> cells, size_t numbers) {
  const auto whole = static_cast<size_t>(std::count(cells.begin(), cells.end(), Cell::Number));
  return of_type(static_cast<double>(whole) >= kShapeShare * static_cast<double>(numbers) ? Cell::Number
                                                                                          : Cell::Decimal);
}

// What most of a column's values have in common below the first `skip`
// fields, or nothing; `decided` false when the values do not tell.
Kind kind_below(const std::vector<std::string_view>& fields, const std::vector<Cell>& cells, size_t skip,
                bool& decided) {
  decided = true;
  const std::span<const Cell> below(cells.begin() + static_cast<std::ptrdiff_t>(skip), cells.end());
  size_t missing = 0, texts = 0, numbers = 0, dates = 0, bools = 0;
  Cell first_other = Cell::Text;  // of dates and truth values, the first seen
  for (const Cell cell : below) {
    switch (cell) {
      case Cell::Empty:
      case Cell::Null: ++missing; break;
      case Cell::Text: ++texts; break;
      case Cell::Number:
      case Cell::Decimal: ++numbers; break;
      case Cell::Date:
      case Cell::Bool:
        (cell == Cell::Date ? dates : bools) += 1;
        if (first_other == Cell::Text) first_other = cell;
        break;
    }
  }
  const size_t present = below.size() - missing;
  const double share = static_cast<double>(present);
  // Markers such as - and .. are missing values only in a column of a
  // type, which they do not decide: a statistics office's column may be
  // mostly '..' around its numbers.
  size_t markers = 0;
  for (size_t i = skip; i < cells.size(); ++i) {
    markers += cells[i] == Cell::Text && typed_only_marker(fields[i]) ? 1 : 0;
  }
  const double valued = static_cast<double>(present - markers);
  // The more common of dates and truth values; the first seen of equals.
  Cell typed = first_other;
  if (dates != bools && first_other != Cell::Text) typed = dates > bools ? Cell::Date : Cell::Bool;
  const size_t typed_count = typed == Cell::Date ? dates : typed == Cell::Bool ? bools : 0;
  if (static_cast<double>(numbers) >= kTypedShare * valued && numbers > typed_count) return number_kind(below, numbers);
  if (typed != Cell::Text && static_cast<double>(typed_count) >= kTypedShare * valued) return of_type(typed);
  // A shape, weaker evidence than a type, is not told by fewer values than
  // were skipped as header rows (two rows of five would speak for the
  // three above them), unless by three or more.
  const bool few = present < 2 || (present < skip && present < 3);
  if (static_cast<double>(texts) < kShapeShare * share || few) {
    decided = false;
    return Kind{};
  }
  Tally<std::string> shapes;
  for (size_t i = skip; i < cells.size(); ++i) {
    if (cells[i] == Cell::Text) shapes.add(shape(fields[i]));
  }
  const auto& [common, times] = shapes.most_common();
  // A shape with digits or signs, unlike the words that name columns.
  const bool distinctive = common.find_first_not_of("Aa _") != std::string::npos;
  if (static_cast<double>(times) >= kShapeShare * share && distinctive) return Kind{Kind::Of::Shape, Cell::Text, common};
  decided = false;
  return Kind{};
}

// What most of a column's values have in common, below the first one to
// three fields (which may be header rows) when `skip_header`.
Kind column_kind(const std::vector<std::string_view>& fields, bool skip_header) {
  std::vector<Cell> cells;
  cells.reserve(fields.size());
  for (const std::string_view field : fields) cells.push_back(classify(field));
  const size_t first = skip_header ? 1 : 0;
  const size_t last = skip_header ? std::min(kHeaderRows, cells.size() - 1) : 0;
  for (size_t skip = first; skip <= last; ++skip) {
    bool decided = false;
    Kind kind = kind_below(fields, cells, skip, decided);
    if (decided) return kind;
  }
  return Kind{};
}

}  // namespace

Kinds column_kinds(const Records& records, const std::vector<size_t>& counts, size_t begin, size_t end,
                   size_t columns, bool skip_header) {
  const size_t most_rows = std::max<size_t>(10, kKindCells / columns) + kHeaderRows;
  std::vector<Fields> rows;
  for (size_t i = begin; i < end; ++i) {
    if (rows.size() == most_rows) break;
    if (counts[i] == columns) rows.push_back(records[i].fields);
  }
  Kinds kinds(columns);
  if (rows.empty()) return kinds;
  std::vector<std::string_view> values(rows.size());
  for (size_t column = 0; column < columns; ++column) {
    for (size_t r = 0; r < rows.size(); ++r) values[r] = rows[r][column];
    kinds[column] = column_kind(values, skip_header);
  }
  return kinds;
}

namespace {

// What a field of a column of the kind holds: markers such as - and .. are
// missing values in a column of a type.
Cell cell_in(std::string_view field, const Kind& kind) {
  const Cell cell = classify(field);
  if (cell == Cell::Text && kind.typed() && typed_only_marker(field)) return Cell::Null;
  return cell;
}

}  // namespace

bool header_like(const Fields& fields, const Kinds& kinds) {
  const size_t n = std::min(fields.size(), kinds.size());
  for (size_t i = 0; i < n; ++i) {
    if (kinds[i].typed() && cell_in(fields[i], kinds[i]) == Cell::Text) return true;
  }
  return false;
}

bool fits(const Fields& fields, const Kinds& kinds) {
  const size_t n = std::min(fields.size(), kinds.size());
  for (size_t i = 0; i < n; ++i) {
    if (!kinds[i].typed()) continue;
    const Cell cell = cell_in(fields[i], kinds[i]);
    if (!is_typed(cell) && !is_missing(cell)) return false;
  }
  return true;
}

Votes votes(const Fields& fields, const Kinds& kinds) {
  Votes v;
  const size_t n = std::min(fields.size(), kinds.size());
  for (size_t i = 0; i < n; ++i) {
    const Kind& kind = kinds[i];
    if (kind.of == Kind::Of::Nothing) continue;
    const Cell cell = cell_in(fields[i], kind);
    if (is_missing(cell)) continue;
    if (kind.typed()) {
      // A value of another type (a year naming a column of rates) tells nothing.
      v.unlike += cell == Cell::Text ? 2 : 0;
      v.like += cell == kind.cell ? 2 : 0;
    } else if (cell == Cell::Text && shape(fields[i]) == kind.shape) {
      v.like += 1;
    } else {
      v.unlike += 1;
    }
  }
  return v;
}

}  // namespace sniff
