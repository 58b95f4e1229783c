#include "convert/driver.hpp"

#include "convert/byte_stream.hpp"
#include "convert/mapped_input.hpp"
#include "convert/steps.hpp"
#include "csv_input/csv_reader.hpp"
#include "qarn/writer.hpp"

namespace convert {

ConversionStatus write_rows(csv::CsvReader& reader, TableStart& start,
                            uint64_t chunk_size, qarn::Writer& writer, ByteSink* sink,
                            const ConvertOptions& options) {
  const size_t column_count = start.names.size();
  fields::ChunkBuilder chunk(start.types, start.spelling);
  SliceWriter slices(chunk, chunk_size, writer);
  // The sample's rows are held only until they are written.
  for (csv::RowBatch& batch : start.sample) {
    if (auto err = slices.add(batch)) return write_failure(*err);
    if (auto failure = drain(writer.out(), sink, kSinkPieceBytes)) return failure;
    batch = csv::RowBatch();
  }
  csv::RowBatch batch;
  const size_t batch_rows = rows_per_batch(column_count);
  while (true) {
    auto read = reader.next_batch(batch, column_count, batch_rows);
    if (!read.ok()) return csv_failure(kParseErrorPrefix, read.error());
    if (read.value() == 0) break;
    if (auto err = slices.add(batch)) return write_failure(*err);
    if (auto failure = drain(writer.out(), sink, kSinkPieceBytes)) return failure;
    if (options.mapped != nullptr) options.mapped->release_before(reader.bytes_read());
    if (auto failure = stop_if_asked(options.stop)) return failure;
  }
  return finish_table(slices, chunk, start, writer);
}

ConversionStatus convert_csv_to_qarn(std::span<const uint8_t> csv,
                                     uint64_t chunk_size, uint64_t sample_rows,
                                     common::ByteBuffer& out, const ConvertOptions& options,
                                     ConversionReport* report, ByteSink* sink) {
  return convert_with(csv, chunk_size, sample_rows, options, 1, out, report, sink,
                      [&](csv::CsvReader& reader, TableStart& start, qarn::Writer& writer) {
                        return write_rows(reader, start, chunk_size, writer, sink, options);
                      });
}

}  // namespace convert
