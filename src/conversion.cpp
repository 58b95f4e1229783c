#include "conversion.hpp"

#include <algorithm>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "qarn/encoding.hpp"
#include "qarn/table_metadata.hpp"
#include "qarn/table_slice.hpp"
#include "type_inference.hpp"
#include "value_conversion.hpp"

namespace pipeline {

namespace {

// Rows are read in batches of about this many fields, so that a batch's
// field table and the input it points into stay in the L2 cache.
constexpr size_t kFieldsPerBatch = 16 * 1024;

size_t rows_per_batch(size_t column_count) {
  return std::max<size_t>(1, kFieldsPerBatch / std::max<size_t>(1, column_count));
}

ConversionFailure csv_failure(const char* prefix, const csv::CsvError& error) {
  return {prefix + csv::message(error)};
}

ConversionFailure write_failure(const qarn::FormatError& error) {
  return {kWriteErrorPrefix + qarn::message(error)};
}

qarn::TableMetadata table_metadata(const csv::HeaderRow& names,
                                   const std::vector<qarn::TypeId>& types) {
  qarn::TableMetadata metadata;
  // The column count as a 32-bit value; a count beyond that range cannot be
  // written and fails as too many columns below.
  metadata.properties.push_back(
      {"TableColumns", qarn::ValueObject::single_int(static_cast<int32_t>(names.size())), {}});
  metadata.columns.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    metadata.columns.push_back({names[i], types[i], {}});
  }
  return metadata;
}

// Cuts the stream of rows into table slices of `chunk_size` rows and writes
// each as soon as it is full, so that slices go out in input order before
// any later record is looked at.
class SliceWriter {
 public:
  SliceWriter(std::span<const qarn::TypeId> types, uint64_t chunk_size, qarn::Writer& writer)
      : chunk_(types), chunk_size_(chunk_size), writer_(writer) {}

  qarn::WriteStatus add(const csv::RowBatch& batch) {
    size_t row = 0;
    while (row < batch.row_count()) {
      const uint64_t room = chunk_size_ - chunk_.row_count();
      const size_t take = static_cast<size_t>(std::min<uint64_t>(room, batch.row_count() - row));
      chunk_.append_rows(batch, row, row + take);
      row += take;
      if (chunk_.row_count() == chunk_size_) {
        if (auto err = flush()) return err;
      }
    }
    return std::nullopt;
  }

  // Writes the last, shorter slice; there is none when the rows divided evenly.
  qarn::WriteStatus finish() { return chunk_.row_count() == 0 ? std::nullopt : flush(); }

 private:
  qarn::WriteStatus flush() {
    writer_.out().prefault(chunk_.encoded_size());
    writer_.write_section_header(qarn::SectionId::TableSlice);
    const qarn::WriteStatus status = qarn::write_table_slice(writer_, chunk_.finish_slices());
    chunk_.clear();
    return status;
  }

  ChunkBuilder chunk_;
  uint64_t chunk_size_;
  qarn::Writer& writer_;
};

}  // namespace

std::optional<ConversionFailure> convert_csv_to_qarn(std::span<const uint8_t> csv,
                                                     uint64_t chunk_size, uint64_t sample_rows,
                                                     common::ByteBuffer& out) {
  if (chunk_size == 0) return ConversionFailure{kChunkSizeZeroMessage};

  csv::CsvReader reader(csv);
  auto header = reader.read_header();
  if (!header.ok()) return csv_failure(kHeaderErrorPrefix, header.error());
  const csv::HeaderRow& names = header.value();
  const size_t column_count = names.size();
  const size_t header_bytes = reader.bytes_read();
  const size_t batch_rows = rows_per_batch(column_count);

  // The sample is kept and becomes the first rows of the table.
  std::vector<csv::RowBatch> sample;
  for (uint64_t wanted = sample_rows; wanted > 0;) {
    csv::RowBatch& batch = sample.emplace_back();
    const size_t limit = static_cast<size_t>(std::min<uint64_t>(wanted, batch_rows));
    auto read = reader.next_batch(batch, column_count, limit);
    if (!read.ok()) return csv_failure(kParseErrorPrefix, read.error());
    if (read.value() == 0) {
      sample.pop_back();
      break;
    }
    wanted -= read.value();
  }
  const std::vector<qarn::TypeId> types = infer_column_types(sample, column_count);

  // The output in one block sized from the sample, taken before anything is
  // written to it: a large block that grows is moved, and its pages are paid
  // for again.
  out.reserve_output(estimated_file_size(sample, types, chunk_size, reader.bytes_read() - header_bytes,
                                         csv.size() - header_bytes));

  qarn::Writer writer(out);
  writer.write_section_header(qarn::SectionId::FileHeader);
  writer.write_version(qarn::kFormatMajorVersion, qarn::kFormatMinorVersion);
  writer.write_section_header(qarn::SectionId::TableMetadata);
  if (auto err = qarn::write_table_metadata(writer, table_metadata(names, types))) {
    return write_failure(*err);
  }

  SliceWriter slices(types, chunk_size, writer);
  for (csv::RowBatch& batch : sample) {
    if (auto err = slices.add(batch)) return write_failure(*err);
    batch = csv::RowBatch();  // rows are held only until they are written
  }
  csv::RowBatch batch;
  while (true) {
    auto read = reader.next_batch(batch, column_count, batch_rows);
    if (!read.ok()) return csv_failure(kParseErrorPrefix, read.error());
    if (read.value() == 0) break;
    if (auto err = slices.add(batch)) return write_failure(*err);
  }
  if (auto err = slices.finish()) return write_failure(*err);

  writer.write_section_header(qarn::SectionId::TableEnd);
  return std::nullopt;
}

}  // namespace pipeline
