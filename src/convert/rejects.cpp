#include "convert/rejects.hpp"

#include <algorithm>
#include <utility>

#include "convert/steps.hpp"
#include "csv_input/csv_reader.hpp"
#include "fields/column_conversion.hpp"

namespace convert {

namespace {

// (row, column) of every cell of the batch that conversion loses, in order.
std::vector<std::pair<uint32_t, int64_t>> lost_cells(const csv::RowBatch& batch,
                                                     std::span<const fields::ColumnType> types,
                                                     const fields::NumberSpelling& spelling) {
  std::vector<std::pair<uint32_t, int64_t>> cells;
  fields::MisfitRows misfits;
  fields::RespeltFields respelt;
  for (size_t column = 0; column < types.size(); ++column) {
    qarn::ValueObject values(fields::storage_type(types[column]), qarn::Shape::Array);
    qarn::BitArray invalid;
    misfits.clear();
    fields::convert_column(batch.column(column), batch.row_count(), types[column], values, invalid, misfits, spelling,
                           respelt);
    for (const uint32_t row : misfits) cells.emplace_back(row, static_cast<int64_t>(column));
  }
  for (const uint32_t row : batch.rows_with_extra_fields()) {
    if (row < batch.row_count()) cells.emplace_back(row, kExtraFields);
  }
  // By row, and within a row by column, with the extra fields last.
  std::sort(cells.begin(), cells.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    return static_cast<uint64_t>(a.second) < static_cast<uint64_t>(b.second);
  });
  return cells;
}

std::string joined_extra_fields(const std::vector<std::string>& fields, size_t column_count, char delimiter) {
  std::string text;
  for (size_t i = column_count; i < fields.size(); ++i) {
    if (i > column_count) text.push_back(delimiter);
    text += fields[i];
  }
  return text;
}

// Line numbers of offsets met in increasing order.
class LineCounter {
 public:
  LineCounter(std::span<const uint8_t> input, const csv::Dialect& dialect) : input_(input), dialect_(dialect) {}

  uint64_t line_at(size_t offset) {
    for (; at_ < offset; ++at_) {
      const uint8_t byte = input_[at_];
      if (byte == dialect_.line_feed ||
          (byte == dialect_.carriage_return && (at_ + 1 == input_.size() || input_[at_ + 1] != dialect_.line_feed))) {
        ++line_;
      }
    }
    return line_;
  }

 private:
  std::span<const uint8_t> input_;
  const csv::Dialect& dialect_;
  size_t at_ = 0;
  uint64_t line_ = 1;
};

}  // namespace

std::vector<Reject> find_rejects(std::span<const uint8_t> csv, const ConvertOptions& options,
                                 const ConversionReport& report, uint64_t limit) {
  std::vector<Reject> rejects;
  csv::CsvReader reader(csv, options.layout);
  (void)reader.read_header();
  const size_t column_count = report.types.size();
  const char delimiter = static_cast<char>(options.layout.dialect.delimiter);
  LineCounter lines(csv, options.layout.dialect);
  csv::RowBatch batch;
  while (rejects.size() < limit) {
    const size_t batch_start = reader.bytes_read();
    const uint64_t first_record = reader.records_read();
    auto read = reader.next_batch(batch, column_count, rows_per_batch(column_count));
    if (!read.ok() || read.value() == 0) break;
    const auto cells = lost_cells(batch, report.types, options.spelling);
    if (cells.empty()) continue;
    size_t next = 0;
    uint32_t row = 0;
    reader.visit_records(batch_start, [&](size_t where, std::vector<std::string>& fields) {
      for (; next < cells.size() && cells[next].first == row && rejects.size() < limit; ++next) {
        const int64_t column = cells[next].second;
        Reject& reject = rejects.emplace_back();
        reject.record = first_record + row;
        reject.byte = where;
        reject.line = lines.line_at(where);
        reject.column = column;
        if (column == kExtraFields) {
          reject.text = joined_extra_fields(fields, column_count, delimiter);
        } else if (static_cast<size_t>(column) < fields.size()) {
          reject.text = std::move(fields[static_cast<size_t>(column)]);
        }
      }
      ++row;
      return next < cells.size() && rejects.size() < limit;
    });
  }
  return rejects;
}

}  // namespace convert
