#include "qarn/file_reader.hpp"

#include <algorithm>

#include "common/utf8.hpp"
#include "qarn/property_names.hpp"
#include "qarn/sections.hpp"

namespace qarn {

namespace {

std::string_view as_text(const uint8_t* bytes, size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

ReadError wrong_section(SectionId expected, uint8_t found, uint64_t offset) {
  return ReadError{FormatError{FormatErrorKind::WrongSectionId, static_cast<uint8_t>(expected), found},
                   offset};
}

const MetadataValue* default_of(const PropertyDefinition& definition) {
  return definition.default_value ? &*definition.default_value : nullptr;
}

// The first definition with this name, or -1.
ptrdiff_t find_definition(const FileHead& head, std::string_view name) {
  for (size_t d = 0; d < head.definitions.size(); ++d) {
    if (head.definitions[d].name == name) return static_cast<ptrdiff_t>(d);
  }
  return -1;
}

}  // namespace

// ------------------------------------------------------------ primitives

ReadStatus FileReader::read_section_header(uint8_t& id) {
  const uint64_t start = cursor_.offset();
  // The magic number is one 16-bit word: a file that ends inside it is cut
  // short, whatever its first byte.
  if (cursor_.remaining() < 2) return read_error(FormatErrorKind::InvalidSize, start);
  if (cursor_.here()[0] != kMagicLow || cursor_.here()[1] != kMagicHigh) {
    return read_error(FormatErrorKind::MagicNumberMismatch, start);
  }
  cursor_.advance(2);
  if (auto err = cursor_.read_byte(id)) return read_error(FormatErrorKind::InvalidSize, start);
  if (!is_section_id(id)) {
    return ReadError{FormatError{FormatErrorKind::InvalidSectionId, id}, start};
  }
  return std::nullopt;
}

ReadStatus FileReader::expect_section(SectionId expected) {
  const uint64_t start = cursor_.offset();
  uint8_t id = 0;
  if (auto err = read_section_header(id)) return err;
  if (id != static_cast<uint8_t>(expected)) return wrong_section(expected, id, start);
  return std::nullopt;
}

ReadStatus FileReader::read_name(std::string_view& name) {
  const uint64_t start = cursor_.offset();
  uint64_t length = 0;
  if (auto err = cursor_.read_count(length, start)) return err;
  const uint8_t* bytes = nullptr;
  if (auto err = cursor_.take(static_cast<size_t>(length), start, bytes)) return err;
  if (!common::is_valid_utf8(bytes, static_cast<size_t>(length))) {
    return read_error(FormatErrorKind::InvalidString, start);
  }
  name = as_text(bytes, static_cast<size_t>(length));
  return std::nullopt;
}

// A single value in the unpacked form: fixed-width bytes, or a count and
// that many bytes.
ReadStatus FileReader::read_metadata_value(TypeId type, MetadataValue& value) {
  const uint64_t start = cursor_.offset();
  value.type = type;
  value.offset = start;
  size_t length = fixed_width(type);
  if (length == 0) {
    uint64_t count = 0;
    if (auto err = cursor_.read_count(count, start)) return err;
    length = static_cast<size_t>(count);
  }
  const uint8_t* bytes = nullptr;
  if (auto err = cursor_.take(length, start, bytes)) return err;
  if (type == TypeId::Bool && bytes[0] > 1) return read_error(FormatErrorKind::InvalidBool, start);
  if (type == TypeId::String && !common::is_valid_utf8(bytes, length)) {
    return read_error(FormatErrorKind::InvalidString, start);
  }
  value.bytes = as_text(bytes, length);
  return std::nullopt;
}

// A flag byte, 0 for no value or 1 followed by the value.
ReadStatus FileReader::read_optional_value(TypeId type, std::optional<MetadataValue>& value) {
  const uint64_t flag_offset = cursor_.offset();
  uint8_t flag = 0;
  if (auto err = cursor_.read_byte(flag)) return err;
  if (flag > 1) return read_error(FormatErrorKind::InvalidMetadata, flag_offset);
  if (flag == 0) return std::nullopt;
  return read_metadata_value(type, value.emplace());
}

ValueColumn& FileReader::scratch(TypeId type) {
  std::optional<ValueColumn>& slot = scratch_[static_cast<size_t>(type)];
  if (!slot) slot.emplace(type);
  return *slot;
}

// -------------------------------------------------------------- metadata

ReadStatus FileReader::read_table_properties(FileHead& head) {
  uint64_t count = 0;
  if (auto err = cursor_.read_count(count)) return err;
  for (uint64_t i = 0; i < count; ++i) {
    MetadataProperty& property = head.table_properties.emplace_back();
    property.offset = cursor_.offset();
    if (auto err = read_name(property.name)) return err;
    uint8_t type_byte = 0;
    const uint64_t type_offset = cursor_.offset();
    if (auto err = cursor_.read_byte(type_byte)) return err;
    TypeId type{};
    if (auto err = to_type_id(type_byte, type_offset, type)) return err;
    const uint64_t flag_offset = cursor_.offset();
    uint8_t value_flag = 0;
    if (auto err = cursor_.read_byte(value_flag)) return err;
    if (value_flag != 0x01) return read_error(FormatErrorKind::InvalidMetadata, flag_offset);
    if (auto err = read_metadata_value(type, property.value)) return err;
    if (auto err = read_optional_value(type, property.default_value)) return err;
  }
  return std::nullopt;
}

ReadStatus FileReader::read_definitions(FileHead& head) {
  uint64_t count = 0;
  if (auto err = cursor_.read_count(count)) return err;
  for (uint64_t i = 0; i < count; ++i) {
    PropertyDefinition& definition = head.definitions.emplace_back();
    if (auto err = read_name(definition.name)) return err;
    uint8_t type_byte = 0;
    const uint64_t type_offset = cursor_.offset();
    if (auto err = cursor_.read_byte(type_byte)) return err;
    if (auto err = to_type_id(type_byte, type_offset, definition.type)) return err;
    if (auto err = read_optional_value(definition.type, definition.default_value)) return err;
  }
  return std::nullopt;
}

// Every column needs a `string` "Name" and a one-byte `bytes` "DataType"
// naming a type, its own or its definition's default. A missing one is reported at the column's first value
// flag, a "DataType" of another length or naming no type at its value.
std::optional<ReadError> FileReader::check_column(const FileHead& head,
                                                  std::span<const FileHead::ColumnValue> values,
                                                  uint64_t column_offset, std::string_view& column_name,
                                                  TypeId& type) const {
  const ptrdiff_t name = find_definition(head, property::kName);
  const ptrdiff_t data_type = find_definition(head, property::kDataType);
  const ReadError invalid = read_error(FormatErrorKind::InvalidMetadata, column_offset);
  if (name < 0 || data_type < 0 || head.definitions[static_cast<size_t>(name)].type != TypeId::String ||
      head.definitions[static_cast<size_t>(data_type)].type != TypeId::Bytes) {
    return invalid;
  }
  // Definitions have their first name's index; later ones of the same name
  // are not consulted. A column without a value of its own has the
  // definition's default, if there is one.
  const MetadataValue* name_value = default_of(head.definitions[static_cast<size_t>(name)]);
  const MetadataValue* type_value = default_of(head.definitions[static_cast<size_t>(data_type)]);
  for (const FileHead::ColumnValue& entry : values) {
    if (entry.definition == static_cast<uint32_t>(name)) name_value = &entry.value;
    if (entry.definition == static_cast<uint32_t>(data_type)) type_value = &entry.value;
  }
  if (name_value == nullptr || type_value == nullptr) return invalid;
  if (type_value->bytes.size() != 1) {
    return read_error(FormatErrorKind::InvalidMetadata, type_value->offset);
  }
  column_name = name_value->bytes;
  return to_type_id(static_cast<uint8_t>(type_value->bytes[0]), type_value->offset, type);
}

// An `int` "TableColumns" must give the column count.
std::optional<ReadError> FileReader::check_table_columns(const FileHead& head) const {
  for (const MetadataProperty& entry : head.table_properties) {
    if (entry.name != property::kTableColumns) continue;
    if (entry.value.type != TypeId::Int) return std::nullopt;
    int32_t declared = 0;
    std::memcpy(&declared, entry.value.bytes.data(), sizeof declared);
    if (declared < 0 || static_cast<uint64_t>(declared) != head.column_count) {
      return read_error(FormatErrorKind::ColumnCountMismatch, entry.offset);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

// Reads every column's values and checks each column as it goes, keeping
// the first column that fails; it is reported only once the whole section
// has been read, as a defect met later in the section comes first. Once a
// column has failed, nothing more is kept: a file of many columns that
// lack a name costs no memory for them.
ReadStatus FileReader::read_column_values(FileHead& head,
                                          std::optional<ReadError>& first_bad_column) {
  if (head.definitions.empty()) {
    // Columns hold no bytes at all then, so their count says nothing about
    // the file's size; the first one fails for want of a name.
    if (head.column_count > 0) {
      first_bad_column = read_error(FormatErrorKind::InvalidMetadata, cursor_.offset());
    }
    return std::nullopt;
  }
  head.value_begin.push_back(0);
  for (uint64_t column = 0; column < head.column_count; ++column) {
    const uint64_t column_offset = cursor_.offset();
    const size_t first_value = head.column_values.size();
    for (size_t d = 0; d < head.definitions.size(); ++d) {
      std::optional<MetadataValue> value;
      if (auto err = read_optional_value(head.definitions[d].type, value)) return err;
      if (value && !first_bad_column) {
        head.column_values.push_back({static_cast<uint32_t>(d), *value});
      }
    }
    if (first_bad_column) continue;
    TypeId type{};
    std::string_view name;
    const auto values = std::span(head.column_values).subspan(first_value);
    if (auto bad = check_column(head, values, column_offset, name, type)) {
      first_bad_column = bad;
      continue;
    }
    head.column_names.push_back(name);
    head.column_types.push_back(type);
    head.value_begin.push_back(head.column_values.size());
  }
  return std::nullopt;
}

ReadStatus FileReader::read_head(FileHead& head) {
  if (auto err = expect_section(SectionId::FileHeader)) return err;
  const uint64_t version_offset = cursor_.offset();
  if (auto err = cursor_.read_byte(head.major_version)) return err;
  if (cursor_.at_end()) return read_error(FormatErrorKind::InvalidSize, version_offset);
  if (auto err = cursor_.read_byte(head.minor_version)) return err;
  if (head.major_version != kFormatMajorVersion || head.minor_version != kFormatMinorVersion) {
    return ReadError{FormatError{FormatErrorKind::UnsupportedVersion, head.major_version,
                                 head.minor_version},
                     version_offset};
  }
  if (auto err = expect_section(SectionId::TableMetadata)) return err;
  if (auto err = read_table_properties(head)) return err;
  if (auto err = cursor_.read_count(head.column_count)) return err;
  if (auto err = read_definitions(head)) return err;
  std::optional<ReadError> first_bad_column;
  if (auto err = read_column_values(head, first_bad_column)) return err;
  // The checks that need the whole section, in the order of their items.
  if (auto err = check_table_columns(head)) return err;
  return first_bad_column;
}

// ---------------------------------------------------------------- slices

ReadStatus FileReader::read_value_property(ColumnTarget& target, uint64_t first_row,
                                           uint64_t rows) {
  std::string_view name;
  if (auto err = read_name(name)) return err;
  const bool is_flags = name == property::kIsInvalid || name == property::kHasReplacedValue;
  ArrayExpectation expect;
  if (is_flags) expect = {TypeId::Bool, rows};
  ArrayHeader header;
  if (auto err = read_array_header(cursor_, expect, header)) return err;

  const bool first_invalid = name == property::kIsInvalid && !target.has_invalid_property;
  if (name == property::kIsInvalid) target.has_invalid_property = true;
  if (first_invalid && (target.mode == ValueMode::Store || target.count_invalid)) {
    ValueColumn& bits = scratch(TypeId::Bool);
    bits.clear();
    if (auto err = read_array_values(cursor_, header, ValueMode::Store, &bits)) return err;
    const uint8_t* flags = bits.fixed().data();
    if (target.count_invalid) {
      target.invalid_count += static_cast<uint64_t>(std::count_if(
          flags, flags + bits.fixed().size(), [](uint8_t flag) { return flag != 0; }));
    }
    if (target.mode == ValueMode::Store) target.invalid->append(first_row, flags, rows);
    return std::nullopt;
  }
  if (target.mode != ValueMode::Store || target.properties == nullptr) {
    const ValueMode mode = target.mode == ValueMode::Skip ? ValueMode::Skip : ValueMode::Check;
    return read_array_values(cursor_, header, mode, &scratch(header.type));
  }
  SliceProperty& property =
      target.properties->emplace_back(SliceProperty{name, header.encoding, ValueColumn(header.type)});
  return read_array_values(cursor_, header, ValueMode::Store, &property.values);
}

ReadStatus FileReader::read_column_slice(TypeId type, ColumnTarget& target, uint64_t first_row,
                                         std::optional<uint64_t>& rows) {
  const uint64_t start = cursor_.offset();
  if (auto err = expect_section(SectionId::ColumnSlice)) return err;
  ArrayHeader header;
  if (auto err = read_array_header(cursor_, ArrayExpectation{type, rows}, header)) return err;
  if (!rows) rows = header.count;
  ValueColumn* out = target.mode == ValueMode::Store   ? target.values
                     : target.mode == ValueMode::Check ? &scratch(type)
                                                       : nullptr;
  const uint64_t values_start = cursor_.offset();
  if (auto err = read_array_values(cursor_, header, target.mode, out)) return err;
  target.rows += header.count;
  target.run_length |= header.encoding == EncodingId::RunLength;
  target.value_bytes += is_variable_width(type) ? cursor_.offset() - values_start
                                                : header.count * fixed_width(type);

  target.has_invalid_property = false;
  uint64_t property_count = 0;
  if (auto err = cursor_.read_count(property_count)) return err;
  for (uint64_t i = 0; i < property_count; ++i) {
    if (auto err = read_value_property(target, first_row, *rows)) return err;
  }
  target.bytes += cursor_.offset() - start;
  return std::nullopt;
}

ReadStatus FileReader::read_table_slice(const FileHead& head, std::span<ColumnTarget> targets,
                                        uint64_t first_row, uint64_t& rows) {
  const uint64_t count_offset = cursor_.offset();
  uint64_t count = 0;
  if (auto err = cursor_.read_count(count)) return err;
  if (count != head.column_count) {
    return read_error(FormatErrorKind::ColumnCountMismatch, count_offset);
  }
  std::optional<uint64_t> slice_rows;
  for (uint64_t column = 0; column < count; ++column) {
    if (auto err = read_column_slice(head.column_types[column], targets[column], first_row,
                                     slice_rows)) {
      return err;
    }
  }
  rows = slice_rows.value_or(0);
  return std::nullopt;
}

ReadStatus FileReader::read_next(const FileHead& head, std::span<ColumnTarget> targets,
                                 uint64_t first_row, uint64_t& rows, bool& finished) {
  const uint64_t start = cursor_.offset();
  rows = 0;
  finished = false;
  uint8_t id = 0;
  if (auto err = read_section_header(id)) return err;
  if (id == static_cast<uint8_t>(SectionId::TableSlice)) {
    return read_table_slice(head, targets, first_row, rows);
  }
  if (id != static_cast<uint8_t>(SectionId::TableEnd)) {
    return wrong_section(SectionId::TableEnd, id, start);
  }
  if (!cursor_.at_end()) return read_error(FormatErrorKind::InvalidSize, cursor_.offset());
  finished = true;
  return std::nullopt;
}

}  // namespace qarn
