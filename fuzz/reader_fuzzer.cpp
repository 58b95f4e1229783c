// The block tokeniser against the byte-at-a-time reader on arbitrary bytes:
// same header, same rows, same error text, whatever the batch sizes (drawn
// from the first byte) and whichever block scan finds the special bytes; and
// the tokeniser's state machine alone, without the block accelerations, the
// same records.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "../tests/cpp/plain_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::mt19937 random(data[0]);
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  const plain::Outcome expected = plain::read_plainly(input);
  // The SSE2 block scan, and the processor's best (AVX2 where it has it).
  for (const csv::ScanBlocks scan : {csv::scan_blocks_sse2, csv::best_block_scanner()}) {
    if (!(plain::read_in_batches(input, random, scan) == expected)) {
      std::fprintf(stderr, "the block tokeniser and the plain reader disagree\n");
      std::abort();
    }
  }
  if (!(plain::tokenize_in_runs(input, random, csv::best_block_scanner(), csv::Accelerations::Off) ==
        plain::records_plainly(input))) {
    std::fprintf(stderr, "the tokeniser's state machine and the plain reader disagree\n");
    std::abort();
  }
  return 0;
}
