// A decoded table written back as CSV that converts to the same file: the
// header row, then every row with invalid cells as empty fields and each
// value in a spelling that reads back to the same value and the same type.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/byte_buffer.hpp"
#include "qarn/offsets_view.hpp"
#include "qarn/value.hpp"

namespace csv_output {

// One column's values as the reader decodes them (see qarn::ValueColumn).
struct CsvColumn {
  qarn::TypeId type = qarn::TypeId::String;
  const uint8_t* fixed = nullptr;     // fixed-width values
  qarn::OffsetsView offsets;          // `string` and `bytes`: rows + 1 offsets into `data`
  const uint8_t* data = nullptr;
  const uint8_t* invalid = nullptr;   // one flag per row, or null when none is invalid
};

// Appends the CSV text; `columns` has one entry per name.
void table_to_csv(std::span<const std::string_view> names, std::span<const CsvColumn> columns,
                  uint64_t rows, common::ByteBuffer& out);

}  // namespace csv_output
