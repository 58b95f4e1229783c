// Times the conversion core alone, without Python, on a CSV file:
//   core_bench FILE [RUNS] [THREADS]
// Prints the best time and MB/s; handy under perf.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "parallel_conversion.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [RUNS] [THREADS]\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::vector<char> text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const int runs = argc > 2 ? std::stoi(argv[2]) : 5;
  const unsigned threads = argc > 3 ? static_cast<unsigned>(std::stoi(argv[3])) : 1;
  const std::span input(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  double best = 1e9;
  size_t output = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    common::ByteBuffer out;
    if (auto failure = pipeline::convert_csv_to_qarn_parallel(input, 10000, 1000, threads, out)) {
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
