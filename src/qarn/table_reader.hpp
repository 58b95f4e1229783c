// A whole file read at once: the metadata, and every selected column's
// values and invalid flags joined over all table slices.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "qarn/file_reader.hpp"

namespace qarn {

struct DecodedColumn {
  explicit DecodedColumn(TypeId type) : values(type) {}
  ValueColumn values;
  InvalidFlags invalid;  // padded to the row count
};

struct DecodedTable {
  FileHead head;
  std::vector<uint64_t> slice_rows;
  // One entry per column; empty for a column that was not selected.
  std::vector<std::optional<DecodedColumn>> columns;
  // Per (slice, column), the value properties other than the first
  // "IsInvalid", kept only where there are some.
  std::map<std::pair<uint64_t, uint64_t>, std::vector<SliceProperty>> slice_properties;
  // Per slice, per column: 1 where the slice has an "IsInvalid" property.
  std::vector<uint8_t> slice_has_invalid;
};

// Reads `file`. `selected` holds one flag per column, or is empty for all
// columns; the values of the others are stepped over (their framing is
// still checked). Throws std::bad_alloc.
[[nodiscard]] ReadStatus read_table(std::span<const uint8_t> file, std::span<const uint8_t> selected,
                                    DecodedTable& table);

// The full check of `file`, keeping nothing.
[[nodiscard]] ReadStatus validate_file(std::span<const uint8_t> file);

}  // namespace qarn
