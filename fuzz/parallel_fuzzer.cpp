// Checks the parallel conversion against the single-threaded one on
// arbitrary bytes. The first three bytes pick chunk_size (1 to 16),
// sample_rows (0 to 15) and how the input is cut into segments (1 to 64
// bytes, so that nearly every line end is a cut), the next two the dialect
// and the table layout; the rest is the CSV.
// Both must give the same bytes, or fail with the same message.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "convert/driver.hpp"
#include "convert/parallel_driver.hpp"
#include "fuzz_options.hpp"

namespace {

struct Outcome {
  bool ok = true;
  std::string bytes;  // the file, or the failure's message
};

template <typename Convert>
Outcome run(Convert convert) {
  common::ByteBuffer out;
  if (auto failure = convert(out)) return {false, failure->message};
  return {true, std::string(out.view())};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint64_t chunk_size = 1 + data[0] % 16;
  const uint64_t sample_rows = data[1] % 16;
  const size_t segment_bytes = 1 + data[2] % 64;
  const convert::ConvertOptions options = fuzz::options_from_bytes(data[3], data[4]);
  const std::span<const uint8_t> csv(data + 5, size - 5);

  convert::ConversionReport single_report, parallel_report;
  const Outcome single = run([&](common::ByteBuffer& out) {
    return convert::convert_csv_to_qarn(csv, chunk_size, sample_rows, out, options, &single_report);
  });
  const Outcome parallel = run([&](common::ByteBuffer& out) {
    return convert::convert_csv_to_qarn_parallel(csv, chunk_size, sample_rows, 3, out, options, segment_bytes,
                                                 &parallel_report);
  });
  if (single.ok != parallel.ok || single.bytes != parallel.bytes) {
    std::fprintf(stderr, "the parallel conversion differs: %s\n",
                 parallel.ok ? "(a file)" : parallel.bytes.c_str());
    std::abort();
  }
  // Rows read twice where a segment began inside a record are counted once.
  const fields::LostCells& a = single_report.lost;
  const fields::LostCells& b = parallel_report.lost;
  if (single.ok && (a.misfits() != b.misfits() || a.records_with_extra_fields != b.records_with_extra_fields)) {
    std::fprintf(stderr, "the parallel conversion counts other losses\n");
    std::abort();
  }
  return 0;
}
