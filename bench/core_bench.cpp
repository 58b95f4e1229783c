// Times the conversion core alone, without Python, on a CSV file:
//   core_bench FILE [RUNS]
// Prints the best time and MB/s; handy under perf.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "conversion.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
    return 2;
  }
  // Read in one go: a byte-wise read would dwarf the conversion under callgrind.
  std::ifstream file(argv[1], std::ios::binary | std::ios::ate);
  std::vector<char> text(static_cast<size_t>(file.tellg()));
  file.seekg(0);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  const int runs = argc > 2 ? std::stoi(argv[2]) : 5;
  const std::span input(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  double best = 1e9;
  size_t output = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    common::ByteBuffer out;
    if (auto failure = pipeline::convert_csv_to_qarn(input, 10000, 1000, out)) {
      std::fprintf(stderr, "%s\n", failure->message.c_str());
      return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, seconds);
    output = out.size();
  }
  std::printf("%.1f ms  %.0f MB/s  output %.1f MB\n", best * 1e3, text.size() / best / 1e6, output / 1e6);
  return 0;
}
