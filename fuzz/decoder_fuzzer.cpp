// Drives the QARN reader with arbitrary bytes. Besides not crashing, every
// run checks that the whole-file read, the check alone and the reading of
// one slice at a time report the same first defect; that a summary, which
// steps over values, finds no defect in a file the full check accepts, and
// agrees with the full read on a valid file; that reading
// some columns gives those columns of the full read; that columns spread
// over threads, or strings laid out as views, read as on one; that a valid file's table can be written
// back as CSV.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "qarn/read_error.hpp"
#include "qarn/table_reader.hpp"
#include "csv_output/table_to_csv.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

std::string outcome(const qarn::ReadStatus& status) {
  return status ? qarn::read_message(*status) : "ok";
}

std::string read_by_slices(std::span<const uint8_t> file, std::vector<uint64_t>& rows) {
  qarn::SliceStream stream(file);
  if (auto err = stream.open()) return outcome(err);
  while (true) {
    qarn::DecodedSlices slice;
    bool finished = false;
    if (auto err = stream.next({}, slice, finished)) return outcome(err);
    if (finished) return "ok";
    rows.push_back(slice.slice_rows.at(0));
  }
}

bool same_values(const qarn::ValueColumn& a, const qarn::ValueColumn& b) {
  if (a.fixed().view() != b.fixed().view() || a.size() != b.size()) return false;
  for (uint64_t i = 0; qarn::is_variable_width(a.type()) && i < a.size(); ++i) {
    if (a.element(i) != b.element(i)) return false;
  }
  return true;
}

void check_selection(std::span<const uint8_t> file, const qarn::DecodedTable& full) {
  const size_t columns = full.slices.columns.size();
  std::vector<uint8_t> selected(columns);
  for (size_t c = 0; c < columns; c += 2) selected[c] = 1;
  qarn::DecodedTable part;
  if (qarn::read_table(file, selected, part)) fail("a selection fails where the full read does not");
  for (size_t c = 0; c < columns; ++c) {
    if (part.slices.columns[c].has_value() != (selected[c] == 1)) fail("selection not honoured");
    if (selected[c] && !same_values(part.slices.columns[c]->values, full.slices.columns[c]->values)) {
      fail("a selected column differs from the full read");
    }
  }
}

bool same_tables(const qarn::DecodedTable& a, const qarn::DecodedTable& b) {
  if (a.slices.slice_rows != b.slices.slice_rows || a.slices.slice_has_invalid != b.slices.slice_has_invalid ||
      a.slices.columns.size() != b.slices.columns.size() ||
      a.slices.slice_properties.size() != b.slices.slice_properties.size()) {
    return false;
  }
  for (size_t c = 0; c < a.slices.columns.size(); ++c) {
    const auto& x = a.slices.columns[c];
    const auto& y = b.slices.columns[c];
    if (x.has_value() != y.has_value()) return false;
    if (x && (!same_values(x->values, y->values) || x->invalid.flags().view() != y->invalid.flags().view())) {
      return false;
    }
  }
  for (const auto& [key, properties] : a.slices.slice_properties) {
    const auto found = b.slices.slice_properties.find(key);
    if (found == b.slices.slice_properties.end() || found->second.size() != properties.size()) return false;
    for (size_t i = 0; i < properties.size(); ++i) {
      if (properties[i].name != found->second[i].name ||
          !same_values(properties[i].values, found->second[i].values)) {
        return false;
      }
    }
  }
  return true;
}

// Two and three threads, however little there is to decode, for every
// column and for every other one.
void check_threads(std::span<const uint8_t> file, const std::string& expected, const qarn::DecodedTable& full) {
  for (unsigned count : {2u, 3u}) {
    qarn::DecodedTable spread;
    const qarn::ReadStatus status = qarn::read_table(file, {}, spread, nullptr, qarn::ReadThreads{count, 0});
    if (outcome(status) != expected) fail("a read on threads reports another outcome");
    if (!status && !same_tables(spread, full)) fail("a read on threads gives another table");
  }
  std::vector<uint8_t> selected(64);
  for (size_t c = 1; c < selected.size(); c += 2) selected[c] = 1;
  qarn::DecodedTable one;
  qarn::DecodedTable spread;
  const std::string selected_outcome = outcome(qarn::read_table(file, selected, one));
  if (outcome(qarn::read_table(file, selected, spread, nullptr, qarn::ReadThreads{2, 0})) != selected_outcome) {
    fail("a selection on threads reports another outcome");
  }
  if (selected_outcome == "ok" && !same_tables(spread, one)) fail("a selection on threads gives another table");
}

// Strings laid out as views, on one thread and on two: the same outcome
// and the same elements.
void check_views(std::span<const uint8_t> file, const std::string& expected, const qarn::DecodedTable& full) {
  for (unsigned count : {1u, 2u}) {
    qarn::DecodedTable viewed;
    const qarn::ReadStatus status =
        qarn::read_table(file, {}, viewed, nullptr, qarn::ReadThreads{count, 0}, qarn::StringLayout::Views);
    if (outcome(status) != expected) fail("a read into views reports another outcome");
    if (!status && !same_tables(viewed, full)) fail("a read into views gives another table");
  }
}

void check_summary(std::span<const uint8_t> file, const qarn::ReadStatus& full_status,
                   const qarn::DecodedTable& full) {
  qarn::FileSummary summary;
  const qarn::ReadStatus status = qarn::summarize_file(file, summary);
  if (status) {
    if (!full_status) fail("the summary finds a defect the full check does not");
    return;
  }
  if (full_status) return;
  if (summary.slice_rows != full.slices.slice_rows) fail("summary rows differ");
  for (size_t c = 0; c < full.slices.columns.size(); ++c) {
    const qarn::InvalidFlags& flags = full.slices.columns[c]->invalid;
    const auto counted = static_cast<uint64_t>(std::count_if(
        flags.flags().data(), flags.flags().data() + flags.flags().size(), [](uint8_t f) { return f; }));
    if (counted != summary.invalid_counts[c]) fail("summary invalid count differs");
  }
}

void write_back(const qarn::DecodedTable& table) {
  std::vector<std::string_view> names(table.head.column_names.begin(), table.head.column_names.end());
  std::vector<csv_output::CsvColumn> columns;
  uint64_t rows = 0;
  for (uint64_t r : table.slices.slice_rows) rows += r;
  for (const auto& column : table.slices.columns) {
    const qarn::ValueColumn& values = column->values;
    columns.push_back({values.type(), values.fixed().data(), values.offsets_view(), values.data().data(),
                       column->invalid.any() ? column->invalid.flags().data() : nullptr});
  }
  common::ByteBuffer out;
  csv_output::table_to_csv(names, columns, rows, out);
  if (!names.empty() && out.empty()) fail("no CSV for a table with columns");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> file(data, size);
  qarn::DecodedTable full;
  const qarn::ReadStatus full_status = qarn::read_table(file, {}, full);
  const std::string expected = outcome(full_status);
  check_threads(file, expected, full);
  check_views(file, expected, full);
  if (outcome(qarn::validate_file(file)) != expected) fail("the check and the full read disagree");
  std::vector<uint64_t> rows;
  if (read_by_slices(file, rows) != expected) fail("slice reading and the full read disagree");
  check_summary(file, full_status, full);
  if (full_status) return 0;
  if (rows != full.slices.slice_rows) fail("slice rows differ");
  check_selection(file, full);
  write_back(full);
  return 0;
}
