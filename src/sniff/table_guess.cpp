#include "sniff/table_guess.hpp"

#include <algorithm>
#include <string>

#include "sniff/quoted_fields.hpp"
#include "sniff/tally.hpp"
#include "sniff/text_patterns.hpp"
#include "sniff/utf8_text.hpp"

namespace sniff {

namespace {

constexpr size_t kHeaderCheckRows = 20;  // rows under a block's first that tell whether it is a header
constexpr char kComment = '#';

// The most common record length; of equally common ones, the longest.
// Lines of one field (titles, notes) count for half: a table of several
// columns among them is the table.
template <class Counts>
size_t usual_count(const Counts& counts) {
  const Tally<size_t> tally(counts);
  size_t best = 0;
  double best_weight = -1.0;
  for (const auto& [count, times] : tally.entries()) {
    const double weight = static_cast<double>(times) / (count == 1 ? 2.0 : 1.0);
    if (weight > best_weight || (weight == best_weight && count > best)) {
      best = count;
      best_weight = weight;
    }
  }
  return best;
}

size_t usual_in(const std::vector<size_t>& counts, Block block, size_t columns) {
  return static_cast<size_t>(std::count(counts.begin() + static_cast<std::ptrdiff_t>(block.begin),
                                        counts.begin() + static_cast<std::ptrdiff_t>(block.end), columns));
}

// The records in runs without a blank line between them.
std::vector<Block> blocks_of(const Records& records, std::string_view text) {
  if (records.empty()) return {};
  const size_t last_start = records.back().start;
  if (lines_before(text, last_start) == records.size() - 1) return {Block{0, records.size()}};  // a record on every line
  std::vector<size_t> cuts;
  for (const size_t end : blank_line_ends(text, last_start + 1)) {
    const auto after = std::lower_bound(records.begin(), records.end(), end,
                                        [](const Record& r, size_t at) { return r.start < at; });
    const auto cut = static_cast<size_t>(after - records.begin());
    if (cut > 0 && cut < records.size()) cuts.push_back(cut);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<Block> blocks;
  size_t begin = 0;
  for (const size_t cut : cuts) {
    blocks.push_back(Block{begin, cut});
    begin = cut;
  }
  blocks.push_back(Block{begin, records.size()});
  return blocks;
}

struct FirstTable {
  size_t block;
  size_t columns;
};

// The block that holds the table, and its number of columns: of the blocks
// that look like tables (two or more records of one length above one,
// making up most of the block), the first that starts with a header row,
// else the one with the most such records.
FirstTable first_table(const Records& records, const std::vector<size_t>& counts, const std::vector<Block>& blocks) {
  struct Candidate {
    size_t block, columns, alike;
  };
  std::vector<Candidate> tables;
  for (size_t b = 0; b < blocks.size(); ++b) {
    const std::span<const size_t> lengths(counts.begin() + static_cast<std::ptrdiff_t>(blocks[b].begin),
                                          blocks[b].size());
    const size_t columns = usual_count(lengths);
    const auto alike = static_cast<size_t>(std::count(lengths.begin(), lengths.end(), columns));
    if (columns >= 2 && alike >= 2 && 3 * alike >= 2 * blocks[b].size()) tables.push_back({b, columns, alike});
  }
  if (tables.size() > 1) {
    for (const Candidate& table : tables) {
      const Block block = blocks[table.block];
      const Kinds kinds = column_kinds(records, counts, block.begin + 1,
                                       std::min(block.end, block.begin + 1 + kHeaderCheckRows), table.columns, false);
      if (counts[block.begin] == table.columns && header_leaning(records[block.begin].fields, kinds) > 0) {
        return FirstTable{table.block, table.columns};
      }
    }
  }
  if (!tables.empty()) {
    const Candidate* best = &tables.front();
    for (const Candidate& table : tables) {
      if (table.alike > best->alike) best = &table;  // the first of the most
    }
    return FirstTable{best->block, best->columns};
  }
  const size_t columns = usual_count(counts);
  size_t best = 0;
  size_t most = 0;
  for (size_t b = 0; b < blocks.size(); ++b) {
    const size_t usual = usual_in(counts, blocks[b], columns);
    if (b == 0 || usual > most) {
      best = b;
      most = usual;
    }
  }
  return FirstTable{best, columns};
}

// The records of the main block and of the blocks around it that go on
// with the table: mostly of its length, with no header row between.
Block continued(const Records& records, const std::vector<size_t>& counts, const std::vector<Block>& blocks,
                size_t main, size_t columns, const Kinds& kinds) {
  const auto goes_on = [&](Block block) {
    return 2 * usual_in(counts, block, columns) >= block.size() && !header_like(records[block.begin].fields, kinds);
  };
  size_t first = main;
  while (first > 0 && goes_on(blocks[first]) && goes_on(blocks[first - 1]) && blocks[first - 1].size() > 1) --first;
  if (first > 0 && blocks[first - 1].size() == 1 && header_like(records[blocks[first - 1].begin].fields, kinds)) {
    --first;  // a header row, then a blank line
  }
  size_t last = main;
  while (last + 1 < blocks.size() && goes_on(blocks[last + 1])) ++last;
  return Block{blocks[first].begin, blocks[last].end};
}

// Whether the text names a row of totals, as spreadsheets' exports end
// with one.
bool totals_word(std::string_view text) {
  std::string word;
  for (const char c : strip(text)) word += static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  if (word.ends_with(':')) word.pop_back();
  for (const std::string_view total : {"total", "totals", "grand total", "sum", "summe", "gesamt", "insgesamt",
                                       "totaal", "totale", "somme", "suma", "summa"}) {
    if (word == total) return true;
  }
  return false;
}

// A row of totals: named so in its first field, and numbers or nothing in
// the others (`Total,,,629.1`, `Summe;;`).
bool totals_row(const Fields& fields) {
  if (fields.empty() || !totals_word(fields.front())) return false;
  return std::all_of(fields.begin() + 1, fields.end(), [](std::string_view field) {
    const Cell cell = classify(field);
    return cell == Cell::Empty || cell == Cell::Number || cell == Cell::Decimal;
  });
}

// Whether every field the row has where the table holds values of a type is
// text, and there is one at least: a note such as "Source: the office, 2024"
// that the delimiter happens to cut.
bool no_values(const Fields& fields, const Kinds& kinds) {
  bool typed = false;
  for (size_t i = 0; i < std::min(fields.size(), kinds.size()); ++i) {
    if (!kinds[i].typed()) continue;
    typed = true;
    if (classify(fields[i]) != Cell::Text) return false;
  }
  return typed;
}

// Whether a row of half the table's fields or fewer holds text alone: a
// sentence the delimiter cuts ("Source: the office, figures provisional.").
bool words_only(const Fields& fields, size_t count, size_t columns) {
  return 2 * count <= columns && std::all_of(fields.begin(), fields.end(), [](std::string_view field) {
           const Cell cell = classify(field);
           return cell == Cell::Text || cell == Cell::Empty;
         });
}

// A note rather than a row: one field under a table of several; a row of
// totals; words alone in half the fields or fewer; a row with text
// wherever it has a field where values of a type
// belong; or two fields fewer than the table's, or more, with text where
// it holds values of a type (with one field fewer, only when the others are
// empty, as in `Note;;`). Other rows of more fields, and rows with values,
// stay.
bool unlike_row(const Fields& fields, size_t count, size_t columns, const Kinds& kinds) {
  if (columns == 1 || count > columns) return false;
  if (count == 1 || totals_row(fields) || words_only(fields, count, columns)) return true;
  const bool misfit = header_like(fields, kinds) && !fits(fields, kinds);
  if (!misfit) return false;
  if (no_values(fields, kinds)) return true;
  if (count == columns) return false;
  const bool only_first = std::all_of(fields.begin() + 1, fields.end(), [](std::string_view f) { return strip(f).empty(); });
  return count < columns - 1 || only_first;
}

// The end of the table without the records at its end that are unlike its
// rows: notes of another length, or text where values belong.
size_t without_notes(const Records& records, const std::vector<size_t>& counts, size_t begin, size_t end,
                     size_t columns, const Kinds& kinds) {
  while (end > begin && unlike_row(records[end - 1].fields, counts[end - 1], columns, kinds)) --end;
  // A second table right below, without a blank line: a header row of
  // another length, and rows of its length to the end.
  size_t other = end;
  while (other > begin + 1 && counts[other - 1] == counts[end - 1] && counts[end - 1] != columns) --other;
  if (other < end && end - other >= 2 && header_like(records[other].fields, kinds)) return other;
  return end;
}

}  // namespace

std::vector<size_t> field_counts(const Records& records) {
  std::vector<size_t> counts;
  counts.reserve(records.size());
  for (const Record& record : records) counts.push_back(record.fields.size());
  return counts;
}

Table find_table(const Records& records, std::string_view text, const Candidate& candidate) {
  Table table;
  if (records.empty()) return table;
  const std::vector<size_t> counts = field_counts(records);
  const std::vector<Block> blocks = blocks_of(records, text);
  const auto [main, columns] = first_table(records, counts, blocks);
  table.columns = columns;
  table.column_kinds = column_kinds(records, counts, blocks[main].begin, blocks[main].end, columns);
  // Told again without the notes at the block's end (a row of totals).
  const size_t rows_end =
      without_notes(records, counts, blocks[main].begin, blocks[main].end, columns, table.column_kinds);
  if (rows_end > blocks[main].begin && rows_end < blocks[main].end) {
    table.column_kinds = column_kinds(records, counts, blocks[main].begin, rows_end, columns);
  }
  const Kinds& kinds = table.column_kinds;
  const Block span = continued(records, counts, blocks, main, columns, kinds);
  const HeaderRow header =
      header_row(records, counts, span.begin, span.end, columns, kinds, [&](size_t row) {
        return quoted_over_bare(text, records, counts, row, span.end, table.columns, kinds, candidate);
      });
  table.first = header.first;
  table.header = header.header;
  table.header_certain = header.certain;
  const size_t body_begin = header.first + (header.header ? 1 : 0);
  table.end = without_notes(records, counts, body_begin, span.end, columns, kinds);
  std::vector<Fields> body;
  size_t alike = 0;
  for (size_t i = body_begin; i < table.end; ++i) {
    body.push_back(records[i].fields);
    alike += counts[i] == columns ? 1 : 0;
  }
  table.consistency = body.empty() ? 1.0 : static_cast<double>(alike) / static_cast<double>(body.size());
  // Which fields their writer quoted, where a quote is read: a writer that
  // quotes every text leaves only missing values bare.
  std::vector<std::optional<std::vector<bool>>> quoted;
  if (candidate.quote != 0) {
    for (size_t i = body_begin; i < table.end; ++i) {
      quoted.push_back(quoted_fields(text, records[i], candidate.delimiter, candidate.quote));
    }
  }
  table.markers = column_markers(body, kinds, quoted);
  return table;
}

bool comment_lines(const Records& records) {
  if (records.empty()) return false;
  const size_t columns = usual_count(field_counts(records));
  bool marked = false;
  for (const Record& record : records) {
    if (record.fields.empty() || record.fields.front().empty() || record.fields.front().front() != kComment) continue;
    if (record.fields.size() == columns) return false;
    marked = true;
  }
  return marked;
}

std::optional<size_t> trailing_notes(const Records& records, std::string_view text, const Table& table) {
  if (records.empty()) return std::nullopt;
  const std::vector<size_t> counts = field_counts(records);
  const std::vector<Block> blocks = blocks_of(records, text);
  const Block last = blocks.back();
  if (blocks.size() > 1 && (2 * usual_in(counts, last, table.columns) < last.size() ||
                            header_like(records[last.begin].fields, table.column_kinds))) {
    return records[last.begin].start;
  }
  const size_t end = without_notes(records, counts, 0, records.size(), table.columns, table.column_kinds);
  if (end < records.size()) return records[end].start;
  return std::nullopt;
}

}  // namespace sniff
