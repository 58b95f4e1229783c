#include "convert/steps.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <optional>
#include <string>

#include "common/bits.hpp"
#include "convert/output_estimate.hpp"
#include "convert/type_pass.hpp"
#include "fields/type_inference.hpp"
#include "qarn/metadata_writer.hpp"
#include "qarn/property_names.hpp"
#include "qarn/slice_writer.hpp"

namespace convert {

namespace {

constexpr size_t kFieldsPerBatch = 16 * 1024;
// A wide table's batch still holds this many rows, within the bound below:
// each column is converted a batch at a time, and over a few rows its
// fixed costs (output space, flags, the reader's choice) outweigh the
// fields (a table of 300 columns converts 10 to 25% faster).
constexpr size_t kLeastRowsPerBatch = 128;
constexpr size_t kMostFieldsPerBatch = 256 * 1024;

qarn::TableMetadata table_metadata(const csv::HeaderRow& names,
                                   const std::vector<fields::ColumnType>& types) {
  qarn::TableMetadata metadata;
  // The column count as a 32-bit value; a count beyond that range cannot be
  // written and fails as too many columns below.
  const auto column_count = static_cast<int32_t>(names.size());
  metadata.properties.push_back(
      {std::string(qarn::property::kTableColumns), qarn::ValueObject::single_int(column_count), {}});
  metadata.columns.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    qarn::ColumnMetadata& column = metadata.columns.emplace_back(
        qarn::ColumnMetadata{names[i], fields::storage_type(types[i]), {}});
    if (const std::string_view meaning = fields::logical_type(types[i]); !meaning.empty()) {
      column.extra_properties.push_back({std::string(fields::kLogicalTypeProperty),
                                         qarn::ValueObject::single_string(meaning), {}});
    }
  }
  return metadata;
}

// "; the columns are 'a', 'b', ..." for a message about a column not found.
std::string the_columns(const csv::HeaderRow& names) {
  constexpr size_t kShown = 20;
  if (names.empty()) return "; there are no columns";
  std::string text = "; the columns are ";
  for (size_t i = 0; i < std::min(names.size(), kShown); ++i) text += (i ? ", '" : "'") + names[i] + "'";
  if (names.size() > kShown) text += " and " + std::to_string(names.size() - kShown) + " more";
  return text;
}

// A whole number, as a name no column has stands for a position.
std::optional<int64_t> whole_number(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || text.empty() || text.front() == '+') return std::nullopt;
  return value;
}

// The caller's types over the inferred ones. A name is the columns of that
// name, or, when no column has it and it is a whole number, a position; a
// name or position that no column has fails.
ConversionStatus choose_types(const ConvertOptions& options, const csv::HeaderRow& names,
                              std::vector<fields::ColumnType>& types) {
  if (options.every_column_type) types.assign(types.size(), *options.every_column_type);
  const auto count = static_cast<int64_t>(names.size());
  for (const ConvertOptions::ColumnType& chosen : options.column_types) {
    int64_t given = chosen.position;
    if (chosen.name) {
      bool found = false;
      for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == *chosen.name) {
          types[i] = chosen.type;
          found = true;
        }
      }
      if (found) continue;
      const std::optional<int64_t> number = whole_number(*chosen.name);
      if (!number) {
        return ConversionFailure{"column_types names a column the table does not have: '" + *chosen.name + "'" +
                                 the_columns(names)};
      }
      given = *number;
    }
    const int64_t position = given < 0 ? given + count : given;
    if (position < 0 || position >= count) {
      return ConversionFailure{"column_types numbers a column the table does not have: " + std::to_string(given) +
                               " (it has " + std::to_string(count) + ")"};
    }
    types[static_cast<size_t>(position)] = chosen.type;
  }
  return std::nullopt;
}

// A chosen timestamp column is in UTC when its values have offsets,
// as an inferred one would be: those of the sample, or of every record when
// the types come from every record.
// An inferred wall-time column has no offsets to find.
void place_timestamps(std::span<const uint8_t> csv, const ConvertOptions& options,
                      std::span<const csv::RowBatch> sample, std::span<const fields::ColumnType> inferred,
                      std::vector<fields::ColumnType>& types) {
  for (size_t column = 0; column < types.size(); ++column) {
    if (types[column] != fields::ColumnType::Timestamp || inferred[column] == fields::ColumnType::Timestamp) continue;
    const bool offsets = options.infer_from_every_record
                             ? offsets_in_every_record(csv, options, types.size(), column)
                             : fields::sample_has_offsets(sample, column);
    if (offsets) types[column] = fields::ColumnType::TimestampUtc;
  }
}

}  // namespace

size_t rows_per_batch(size_t column_count) {
  const size_t columns = std::max<size_t>(1, column_count);
  const size_t least = std::min(kLeastRowsPerBatch, kMostFieldsPerBatch / columns);
  return std::max<size_t>({1, kFieldsPerBatch / columns, least});
}

ConversionFailure csv_failure(const char* prefix, const csv::CsvError& error) {
  return {prefix + csv::message(error)};
}

ConversionFailure write_failure(const qarn::FormatError& error) {
  return {kWriteErrorPrefix + qarn::message(error)};
}

ConversionStatus read_table_start(std::span<const uint8_t> csv, csv::CsvReader& reader, uint64_t sample_rows,
                                  const ConvertOptions& options, unsigned threads, TableStart& start) {
  auto header = reader.read_header();
  if (options.column_names) {
    start.names = *options.column_names;
  } else if (!header.ok()) {
    return csv_failure(kHeaderErrorPrefix, header.error());
  } else {
    start.names = std::move(header.value());
  }
  start.header_bytes = reader.bytes_read();
  const size_t column_count = start.names.size();
  const size_t batch_rows = rows_per_batch(column_count);
  for (uint64_t wanted = sample_rows; wanted > 0;) {
    csv::RowBatch& batch = start.sample.emplace_back();
    const size_t limit = static_cast<size_t>(std::min<uint64_t>(wanted, batch_rows));
    auto read = reader.next_batch(batch, column_count, limit);
    if (!read.ok()) return csv_failure(kParseErrorPrefix, read.error());
    if (read.value() == 0) {
      start.sample.pop_back();
      break;
    }
    wanted -= read.value();
  }
  start.types = options.infer_from_every_record
                    ? types_of_every_record(csv, options, column_count, threads)
                    : fields::infer_column_types(start.sample, column_count, options.parse_dates, options.spelling);
  start.spelling = options.spelling;
  const std::vector<fields::ColumnType> inferred = start.types;
  if (auto failure = choose_types(options, start.names, start.types)) return failure;
  place_timestamps(csv, options, start.sample, inferred, start.types);
  start.sample_bytes = reader.bytes_read() - start.header_bytes;
  return std::nullopt;
}

void reserve_output(common::ByteBuffer& out, const TableStart& start, uint64_t chunk_size,
                    size_t input_bytes) {
  out.reserve_output(estimated_file_size(start.sample, start.types, chunk_size, start.sample_bytes,
                                         input_bytes - start.header_bytes));
}

ConversionStatus write_file_start(qarn::Writer& writer, const TableStart& start) {
  writer.write_section_header(qarn::SectionId::FileHeader);
  writer.write_version(qarn::kFormatMajorVersion, qarn::kFormatMinorVersion);
  writer.write_section_header(qarn::SectionId::TableMetadata);
  if (auto err = qarn::write_table_metadata(writer, table_metadata(start.names, start.types))) {
    return write_failure(*err);
  }
  return std::nullopt;
}

ConversionStatus finish_table(SliceWriter& slices, const fields::ChunkBuilder& chunk, TableStart& start,
                              qarn::Writer& writer) {
  if (auto err = slices.finish()) return write_failure(*err);
  start.lost = chunk.lost();
  start.rows = slices.rows_written();
  start.invalid_cells = slices.invalid_cells();
  writer.write_section_header(qarn::SectionId::TableEnd);
  return std::nullopt;
}

ConversionReport report_of(TableStart& start) {
  return ConversionReport{std::move(start.names), std::move(start.types), start.lost, start.rows,
                          start.invalid_cells};
}

qarn::WriteStatus SliceWriter::flush() {
  writer_.out().prefault(chunk_.encoded_size());
  writer_.write_section_header(qarn::SectionId::TableSlice);
  const std::span<const qarn::ColumnSlice> slices = chunk_.finish_slices();
  const qarn::WriteStatus status = qarn::write_table_slice(writer_, slices);
  rows_written_ += chunk_.row_count();
  for (const qarn::ColumnSlice& slice : slices) {
    if (!slice.is_invalid) continue;
    const auto bits = slice.is_invalid->bytes.bytes();
    invalid_cells_ += common::count_set_bits(bits.data(), bits.size());
  }
  chunk_.clear();
  return status;
}

}  // namespace convert
