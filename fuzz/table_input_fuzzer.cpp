// Drives the writer of Arrow and numpy buffers with columns described by
// arbitrary bytes: kinds, pieces whose offsets, lengths and validity are
// drawn from the input, and buffers cut from it (too short ones included).
// Besides not crashing or reading outside a buffer, every run checks that
// a table the writer accepts is a valid file that reads back with the
// slices asked for and the rows without a value flagged invalid.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "qarn/table_reader.hpp"
#include "table_input/table_encoder.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

// Takes bytes from the front of the input.
class Draw {
 public:
  explicit Draw(std::span<const uint8_t> input) : rest_(input) {}
  uint8_t byte() {
    if (rest_.empty()) return 0;
    const uint8_t b = rest_[0];
    rest_ = rest_.subspan(1);
    return b;
  }
  std::span<const uint8_t> bytes(size_t n) {
    n = std::min(n, rest_.size());
    const std::span<const uint8_t> taken = rest_.first(n);
    rest_ = rest_.subspan(n);
    return taken;
  }

 private:
  std::span<const uint8_t> rest_;
};

bool valid_row(const table_input::ColumnInput& column, uint64_t row) {
  for (const table_input::Piece& piece : column.pieces) {
    if (row < piece.length) {
      if (piece.validity.empty()) return true;
      const uint64_t at = piece.offset + row;
      return ((piece.validity[at >> 3] >> (at & 7)) & 1) != 0;
    }
    row -= piece.length;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Draw draw({data, size});
  const size_t column_count = draw.byte() % 4;
  const uint64_t chunk_size = draw.byte() % 16 + 1;
  std::vector<table_input::ColumnInput> columns(column_count);
  for (table_input::ColumnInput& column : columns) {
    const uint8_t kind = draw.byte();
    column.kind = static_cast<table_input::SourceKind>(kind % table_input::kSourceKindCount);
    column.utc = (kind & 0x80) != 0;
    const size_t pieces = draw.byte() % 3 + 1;
    for (size_t i = 0; i < pieces; ++i) {
      table_input::Piece& piece = column.pieces.emplace_back();
      piece.offset = draw.byte() % 8;
      piece.length = draw.byte() % 24;
      const uint8_t sizes = draw.byte();
      if (sizes & 1) piece.validity = draw.bytes(draw.byte() % 8);
      piece.values = draw.bytes(draw.byte() % 128);
      if (sizes & 2) piece.data = draw.bytes(draw.byte() % 64);
    }
  }
  const uint64_t rows = columns.empty() ? 0 : columns[0].rows();
  const std::vector<std::string> names(column_count, "c");
  if (table_input::check_columns(columns, rows)) return 0;

  common::ByteBuffer out;
  qarn::Writer writer(out);
  if (table_input::write_table_head(writer, names, columns)) fail("the head of a few columns could not be written");
  table_input::TableEncoder encoder(columns, 0);
  for (uint64_t done = 0; done < rows;) {
    const uint64_t slice = std::min(chunk_size, rows - done);
    if (encoder.write_slice(writer, slice)) return 0;  // a value QARN cannot hold, reported as such
    done += slice;
  }
  writer.write_section_header(qarn::SectionId::TableEnd);

  qarn::DecodedTable table;
  if (qarn::read_table(out.bytes(), {}, table)) fail("the writer's output does not read back");
  if (table.slices.slice_rows.size() != (rows + chunk_size - 1) / chunk_size) fail("another number of slices");
  for (size_t c = 0; c < column_count; ++c) {
    const qarn::DecodedColumn& column = *table.slices.columns[c];
    if (table.head.column_types[c] != table_input::storage_type(columns[c].kind)) fail("another type");
    for (uint64_t row = 0; row < rows; ++row) {
      const bool flagged = column.invalid.any() && column.invalid.flags().data()[row] != 0;
      if (flagged == valid_row(columns[c], row)) fail("a row's invalid flag is not its missing value");
    }
  }
  return 0;
}
