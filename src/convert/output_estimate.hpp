// How large the output of a conversion will be, guessed from the sample, so
// that the output can be reserved in one block before anything is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "csv_input/row_batch.hpp"
#include "fields/column_type.hpp"

namespace convert {

// About how many bytes the file takes when the rest of the input is like
// the sample: the sample's values as the slices store them, scaled from the
// `sample_bytes` of input they took to all `input_bytes`. 0 without a sample.
size_t estimated_file_size(std::span<const csv::RowBatch> sample, std::span<const fields::ColumnType> types,
                           uint64_t chunk_size, size_t sample_bytes, size_t input_bytes);

}  // namespace convert
