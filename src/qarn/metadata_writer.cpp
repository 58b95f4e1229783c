#include "qarn/metadata_writer.hpp"

#include <string_view>
#include <unordered_set>

#include "qarn/property_names.hpp"

namespace qarn {

namespace {

WriteStatus write_entry(Writer& writer, const MetadataEntry& entry) {
  if (auto err = writer.write_name(entry.name)) return err;
  writer.write_byte(type_id(entry.value));
  writer.write_byte(0x01);  // a value is always present
  if (auto err = write_unpacked_value(writer, entry.value)) return err;
  if (!entry.default_value) {
    writer.write_byte(0x00);
    return std::nullopt;
  }
  writer.write_byte(0x01);
  return write_unpacked_value(writer, *entry.default_value);
}

// Unpacked `string` or `bytes` elements: each as a count and its bytes.
WriteStatus write_unpacked_var(Writer& writer, const ValueObject& value) {
  const FormatErrorKind too_long = value.type() == TypeId::String
                                       ? FormatErrorKind::StringTooLong
                                       : FormatErrorKind::BytesTooLong;
  WriteStatus status;
  value.var().for_each([&](std::span<const uint8_t> element) {
    if (status) return;
    if (!writer.fits_count(element.size())) {
      status = FormatError{too_long};
      return;
    }
    writer.write_count(element.size());
    writer.out().append(element);
  });
  return status;
}

}  // namespace

WriteStatus write_unpacked_value(Writer& writer, const ValueObject& value) {
  if (is_variable_width(value.type())) return write_unpacked_var(writer, value);
  writer.out().append(value.fixed().bytes());
  return std::nullopt;
}

std::vector<ColumnPropertyDefinition> column_property_definitions(
    const std::vector<ColumnMetadata>& columns) {
  std::vector<ColumnPropertyDefinition> definitions;
  if (columns.empty()) return definitions;
  // Every column carries "Name" and "DataType" first, so they are always the
  // first two definitions; extras follow in order of first appearance.
  definitions.push_back({property::kName, static_cast<uint8_t>(TypeId::String), nullptr});
  definitions.push_back({property::kDataType, static_cast<uint8_t>(TypeId::Bytes), nullptr});
  std::unordered_set<std::string_view> seen = {property::kName, property::kDataType};
  for (const ColumnMetadata& column : columns) {
    for (const MetadataEntry& entry : column.extra_properties) {
      if (!seen.insert(entry.name).second) continue;
      const ValueObject* default_value = entry.default_value ? &*entry.default_value : nullptr;
      definitions.push_back({entry.name, type_id(entry.value), default_value});
    }
  }
  return definitions;
}

std::optional<ValueObject> column_property_value(const ColumnMetadata& column,
                                                 std::string_view property_name) {
  if (property_name == property::kName) return ValueObject::single_string(column.name);
  if (property_name == property::kDataType) {
    const uint8_t id = static_cast<uint8_t>(column.type);
    return ValueObject::single_bytes(std::span<const uint8_t>(&id, 1));
  }
  for (const MetadataEntry& entry : column.extra_properties) {
    if (entry.name == property_name) return entry.value.clone();
  }
  return std::nullopt;
}

WriteStatus write_table_metadata(Writer& writer, const TableMetadata& metadata) {
  if (!writer.fits_count(metadata.properties.size())) {
    return FormatError{FormatErrorKind::TooManyMetadata};
  }
  writer.write_count(metadata.properties.size());
  for (const MetadataEntry& entry : metadata.properties) {
    if (auto err = write_entry(writer, entry)) return err;
  }

  if (!writer.fits_count(metadata.columns.size())) {
    return FormatError{FormatErrorKind::TooManyColumns};
  }
  writer.write_count(metadata.columns.size());

  const std::vector<ColumnPropertyDefinition> definitions =
      column_property_definitions(metadata.columns);
  if (!writer.fits_count(definitions.size())) {
    return FormatError{FormatErrorKind::TooManyMetadata};
  }
  writer.write_count(definitions.size());
  for (const ColumnPropertyDefinition& definition : definitions) {
    if (auto err = writer.write_name(definition.name)) return err;
    writer.write_byte(definition.type_id);
    if (definition.default_value == nullptr) {
      writer.write_byte(0x00);
      continue;
    }
    writer.write_byte(0x01);
    if (auto err = write_unpacked_value(writer, *definition.default_value)) return err;
  }

  for (const ColumnMetadata& column : metadata.columns) {
    for (const ColumnPropertyDefinition& definition : definitions) {
      const std::optional<ValueObject> value = column_property_value(column, definition.name);
      if (!value) {
        writer.write_byte(0x00);
        continue;
      }
      writer.write_byte(0x01);
      if (auto err = write_unpacked_value(writer, *value)) return err;
    }
  }
  return std::nullopt;
}

}  // namespace qarn
