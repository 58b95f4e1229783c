// A decoded table written back as CSV that converts to the same file: the
// header row, then every row with invalid cells as empty fields and each
// value in a spelling that reads back to the same value and the same type.
// In another dialect, the text reads back in that dialect as the same cells.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/byte_buffer.hpp"
#include "csv_output/date_text.hpp"
#include "csv_input/dialect.hpp"
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
  Calendar calendar = Calendar::None;  // of a `long` column: dates and timestamps as text
};

// How the text is laid out: by default the comma dialect, records ended by
// LF, the header row first.
struct CsvLayout {
  csv::Dialect dialect;
  std::string_view line_end = "\n";  // "\n", "\r\n" or "\r"
  bool header = true;
};

// Appends the CSV text; `columns` has one entry per name. Where a cell
// cannot be written in the layout's dialect so that it reads back (see
// FieldProblem), stops there and says why and where; the text appended is
// then not to be used. The default layout writes every table.
std::optional<std::string> table_to_csv(std::span<const std::string_view> names,
                                        std::span<const CsvColumn> columns, uint64_t rows,
                                        common::ByteBuffer& out, const CsvLayout& layout = {});

}  // namespace csv_output
