#include "convert/type_pass.hpp"

#include <algorithm>
#include <exception>

#include "common/spread.hpp"
#include "convert/parallel_work.hpp"
#include "convert/steps.hpp"
#include "csv_input/csv_reader.hpp"
#include "fields/type_inference.hpp"

namespace convert {

namespace {

// Below this much input after the header, one thread reads it all.
constexpr size_t kSmallestParallelPass = size_t{4} << 20;

struct Part {
  size_t begin = 0;
  size_t end = 0;
};

// What reading one part gave.
struct PartTypes {
  PartTypes(size_t column_count, const ConvertOptions& options)
      : inference(column_count, options.parse_dates, options.spelling) {}
  fields::TypeInference inference;
  bool failed = false;   // a record that is not valid UTF-8
  bool cut = false;      // its last record runs on past the part's end
  size_t cut_start = 0;  // where that record begins
  std::exception_ptr thrown;
};

// Reads [begin, end) as though `begin` began a record. A record that the
// end cut short is left out: it is read whole with the next part. A batch
// goes to the inference once the next one is read, so that the last one
// can be shown without its last row.
PartTypes read_part(std::span<const uint8_t> csv, const ConvertOptions& options, Part part, size_t column_count) {
  const csv::TableLayout& layout = options.layout;
  PartTypes result(column_count, options);
  try {
    csv::CsvReader reader(csv.first(part.end), part.begin, 0, layout);
    csv::RowBatch batches[2];
    size_t held = 0;  // rows of batches[last] not yet shown
    unsigned last = 0;
    while (true) {
      auto read = reader.next_batch(batches[last ^ 1], column_count, rows_per_batch(column_count));
      if (!read.ok()) {
        result.failed = true;
        return result;
      }
      if (read.value() == 0) break;
      if (held > 0) result.inference.add(batches[last], held);
      last ^= 1;
      held = read.value();
    }
    result.cut = part.end < csv.size() && reader.ended_by_input_end();
    result.cut_start = reader.last_record_start();
    if (held > 0) result.inference.add(batches[last], held - (result.cut ? 1 : 0));
  } catch (...) {
    result.thrown = std::current_exception();
  }
  return result;
}

// Parts of about equal size after `start`, each ending after a line end.
std::vector<Part> cut_into_parts(std::span<const uint8_t> csv, size_t start, unsigned count,
                                 const csv::Dialect& dialect) {
  std::vector<Part> parts;
  const size_t size = (csv.size() - start) / count;
  for (size_t begin = start; begin < csv.size();) {
    const size_t end = parts.size() + 1 == count ? csv.size()
                                                 : parallel::cut_after_line_end(csv, begin + size, dialect);
    parts.push_back({begin, end});
    begin = end;
  }
  return parts;
}

}  // namespace

std::vector<fields::ColumnType> types_of_every_record(std::span<const uint8_t> csv, const ConvertOptions& options,
                                                size_t column_count, unsigned threads) {
  csv::CsvReader header(csv, options.layout);
  (void)header.read_header();
  const size_t start = header.bytes_read();
  const unsigned count = csv.size() - start < kSmallestParallelPass ? 1 : std::max(1u, threads);
  const std::vector<Part> parts = cut_into_parts(csv, start, count, options.layout.dialect);
  std::vector<PartTypes> results(parts.size(), PartTypes(column_count, options));
  common::run_spread(parts.size(), [&](size_t k) { results[k] = read_part(csv, options, parts[k], column_count); });
  fields::TypeInference types(column_count, options.parse_dates, options.spelling);
  for (size_t k = 0; k < results.size(); ++k) {
    if (k > 0 && results[k - 1].cut) {
      // Its start lay inside the record the part before ended on.
      results[k] = read_part(csv, options, {results[k - 1].cut_start, parts[k].end}, column_count);
    }
    if (results[k].thrown) std::rethrow_exception(results[k].thrown);
    if (results[k].failed) break;
    types.merge(results[k].inference);
  }
  return types.types();
}

bool offsets_in_every_record(std::span<const uint8_t> csv, const ConvertOptions& options, size_t column_count,
                             size_t column) {
  csv::CsvReader reader(csv, options.layout);
  (void)reader.read_header();
  csv::RowBatch batch;
  std::span<const csv::RowBatch> one(&batch, 1);
  while (true) {
    auto read = reader.next_batch(batch, column_count, rows_per_batch(column_count));
    if (!read.ok() || read.value() == 0) return false;
    if (fields::sample_has_offsets(one, column)) return true;
  }
}

}  // namespace convert
