// Times the conversion core alone, without Python, on a CSV file:
//   core_bench FILE [RUNS] [THREADS]
// Prints the best time and MB/s; handy under perf. THREADS 0 only reads the
// records (the tokeniser and the UTF-8 check): the part of a parallel
// conversion that runs in order on one thread.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "conversion_steps.hpp"
#include "parallel_conversion.hpp"

namespace {

// Reads every record as the calling thread of a parallel conversion does.
size_t read_only(std::span<const uint8_t> input) {
  csv::CsvReader reader(input);
  pipeline::TableStart start;
  if (pipeline::read_table_start(reader, 1000, start)) return 0;
  size_t rows = 0;
  csv::RowBatch batch;
  while (true) {
    auto read = reader.next_batch(batch, start.names.size(), pipeline::rows_per_batch(start.names.size()));
    if (!read.ok() || read.value() == 0) return rows;
    rows += read.value();
  }
}

}  // namespace

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
    if (threads == 0) {
      output = read_only(input);
    } else if (auto failure = pipeline::convert_csv_to_qarn_parallel(input, 10000, 1000, threads, out)) {
      std::fprintf(stderr, "%s\n", failure->message.c_str());
      return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, seconds);
    if (threads != 0) output = out.size();
  }
  std::printf("%.1f ms  %.0f MB/s  %s %.1f %s\n", best * 1e3, text.size() / best / 1e6,
              threads == 0 ? "rows" : "output", output / 1e6, threads == 0 ? "million" : "MB");
  return 0;
}
