// Guessing where the table of a sample lies once its dialect is known: the
// lines before it, whether its first row names the columns, the lines
// after it (footnotes, a second table) and the markers of missing values it
// uses.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "sniff/column_kind.hpp"
#include "sniff/null_markers.hpp"
#include "sniff/sample_records.hpp"

namespace sniff {

struct Table {
  size_t columns = 1;
  size_t first = 0;  // the index of the table's first record (its header row, if any)
  size_t end = 0;    // the index after its last record: those after it are notes
  bool header = true;
  bool header_certain = false;  // whether types told, rather than a default
  double consistency = 1.0;     // the share of the table's records with `columns` fields
  ColumnMarkers markers;
  Kinds column_kinds;  // what each column's values have in common
};

// A run of records, records[begin, end), without a blank line between.
struct Block {
  size_t begin;
  size_t end;
  [[nodiscard]] size_t size() const noexcept { return end - begin; }
};

// The table among the records of `text`, a sample's start. Blank lines
// split the records into blocks: the table is the first block that looks
// like one, with the blocks around it that continue it (not after a header
// row, not starting with one).
Table find_table(const Records& records, std::string_view text, const Candidate& candidate);

// Whether lines that start with # are notes rather than records: none of
// them is of the length of most records (a row whose first value starts
// with # is one).
bool comment_lines(const Records& records);

// Where the notes after the table begin among the records of the end of a
// long input (`text`), or nothing: the last block when it does not go on
// with the table, or else the records at its end unlike its rows.
std::optional<size_t> trailing_notes(const Records& records, std::string_view text, const Table& table);

// Shared with the header walk (header_row.cpp).
std::vector<size_t> field_counts(const Records& records);

struct HeaderRow {
  size_t first;  // the table's first record
  bool header;
  bool certain;  // whether the values below it told
};
// The first record of the table among records[begin, end), whether it is
// a header row, and whether the values below it told.
// `quoted_over_bare(i)` says whether records[i] has every field quoted
// and the row below it, numbers bare.
HeaderRow header_row(const Records& records, const std::vector<size_t>& counts, size_t begin, size_t end,
                     size_t columns, const Kinds& kinds, const std::function<bool(size_t)>& quoted_over_bare);

}  // namespace sniff
