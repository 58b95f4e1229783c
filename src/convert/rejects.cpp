#include "convert/rejects.hpp"

#include <algorithm>
#include <utility>

#include "convert/steps.hpp"
#include "csv_input/csv_reader.hpp"
#include "fields/column_conversion.hpp"

namespace convert {

namespace {

// (row, column) of every cell of the batch that conversion loses, in order.
// Only the columns that lost something are converted again.
std::vector<std::pair<uint32_t, int64_t>> lost_cells(const csv::RowBatch& batch, const ConversionReport& report,
                                                     const fields::NumberSpelling& spelling) {
  std::span<const fields::ColumnType> types = report.types;
  const std::vector<uint64_t>& misfits_by_column = report.lost.misfits_by_column;
  std::vector<std::pair<uint32_t, int64_t>> cells;
  fields::MisfitRows misfits;
  fields::RespeltFields respelt;
  for (size_t column = 0; column < misfits_by_column.size(); ++column) {
    if (misfits_by_column[column] == 0) continue;
    qarn::ValueObject values(fields::storage_type(types[column]), qarn::Shape::Array);
    qarn::BitArray invalid;
    misfits.clear();
    fields::convert_column(batch.column(column), batch.row_count(), types[column], values, invalid, misfits,
                           spelling.of_column(column), respelt);
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

// The fields beyond the last column as the comma dialect would write them
// with this delimiter: a field holding the delimiter, a quote or a line end
// quoted, its quotes doubled, so that where one field ends stays plain.
std::string joined_extra_fields(const std::vector<std::string>& fields, size_t column_count,
                                const csv::Dialect& dialect) {
  const char delimiter = static_cast<char>(dialect.delimiter);
  const char quote = dialect.quoting ? static_cast<char>(dialect.quote) : '"';
  std::string text;
  for (size_t i = column_count; i < fields.size(); ++i) {
    if (i > column_count) text.push_back(delimiter);
    const std::string& field = fields[i];
    if (field.find_first_of(std::string{delimiter, quote, '\r', '\n'}) == std::string::npos) {
      text += field;
      continue;
    }
    text.push_back(quote);
    for (const char c : field) {
      if (c == quote) text.push_back(quote);
      text.push_back(c);
    }
    text.push_back(quote);
  }
  return text;
}

// Line numbers of offsets met in increasing order, counted on from where
// the cursor left off.
class LineCounter {
 public:
  LineCounter(std::span<const uint8_t> input, const csv::Dialect& dialect, RejectsCursor& cursor)
      : input_(input), dialect_(dialect), cursor_(cursor) {}

  uint64_t line_at(size_t offset) {
    size_t& at = cursor_.lines_counted_to;
    for (; at < offset; ++at) {
      const uint8_t byte = input_[at];
      if (byte == dialect_.line_feed ||
          (byte == dialect_.carriage_return && (at + 1 == input_.size() || input_[at + 1] != dialect_.line_feed))) {
        ++cursor_.line;
      }
    }
    return cursor_.line;
  }

 private:
  std::span<const uint8_t> input_;
  const csv::Dialect& dialect_;
  RejectsCursor& cursor_;
};

// The reader of the records after the cursor.
csv::CsvReader reader_at(std::span<const uint8_t> csv, const ConvertOptions& options, RejectsCursor& cursor) {
  if (cursor.started) return csv::CsvReader(csv, cursor.byte, cursor.records_before, options.layout);
  csv::CsvReader reader(csv, options.layout);
  (void)reader.read_header();
  cursor.started = true;
  return reader;
}

}  // namespace

std::vector<Reject> find_rejects(std::span<const uint8_t> csv, const ConvertOptions& options,
                                 const ConversionReport& report, uint64_t limit, RejectsCursor& cursor) {
  std::vector<Reject> rejects;
  if (cursor.done) return rejects;
  csv::CsvReader reader = reader_at(csv, options, cursor);
  const size_t column_count = report.types.size();
  LineCounter lines(csv, options.layout.dialect, cursor);
  csv::RowBatch batch;
  while (rejects.size() < limit && !cursor.done) {
    const size_t batch_start = reader.bytes_read();
    const uint64_t first_record = reader.records_read();
    auto read = reader.next_batch(batch, column_count, rows_per_batch(column_count));
    if (!read.ok() || read.value() == 0) {
      cursor.done = true;
      break;
    }
    cursor.byte = reader.bytes_read();
    cursor.records_before = reader.records_read();
    const auto cells = lost_cells(batch, report, options.spelling);
    if (cells.empty()) continue;
    size_t next = 0;
    uint32_t row = 0;
    reader.visit_records(batch_start, [&](size_t where, std::vector<std::string>& fields) {
      for (; next < cells.size() && cells[next].first == row; ++next) {
        const int64_t column = cells[next].second;
        Reject& reject = rejects.emplace_back();
        reject.record = first_record + row;
        reject.byte = where;
        reject.line = lines.line_at(where);
        reject.column = column;
        if (column == kExtraFields) {
          reject.text = joined_extra_fields(fields, column_count, options.layout.dialect);
        } else if (static_cast<size_t>(column) < fields.size()) {
          reject.text = std::move(fields[static_cast<size_t>(column)]);
        }
      }
      ++row;
      return next < cells.size();
    });
    // Once all are found, the rest of the input holds none.
    cursor.found += cells.size();
    if (cursor.found == report.lost.misfits() + report.lost.records_with_extra_fields) cursor.done = true;
  }
  return rejects;
}

std::vector<Reject> find_rejects(std::span<const uint8_t> csv, const ConvertOptions& options,
                                 const ConversionReport& report, uint64_t limit) {
  RejectsCursor cursor;
  std::vector<Reject> rejects = find_rejects(csv, options, report, limit, cursor);
  if (rejects.size() > limit) rejects.resize(limit);
  return rejects;
}

}  // namespace convert
