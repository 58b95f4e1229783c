// Times the conversion core alone, without Python, on a CSV file:
//   core_bench FILE [RUNS [THREADS [SEGMENT_BYTES]]]
//                                     the whole conversion: best time and MB/s
//                                     (THREADS: the parallel conversion)
//   core_bench --stages FILE [RUNS]   reading alone, then converting each
//                                     column of batches already read
// Handy under perf and callgrind.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "convert/driver.hpp"
#include "convert/parallel_driver.hpp"
#include "csv_input/csv_reader.hpp"
#include "fields/type_inference.hpp"
#include "fields/column_conversion.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Read in one go: a byte-wise read would dwarf the conversion under callgrind.
std::vector<char> read_file(const char* path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  std::vector<char> text(static_cast<size_t>(file.tellg()));
  file.seekg(0);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  return text;
}

int whole_conversion(std::span<const uint8_t> input, int runs, unsigned threads, size_t segment_bytes) {
  double best = 1e9;
  double ordered = 0;  // of the best run
  size_t output = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    common::ByteBuffer out;
    convert::ConversionReport report;
    if (auto failure = convert::convert_csv_to_qarn_parallel(input, 10000, 1000, threads, out, {}, segment_bytes,
                                                             &report)) {
      std::fprintf(stderr, "%s\n", failure->message.c_str());
      return 1;
    }
    if (const double took = seconds_since(start); took < best) {
      best = took;
      ordered = report.ordered_seconds;
    }
    output = out.size();
  }
  std::printf("%.1f ms  %.0f MB/s  output %.1f MB", best * 1e3, input.size() / best / 1e6, output / 1e6);
  // The calling thread's time on work only it can do, in order.
  if (threads > 1) std::printf("  ordered %.1f ms", ordered * 1e3);
  std::printf("\n");
  return 0;
}

// Reads the input batch by batch as the conversion does and converts each
// batch's columns straight away, while it is in cache, timing the two apart.
int stages(std::span<const uint8_t> input, int runs) {
  csv::CsvReader header_reader(input);
  const size_t column_count = header_reader.read_header().value().size();
  const size_t rows = std::max<size_t>(1, 16 * 1024 / std::max<size_t>(1, column_count));
  std::vector<csv::RowBatch> sample(1);
  (void)header_reader.next_batch(sample[0], column_count, 1000);
  const std::vector<fields::ColumnType> types = fields::infer_column_types(sample, column_count, true);

  double best_read = 1e9;
  std::vector<double> best_column(column_count, 1e9);
  size_t fields = 0;
  for (int i = 0; i < runs; ++i) {
    double read_time = 0;
    std::vector<double> column_time(column_count, 0);
    std::vector<qarn::ValueObject> values;
    std::vector<qarn::BitArray> invalid(column_count);
    fields::MisfitRows misfits;
    for (const fields::ColumnType type : types) values.emplace_back(fields::storage_type(type), qarn::Shape::Array);
    csv::CsvReader reader(input);
    (void)reader.read_header();
    csv::RowBatch batch;
    fields = 0;
    while (true) {
      auto start = Clock::now();
      const auto read = reader.next_batch(batch, column_count, rows);
      read_time += seconds_since(start);
      if (!read.ok() || read.value() == 0) break;
      fields += batch.row_count();
      for (size_t column = 0; column < column_count; ++column) {
        start = Clock::now();
        misfits.clear();
        fields::convert_column(batch.column(column), batch.row_count(), types[column], values[column], invalid[column],
                               misfits);
        column_time[column] += seconds_since(start);
        if (invalid[column].bit_count >= 10000) {  // a chunk's worth, as the conversion would write it
          values[column].clear();
          invalid[column].clear();
        }
      }
    }
    best_read = std::min(best_read, read_time);
    for (size_t column = 0; column < column_count; ++column) {
      best_column[column] = std::min(best_column[column], column_time[column]);
    }
  }
  std::printf("reading: %.1f ms  %.0f MB/s\n", best_read * 1e3, input.size() / best_read / 1e6);
  double total = 0;
  for (size_t column = 0; column < column_count; ++column) {
    total += best_column[column];
    std::printf("column %zu (type %d): %.1f ms  %.1f ns/field\n", column, static_cast<int>(types[column]),
                best_column[column] * 1e3, best_column[column] * 1e9 / static_cast<double>(std::max<size_t>(1, fields)));
  }
  std::printf("converting: %.1f ms\n", total * 1e3);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool by_stage = argc > 1 && std::strcmp(argv[1], "--stages") == 0;
  if (argc < 2 + by_stage) {
    std::fprintf(stderr, "usage: %s [--stages] FILE [RUNS [THREADS]]\n", argv[0]);
    return 2;
  }
  const std::vector<char> text = read_file(argv[1 + by_stage]);
  const int runs = argc > 2 + by_stage ? std::stoi(argv[2 + by_stage]) : 5;
  const std::span input(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  const unsigned threads = argc > 3 + by_stage ? static_cast<unsigned>(std::stoi(argv[3 + by_stage])) : 1;
  const size_t segment_bytes = argc > 4 + by_stage ? std::stoul(argv[4 + by_stage]) : 0;
  return by_stage ? stages(input, runs) : whole_conversion(input, runs, threads, segment_bytes);
}
