#include "convert/stream_driver.hpp"

#include <algorithm>

#include "convert/input_window.hpp"
#include "convert/parallel_driver.hpp"
#include "convert/parallel_work.hpp"
#include "convert/steps.hpp"
#include "qarn/writer.hpp"

namespace convert {

namespace {

// Large enough that the threads seldom wait at a window's end for the next
// to be read, small enough to be a small part of the memory a conversion
// may take.
constexpr size_t kWindowBytes = size_t{32} << 20;

uint64_t rows_in(std::span<const csv::RowBatch> batches) {
  uint64_t rows = 0;
  for (const csv::RowBatch& batch : batches) rows += batch.row_count();
  return rows;
}

// Reads the header and the sample from the window's first bytes, reading
// more until they hold the whole of both: the reader must not take the end
// of the bytes held for the end of the input. Sets where the records after
// the sample begin, and how many records came before.
ConversionStatus read_stream_start(InputWindow& window, uint64_t sample_rows, const ConvertOptions& options,
                                   TableStart& start, size_t& position, uint64_t& records) {
  while (true) {
    const std::span<const uint8_t> held = window.bytes();
    const size_t usable = window.complete() ? held.size() : parallel::last_cut(held, 0, options.layout.dialect);
    const std::span<const uint8_t> input = held.first(usable);
    csv::CsvReader reader(input, options.layout);
    start = TableStart();
    ConversionStatus failure = read_table_start(input, reader, sample_rows, options, 1, start);
    // Whatever was read ended before the last line end held, by a line end
    // of its own: more input would not change it, nor a failure met in it.
    // Without a header row, so must the first record that names the columns.
    const bool settled =
        reader.bytes_looked_at() < usable && (failure || rows_in(start.sample) == sample_rows);
    if (window.complete() || settled) {
      position = reader.bytes_read();
      records = reader.records_read();
      return failure;
    }
    if (auto read = window.grow()) return read;
  }
}

// The rows after the sample on the calling thread alone, as write_rows
// reads a mapped input, a window at a time.
ConversionStatus write_window_rows_here(InputWindow& window, size_t position, uint64_t records, TableStart& start,
                                        uint64_t chunk_size, const csv::TableLayout& layout, qarn::Writer& writer,
                                        ByteSink& sink) {
  const size_t column_count = start.names.size();
  fields::ChunkBuilder chunk(start.types, start.spelling);
  SliceWriter slices(chunk, chunk_size, writer);
  // The sample's rows point into the window: written before it moves.
  for (csv::RowBatch& batch : start.sample) {
    if (auto err = slices.add(batch)) return write_failure(*err);
    if (auto failure = drain(writer.out(), &sink, kSinkPieceBytes)) return failure;
    batch = csv::RowBatch();
  }
  csv::RowBatch batch, probe;
  const size_t batch_rows = rows_per_batch(column_count);
  while (true) {
    const std::span<const uint8_t> held = window.bytes();
    const bool more = !window.complete();
    const size_t limit = more ? parallel::last_cut(held, position, layout.dialect) : held.size();
    size_t next = position;
    if (limit > position) {
      csv::CsvReader reader(held.first(limit), position, records, layout);
      bool cut = false;
      while (!cut) {
        auto read = reader.next_batch(batch, column_count, batch_rows);
        if (!read.ok()) {
          csv::CsvError error = read.error();
          window.place(error.position);
          return csv_failure(kParseErrorPrefix, error);
        }
        size_t rows = read.value();
        if (rows == 0) break;
        // A record ended by the end of what is held goes on in the next
        // window, unless it is one that cannot be read: that one fails here,
        // after the rows before it, as it would in one pass.
        if (more && reader.ended_by_input_end()) {
          auto after = reader.next_batch(probe, column_count, 1);
          if (!after.ok()) {
            csv::CsvError error = after.error();
            window.place(error.position);
            return csv_failure(kParseErrorPrefix, error);
          }
          cut = true;
          --rows;
        }
        if (auto err = slices.add(batch, 0, rows)) return write_failure(*err);
        if (auto failure = drain(writer.out(), &sink, kSinkPieceBytes)) return failure;
      }
      next = cut ? reader.last_record_start() : reader.bytes_read();
      records = reader.records_read() - (cut ? 1 : 0);
    }
    if (!more) break;
    if (auto failure = next > 0 ? window.advance(next) : window.grow()) return failure;
    position = 0;
  }
  return finish_table(slices, chunk, start, writer);
}

}  // namespace

ConversionStatus convert_stream(ByteSource& source, uint64_t chunk_size, uint64_t sample_rows, unsigned threads,
                                ByteSink& sink, const ConvertOptions& options, ConversionReport* report,
                                size_t window_bytes, size_t segment_bytes) {
  if (chunk_size == 0) return ConversionFailure{kChunkSizeZeroMessage};
  threads = std::max(threads, 1u);
  InputWindow window(source, window_bytes != 0 ? window_bytes : kWindowBytes, options.layout.dialect.line_feed);
  if (auto failure = window.start()) return failure;
  common::ByteBuffer out;
  if (options.infer_from_every_record) {
    if (auto failure = window.read_all()) return failure;
    return convert_csv_to_qarn_parallel(window.bytes(), chunk_size, sample_rows, threads, out, options,
                                        segment_bytes, report, &sink);
  }
  TableStart start;
  size_t position = 0;
  uint64_t records = 0;
  if (auto failure = read_stream_start(window, sample_rows, options, start, position, records)) return failure;
  qarn::Writer writer(out);
  if (auto failure = write_file_start(writer, start)) return failure;
  if (auto failure = drain(out, &sink, 0)) return failure;
  if (auto failure = threads == 1 ? write_window_rows_here(window, position, records, start, chunk_size,
                                                            options.layout, writer, sink)
                                   : write_window_rows(window, position, records, start, chunk_size, threads,
                                                       options.layout, segment_bytes, writer, sink)) {
    return failure;
  }
  if (auto failure = drain(out, &sink, 0)) return failure;
  if (report != nullptr) *report = report_of(start);
  return std::nullopt;
}

}  // namespace convert
