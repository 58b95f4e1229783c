// The TableMetadata section: table properties, then the column property
// definitions derived from the columns, then every column's property values.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "qarn/writer.hpp"
#include "qarn/value.hpp"

namespace qarn {

struct MetadataEntry {
  std::string name;
  ValueObject value;
  std::optional<ValueObject> default_value;
};

struct ColumnMetadata {
  std::string name;
  TypeId type;
  std::vector<MetadataEntry> extra_properties;
};

struct TableMetadata {
  std::vector<MetadataEntry> properties;
  std::vector<ColumnMetadata> columns;
};

// A column property as the section defines it once for all columns.
struct ColumnPropertyDefinition {
  std::string_view name;
  uint8_t type_id;
  const ValueObject* default_value;  // null without a default
};

// "Name", "DataType", then extra properties, each name kept at its first
// appearance in column order.
std::vector<ColumnPropertyDefinition> column_property_definitions(
    const std::vector<ColumnMetadata>& columns);

// The value of a named property of one column: "Name" and "DataType" are
// derived from the column itself and matched first; other names look up the
// first extra property with exactly that name.
std::optional<ValueObject> column_property_value(const ColumnMetadata& column,
                                                 std::string_view property_name);

// A single value in the unpacked form: fixed-width bytes, or length and bytes.
[[nodiscard]] WriteStatus write_unpacked_value(Writer& writer, const ValueObject& value);

// Appends the section body; the caller has written the section header.
[[nodiscard]] WriteStatus write_table_metadata(Writer& writer, const TableMetadata& metadata);

}  // namespace qarn
