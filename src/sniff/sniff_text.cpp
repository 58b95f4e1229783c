#include "sniff/sniff_text.hpp"

#include <algorithm>

#include "sniff/dialect_guess.hpp"
#include "sniff/table_guess.hpp"
#include "sniff/utf8_text.hpp"

namespace sniff {

namespace {

constexpr size_t kTableRecords = 250;  // records the table is found among
constexpr size_t kTableFields = 20000;  // fields of those records, at least 50 records
constexpr size_t kTailBytes = 1 << 14;  // the end of a long input, where notes would be
constexpr char kComment = '#';
constexpr size_t kMarkersAnywhere = 1 << 14;  // text after the records read where markers count in any column

// How many lines at the end of `text`, the end of an input, are notes
// after the table.
size_t notes_at_end(std::string_view text, const Candidate& candidate, char comment, const Table& table) {
  if (text.empty()) return 0;
  const Records records = read_records(text, candidate, text.size(), comment);
  const std::optional<size_t> start = trailing_notes(records, text, table);
  return start ? lines_from(text, *start) : 0;
}

// The default markers that stand as whole fields of the records of `text`
// in columns of a type.
MarkerSet typed_markers(std::string_view text, const Candidate& candidate, char comment, const Kinds& kinds) {
  if (markers_in(text, candidate.delimiter, candidate.skip_initial_space) == 0) return 0;  // most texts: one look
  MarkerSet found = 0;
  for (const Record& record : read_records(text, candidate, text.size(), comment)) {
    const size_t columns = std::min(record.fields.size(), kinds.size());
    for (size_t column = 0; column < columns; ++column) {
      if (kinds[column].typed()) found |= marker_of(strip(record.fields[column])) & kDefaultMarkers;
    }
  }
  return found;
}

// The markers found in the table's columns, and those found anywhere else
// in the text looked at that no column holds as text: as whole fields of
// the records read or of the 16 KiB after them, and further down (the rest
// of the text looked at, and the input's end) in columns of a type.
// Columns with a few missing values often show the first far down (R's
// exports write NA), while a marker that is a value of a column of text,
// such as a country code, may show only there too. A marker that a column
// holds among codes like it (NA among country codes) is a value wherever
// else it stands: taken, it would empty every cell of that code.
MarkerSet null_values(std::string_view text, const Records& records, bool all_read, const Candidate& candidate,
                      char comment, const Table& table, std::optional<std::string_view> tail) {
  MarkerSet anywhere = 0;
  for (const Record& record : records) {
    for (const std::string_view field : record.fields) anywhere |= marker_of(field) & kDefaultMarkers;
  }
  if (!all_read && !records.empty()) {
    const std::string_view after = text.substr(records.back().start);
    anywhere |= markers_in(after.substr(0, kMarkersAnywhere), candidate.delimiter, candidate.skip_initial_space);
    if (after.size() > kMarkersAnywhere) anywhere |= typed_markers(after, candidate, comment, table.column_kinds);
  }
  if (tail) anywhere |= typed_markers(after_first_line(*tail), candidate, comment, table.column_kinds);
  return (table.markers.missing | (anywhere & ~table.markers.text)) & ~table.markers.codes;
}

}  // namespace

Sniffed sniff_text(std::string_view text, bool whole, std::optional<std::string_view> tail) {
  const DialectGuess guess = guess_dialect(text);
  Candidate candidate = guess.candidate;
  const size_t limit = std::max<size_t>(50, std::min(kTableRecords, kTableFields / guess.widest));
  Records records = read_records(text, candidate, limit);
  Sniffed out;
  if (candidate.delimiter != kComment && candidate.quote != kComment &&
      text.find(kComment) != std::string_view::npos && comment_lines(records)) {
    out.comment = kComment;
    records = read_records(text, candidate, limit, kComment);
  }
  if (!candidate.skip_initial_space && candidate.delimiter != ' ' && spaces_after_delimiters(records)) {
    if (const auto skipping = skipping_spaces(text, candidate)) {
      candidate = *skipping;
      records = read_records(text, candidate, limit, out.comment);
    }
  }
  out.candidate = candidate;
  const Table table = find_table(records, text, candidate);
  if (!records.empty()) out.skip_rows = lines_before(text, records[table.first].start);
  if (whole && records.size() < limit) {
    if (table.end < records.size()) out.skip_footer = lines_from(text, records[table.end].start);
  } else if (whole) {  // more records than were looked at: the end of the text, past the table's start
    const size_t table_start = records[table.first].start;
    const std::string_view end = text.size() - table_start <= kTailBytes
                                     ? text.substr(table_start)
                                     : after_first_line(text.substr(text.size() - kTailBytes));
    out.skip_footer = notes_at_end(end, candidate, out.comment, table);
  } else if (tail) {
    out.skip_footer = notes_at_end(after_first_line(*tail), candidate, out.comment, table);
  }
  out.header = table.header;
  out.null_values = null_values(text, records, records.size() < limit, candidate, out.comment, table, tail);
  out.number_marks = number_marks(records, table.first + (table.header ? 1 : 0), table.end, candidate.delimiter);
  // A header of fewer names (rows that end with an empty field) makes
  // the converted table that much narrower.
  out.columns = table.header && !records.empty() ? std::min(table.columns, records[table.first].fields.size())
                                                 : table.columns;
  out.margin = guess.margin;
  out.consistency = table.consistency;
  out.header_certain = table.header_certain;
  return out;
}

}  // namespace sniff
