// The steps of a conversion that the single-threaded and the parallel
// driver share: reading the header and the sample, writing the start of the
// file, and cutting rows into table slices.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "convert/byte_stream.hpp"
#include "convert/driver.hpp"
#include "csv_input/csv_reader.hpp"
#include "fields/chunk_builder.hpp"
#include "qarn/value.hpp"
#include "qarn/writer.hpp"

namespace convert {

// Rows are read in batches of about this many fields, so that a batch's
// field table and the input it points into stay in the L2 cache.
size_t rows_per_batch(size_t column_count);

ConversionFailure csv_failure(const char* prefix, const csv::CsvError& error);
ConversionFailure write_failure(const qarn::FormatError& error);

// What is known once the sample is read: the header, the column types, and
// the sample's rows, which become the first rows of the table.
struct TableStart {
  csv::HeaderRow names;
  std::vector<fields::ColumnType> types;
  std::vector<csv::RowBatch> sample;
  size_t header_bytes = 0;  // input bytes up to the end of the header row
  size_t sample_bytes = 0;  // input bytes the sample took after that
  fields::LostCells lost;   // what the rows written lost, once they are
  uint64_t rows = 0;        // rows written, once they are
  uint64_t invalid_cells = 0;  // cells they flag invalid
  fields::NumberSpelling spelling;  // how the rows' numbers are written
  double shared_seconds = 0;  // of a parallel conversion: the calling thread's time on shared work or waiting
};

// Reads the header row (or takes the names given instead) and up to
// `sample_rows` records, and infers the types.
// `threads` may read the input for types from every record.
ConversionStatus read_table_start(std::span<const uint8_t> csv, csv::CsvReader& reader, uint64_t sample_rows,
                                  const ConvertOptions& options, unsigned threads, TableStart& start);

// Takes the output in one block sized from the sample, before anything is
// written to it: a large block that grows is moved, and its pages are paid
// for again. Best effort.
void reserve_output(common::ByteBuffer& out, const TableStart& start, uint64_t chunk_size,
                    size_t input_bytes);

// The file header and the table metadata.
ConversionStatus write_file_start(qarn::Writer& writer, const TableStart& start);

// Writes the sample's rows and every record after them as table slices,
// then the table end, on the calling thread.
// With a `sink`, the output goes to it as it grows; the input's mapping,
// if any, hears how far it has been read, and the caller whether to stop.
ConversionStatus write_rows(csv::CsvReader& reader, TableStart& start,
                            uint64_t chunk_size, qarn::Writer& writer, ByteSink* sink,
                            const ConvertOptions& options);

class SliceWriter;

// Writes the last slice and the table end, and notes in `start` what the
// slices hold and lost.
ConversionStatus finish_table(SliceWriter& slices, const fields::ChunkBuilder& chunk, TableStart& start,
                              qarn::Writer& writer);

// What the report of a conversion says, once its rows are written.
ConversionReport report_of(TableStart& start);

// One whole conversion, with `write_rest(reader, start, writer)` writing
// the rows after the start of the file and counting what they lost in
// `start.lost`; `report` (optional) hears of it. With a `sink`, the output
// is not reserved ahead, and what `out` still holds at the end goes to it.
template <class WriteRest>
ConversionStatus convert_with(std::span<const uint8_t> csv, uint64_t chunk_size,
                              uint64_t sample_rows, const ConvertOptions& options, unsigned threads,
                              common::ByteBuffer& out, ConversionReport* report, ByteSink* sink,
                              WriteRest&& write_rest) {
  if (chunk_size == 0) return ConversionFailure{kChunkSizeZeroMessage};
  csv::CsvReader reader(csv, options.layout);
  TableStart start;
  if (auto failure = read_table_start(csv, reader, sample_rows, options, threads, start)) return failure;
  if (sink == nullptr) reserve_output(out, start, chunk_size, csv.size());
  qarn::Writer writer(out);
  if (auto failure = write_file_start(writer, start)) return failure;
  // The start of the file goes first on its own: a sink may keep it.
  if (auto failure = drain(out, sink, 0)) return failure;
  if (auto failure = write_rest(reader, start, writer)) return failure;
  if (auto failure = drain(out, sink, 0)) return failure;
  if (report != nullptr) *report = report_of(start);
  return std::nullopt;
}

// Cuts a stream of rows into table slices of `chunk_size` rows and writes
// each as soon as it is full, so that slices go out in input order before
// any later record is looked at.
// The rows are converted into `chunk`, which may be reused from writer to
// writer and must start empty.
class SliceWriter {
 public:
  SliceWriter(fields::ChunkBuilder& chunk, uint64_t chunk_size, qarn::Writer& writer) noexcept
      : chunk_(chunk), chunk_size_(chunk_size), writer_(writer) {}

  // Rows [begin, end) of the batch.
  qarn::WriteStatus add(const csv::RowBatch& batch, size_t begin, size_t end) {
    return add_rows(begin, end, [&](size_t from, size_t to) { chunk_.append_rows(batch, from, to); });
  }
  qarn::WriteStatus add(const csv::RowBatch& batch) { return add(batch, 0, batch.row_count()); }
  // Rows [begin, end) of rows converted before.
  qarn::WriteStatus add(const fields::ConvertedRows& rows, size_t begin, size_t end) {
    return add_rows(begin, end, [&](size_t from, size_t to) { chunk_.append_converted(rows, from, to); });
  }

  // Writes the last, shorter slice; there is none when the rows divided evenly.
  qarn::WriteStatus finish() { return chunk_.row_count() == 0 ? std::nullopt : flush(); }

  // The rows of the slices written, and the cells they flag invalid.
  [[nodiscard]] uint64_t rows_written() const noexcept { return rows_written_; }
  [[nodiscard]] uint64_t invalid_cells() const noexcept { return invalid_cells_; }

 private:
  // Appends rows through `append(from, to)`, a slice's room at a time.
  template <class Append>
  qarn::WriteStatus add_rows(size_t begin, size_t end, Append append) {
    size_t row = begin;
    while (row < end) {
      const uint64_t room = chunk_size_ - chunk_.row_count();
      const size_t take = static_cast<size_t>(std::min<uint64_t>(room, end - row));
      append(row, row + take);
      row += take;
      if (chunk_.row_count() == chunk_size_) {
        if (auto err = flush()) return err;
      }
    }
    return std::nullopt;
  }

  qarn::WriteStatus flush();

  fields::ChunkBuilder& chunk_;
  uint64_t chunk_size_;
  qarn::Writer& writer_;
  uint64_t rows_written_ = 0;
  uint64_t invalid_cells_ = 0;
};

}  // namespace convert
