#include "convert/output_estimate.hpp"

#include <algorithm>

#include "fields/chunk_builder.hpp"
#include "qarn/packed_length.hpp"

namespace convert {

size_t estimated_file_size(std::span<const csv::RowBatch> sample, std::span<const fields::ColumnType> types,
                           uint64_t chunk_size, size_t sample_bytes, size_t input_bytes) {
  double rows = 0;
  double value_bytes = 0;
  for (const csv::RowBatch& batch : sample) {
    rows += static_cast<double>(batch.row_count());
    for (size_t column = 0; column < types.size(); ++column) {
      const size_t width = qarn::fixed_width(fields::storage_type(types[column]));
      if (width != 0) {
        value_bytes += static_cast<double>(width * batch.row_count());
        continue;
      }
      const std::string_view* fields = batch.column(column);
      for (size_t row = 0; row < batch.row_count(); ++row) {
        value_bytes += static_cast<double>(fields[row].size() + qarn::packed_length_size(fields[row].size()));
      }
    }
  }
  if (rows == 0 || sample_bytes == 0) return 0;
  const double scale = static_cast<double>(input_bytes) / static_cast<double>(sample_bytes);
  const double all_rows = rows * scale;
  const double invalid_bits = all_rows / 8 * static_cast<double>(types.size());
  const double slices = all_rows / static_cast<double>(chunk_size) + 1;
  const double framing = slices * static_cast<double>(fields::kSliceFraming * (types.size() + 1));
  const double size = (value_bytes * scale + invalid_bits + framing) * 1.0625;  // a little to spare
  // An odd sample says little about the rest: never more than twice the input.
  return static_cast<size_t>(std::min(size, 2.0 * static_cast<double>(input_bytes)));
}

}  // namespace convert
