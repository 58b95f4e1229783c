// The block tokeniser against the byte-at-a-time reader on arbitrary bytes:
// same header, same rows, same error text, whatever the batch sizes (drawn
// from the first byte) and whichever block scan finds the special bytes, in
// the dialect the second byte picks; and the tokeniser's state machine
// alone, without the block accelerations, the same records.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "../tests/cpp/plain_reader.hpp"
#include "fuzz_options.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::mt19937 random(data[0]);
  const csv::Dialect dialect = fuzz::dialect_from_byte(data[1]);
  const std::string input(reinterpret_cast<const char*>(data + 2), size - 2);
  const plain::Outcome expected = plain::read_plainly(input, dialect);
  // The SSE2 block scan, and the processor's best (AVX2 where it has it).
  for (const csv::ScanBlocks scan : {csv::scan_blocks_sse2, csv::best_block_scanner()}) {
    if (!(plain::read_in_batches(input, random, scan, dialect) == expected)) {
      std::fprintf(stderr, "the block tokeniser and the plain reader disagree\n");
      std::abort();
    }
  }
  if (!(plain::tokenize_in_runs(input, random, csv::best_block_scanner(), csv::Accelerations::Off, dialect) ==
        plain::records_plainly(input, dialect))) {
    std::fprintf(stderr, "the tokeniser's state machine and the plain reader disagree\n");
    std::abort();
  }
  return 0;
}
