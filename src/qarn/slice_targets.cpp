#include "qarn/slice_targets.hpp"

namespace qarn {

std::vector<uint8_t> stored_columns(const FileHead& head, std::span<const uint8_t> selected) {
  std::vector<uint8_t> stored(static_cast<size_t>(head.column_count), 1);
  if (selected.empty()) return stored;
  for (size_t c = 0; c < stored.size(); ++c) stored[c] = c < selected.size() && selected[c] != 0 ? 1 : 0;
  return stored;
}

void make_columns(const FileHead& head, std::span<const uint8_t> stored,
                  std::vector<std::optional<DecodedColumn>>& columns) {
  columns.resize(stored.size());
  for (size_t c = 0; c < stored.size(); ++c) {
    if (stored[c] != 0) columns[c].emplace(head.column_types[c]);
  }
}

StoringTargets::StoringTargets(std::span<const uint8_t> store,
                               std::vector<std::optional<DecodedColumn>>& columns)
    : targets_(store.size()), properties_(store.size()) {
  for (size_t c = 0; c < targets_.size(); ++c) {
    if (store[c] == 0) {
      targets_[c].mode = ValueMode::Skip;
      continue;
    }
    DecodedColumn& column = *columns[c];
    targets_[c] = ColumnTarget{ValueMode::Store, &column.values, &column.invalid, &properties_[c]};
  }
}

void StoringTargets::keep_slice(DecodedSlices& record, uint64_t rows) {
  const uint64_t slice = record.slice_rows.size();
  record.slice_rows.push_back(rows);
  for (size_t c = 0; c < targets_.size(); ++c) {
    record.slice_has_invalid.push_back(targets_[c].has_invalid_property ? 1 : 0);
    if (properties_[c].empty()) continue;
    record.slice_properties.emplace(std::pair{slice, uint64_t{c}}, std::move(properties_[c]));
    properties_[c].clear();
  }
}

void StoringTargets::pad_invalid(DecodedSlices& slices, uint64_t rows) {
  for (std::optional<DecodedColumn>& column : slices.columns) {
    if (column && column->invalid.any()) column->invalid.pad_to(rows);
  }
}

}  // namespace qarn
