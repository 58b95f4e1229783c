#include "qarn/table_reader.hpp"

namespace qarn {

ReadStatus read_table(std::span<const uint8_t> file, std::span<const uint8_t> selected,
                      DecodedTable& table) {
  FileReader reader(file);
  FileHead& head = table.head;
  if (auto err = reader.read_head(head)) return err;

  const size_t column_count = static_cast<size_t>(head.column_count);
  std::vector<ColumnTarget> targets(column_count);
  std::vector<std::vector<SliceProperty>> properties(column_count);
  table.columns.resize(column_count);
  for (size_t c = 0; c < column_count; ++c) {
    if (!selected.empty() && (c >= selected.size() || selected[c] == 0)) {
      targets[c].mode = ValueMode::Skip;
      continue;
    }
    DecodedColumn& column = table.columns[c].emplace(head.column_types[c]);
    targets[c] = ColumnTarget{ValueMode::Store, &column.values, &column.invalid, &properties[c]};
  }

  uint64_t rows_so_far = 0;
  for (uint64_t slice = 0;; ++slice) {
    uint64_t rows = 0;
    bool finished = false;
    if (auto err = reader.read_next(head, targets, rows_so_far, rows, finished)) return err;
    if (finished) break;
    table.slice_rows.push_back(rows);
    rows_so_far += rows;
    for (size_t c = 0; c < column_count; ++c) {
      table.slice_has_invalid.push_back(targets[c].has_invalid_property ? 1 : 0);
      if (properties[c].empty()) continue;
      table.slice_properties.emplace(std::pair{slice, uint64_t{c}}, std::move(properties[c]));
      properties[c].clear();
    }
  }
  for (std::optional<DecodedColumn>& column : table.columns) {
    if (column && column->invalid.any()) column->invalid.pad_to(rows_so_far);
  }
  return std::nullopt;
}

ReadStatus validate_file(std::span<const uint8_t> file) {
  FileReader reader(file);
  FileHead head;
  if (auto err = reader.read_head(head)) return err;
  std::vector<ColumnTarget> targets(static_cast<size_t>(head.column_count));
  for (uint64_t rows_so_far = 0;;) {
    uint64_t rows = 0;
    bool finished = false;
    if (auto err = reader.read_next(head, targets, rows_so_far, rows, finished)) return err;
    if (finished) return std::nullopt;
    rows_so_far += rows;
  }
}

}  // namespace qarn
