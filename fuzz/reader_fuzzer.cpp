// The block tokeniser against the byte-at-a-time reader on arbitrary bytes:
// same header, same rows, same error text, whatever the batch sizes (drawn
// from the first byte).
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
  if (!(plain::read_in_batches(input, random) == plain::read_plainly(input))) {
    std::fprintf(stderr, "the block tokeniser and the plain reader disagree\n");
    std::abort();
  }
  return 0;
}
