// Drives the whole conversion with arbitrary bytes. The first two bytes pick
// chunk_size (1 to 16) and sample_rows (0 to 15), the next two the dialect
// and the table layout; the rest is the CSV.
// Besides not crashing, every run checks that the result is a well-formed
// file or a stage-prefixed error, that another chunk_size gives the same
// rows and types, and that a second call gives the same bytes; and that
// the second look at what was lost finds as many misfits and records with
// extra fields as the conversion counted, in input order.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <span>
#include <string>

#include "convert/driver.hpp"
#include "convert/rejects.hpp"
#include "fuzz_options.hpp"
#include "qarn_check.hpp"

namespace {

struct Outcome {
  bool ok;
  common::ByteBuffer out;
  std::string message;
  convert::ConversionReport report;
};

Outcome run_conversion(std::span<const uint8_t> csv, uint64_t chunk_size, uint64_t sample_rows,
                       const convert::ConvertOptions& options) {
  Outcome outcome{true, {}, {}, {}};
  if (auto failure =
          convert::convert_csv_to_qarn(csv, chunk_size, sample_rows, outcome.out, options, &outcome.report)) {
    outcome.ok = false;
    outcome.message = failure->message;
  }
  return outcome;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

void check_rejects(std::span<const uint8_t> csv, const convert::ConvertOptions& options,
                   const convert::ConversionReport& report) {
  const std::vector<convert::Reject> rejects = convert::find_rejects(csv, options, report, UINT64_MAX);
  uint64_t misfits = 0, extra = 0;
  for (size_t i = 0; i < rejects.size(); ++i) {
    const convert::Reject& reject = rejects[i];
    if (reject.column == convert::kExtraFields) ++extra;
    else if (reject.column >= 0 && static_cast<size_t>(reject.column) < report.names.size()) ++misfits;
    else fail("a reject names no column");
    if (reject.byte > csv.size() || reject.line == 0) fail("a reject lies outside the input");
    if (i > 0 && (reject.record < rejects[i - 1].record || reject.byte < rejects[i - 1].byte)) {
      fail("rejects out of order");
    }
  }
  if (misfits != report.lost.misfits() || extra != report.lost.records_with_extra_fields) {
    fail("the rejects differ from what the conversion counted");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint64_t chunk_size = 1 + data[0] % 16;
  const uint64_t sample_rows = data[1] % 16;
  const convert::ConvertOptions options = fuzz::options_from_bytes(data[2], data[3]);
  const std::span<const uint8_t> csv(data + 4, size - 4);

  const Outcome first = run_conversion(csv, chunk_size, sample_rows, options);
  const Outcome again = run_conversion(csv, chunk_size, sample_rows, options);
  if (first.ok != again.ok || first.message != again.message || first.out.view() != again.out.view()) {
    fail("a second call differs");
  }
  const Outcome rechunked = run_conversion(csv, chunk_size == 1 ? 1000 : 1, sample_rows, options);
  if (!first.ok) {
    if (!starts_with(first.message, "CSV header error: CSV parse error: record ") &&
        !starts_with(first.message, "CSV parse error: CSV parse error: record ") &&
        !starts_with(first.message, "column_types numbers a column the table does not have: ")) {
      fail("unexpected failure message");
    }
    if (rechunked.ok || rechunked.message != first.message) fail("chunk_size changed the error");
    return 0;
  }
  const auto table = fuzz::Reader(first.out.bytes()).table();
  if (!table) fail("malformed file");
  for (uint64_t rows : table->slice_rows) {
    if (rows > chunk_size) fail("slice longer than chunk_size");
  }
  for (size_t i = 0; i + 1 < table->slice_rows.size(); ++i) {
    if (table->slice_rows[i] != chunk_size) fail("short slice before the last");
  }
  if (!rechunked.ok) fail("chunk_size changed success into failure");
  const auto other = fuzz::Reader(rechunked.out.bytes()).table();
  if (!other) fail("malformed file after rechunking");
  if (!table->same_rows(*other)) fail("chunk_size changed the rows or types");
  check_rejects(csv, options, first.report);
  return 0;
}
