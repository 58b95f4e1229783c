// Columns in Arrow's or numpy's memory layout written as a QARN file: its
// head, then table slices of the rows as they come, each column slice a
// plain array of the column's type with "IsInvalid" where a row has no
// value (which is stored as the type's zero, or the empty string). The
// bytes are those the CSV converter writes for the same table.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "qarn/slice_writer.hpp"
#include "qarn/writer.hpp"
#include "table_input/column_input.hpp"
#include "table_input/input_error.hpp"

namespace table_input {

// The file header and the table metadata: "TableColumns", and per column
// its name, its type and, for dates and timestamps, "LogicalType".
[[nodiscard]] qarn::WriteStatus write_table_head(qarn::Writer& writer, std::span<const std::string> names,
                                                 std::span<const ColumnInput> columns);

// Checks that every column holds `rows` rows and that every piece's
// buffers are as large as its rows need (the offsets' values are checked
// as they are read).
[[nodiscard]] InputStatus check_columns(std::span<const ColumnInput> columns, uint64_t rows);

// Writes the rows of checked columns as table slices, in order.
class TableEncoder {
 public:
  // `columns` must outlive the encoder; `first_row` is the number of the
  // table's rows before theirs, for messages.
  TableEncoder(std::span<const ColumnInput> columns, uint64_t first_row);

  // The next `rows` rows as one TableSlice section.
  [[nodiscard]] InputStatus write_slice(qarn::Writer& writer, uint64_t rows);

 private:
  // Where a column's next row lies.
  struct Position {
    size_t piece = 0;
    uint64_t row = 0;  // within the piece
  };
  // Rows [start, start + count) of one piece, at row `at` of the slice.
  struct Part {
    const Piece* piece;
    uint64_t start;
    uint64_t count;
    uint64_t at;
  };

  void take_parts(size_t column, uint64_t rows);
  InputStatus write_column(qarn::Writer& writer, size_t column, uint64_t rows);
  InputStatus write_fixed(qarn::Writer& writer, size_t column, uint64_t rows);
  InputStatus write_variable(qarn::Writer& writer, size_t column, uint64_t rows);
  void mark_invalid(uint64_t slice_row, uint64_t rows);

  std::span<const ColumnInput> columns_;
  std::vector<Position> positions_;
  uint64_t next_row_;
  std::vector<Part> parts_;   // of the column being written
  qarn::BitArray invalid_;    // of the column being written, once a row is invalid
  bool any_invalid_ = false;
};

}  // namespace table_input
