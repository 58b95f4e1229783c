// The strict reader of a whole QARN file: the file header, the table
// metadata, the table slices one at a time, and the table end. A file is
// accepted only if it holds exactly these sections, each complete, and
// nothing after the table end. The first defect met in reading order is
// reported, at the first byte of the item that holds it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "qarn/array_reader.hpp"
#include "qarn/cursor.hpp"
#include "qarn/decoded_values.hpp"
#include "qarn/sections.hpp"

namespace qarn {

// A value of the metadata, as it lies in the file (which must outlive it):
// the little-endian bytes of a fixed-width value, or the content of a
// `string` or `bytes`.
struct MetadataValue {
  TypeId type = TypeId::Bool;
  std::string_view bytes;
  uint64_t offset = 0;  // of the value's first byte
};

struct MetadataProperty {
  std::string_view name;
  MetadataValue value;
  std::optional<MetadataValue> default_value;
  uint64_t offset = 0;  // of the entry's name
};

struct PropertyDefinition {
  std::string_view name;
  TypeId type = TypeId::Bool;
  std::optional<MetadataValue> default_value;
};

// The file header and the table metadata.
struct FileHead {
  uint8_t major_version = 0;
  uint8_t minor_version = 0;
  std::vector<MetadataProperty> table_properties;
  std::vector<PropertyDefinition> definitions;
  uint64_t column_count = 0;
  std::vector<std::string_view> column_names;
  std::vector<TypeId> column_types;
  // The values the columns have, column by column; a column without a value
  // for a definition has no entry. Column c's are entries
  // [value_begin[c], value_begin[c + 1]).
  struct ColumnValue {
    uint32_t definition;
    MetadataValue value;
  };
  std::vector<ColumnValue> column_values;
  std::vector<uint64_t> value_begin;

  [[nodiscard]] std::span<const ColumnValue> values_of(uint64_t column) const {
    return std::span(column_values).subspan(value_begin[column],
                                            value_begin[column + 1] - value_begin[column]);
  }
};

// A value property of a column slice other than the first "IsInvalid".
struct SliceProperty {
  std::string_view name;
  EncodingId encoding = EncodingId::Plain;
  ValueColumn values;
};

// Where one column's part of a table slice goes. With ValueMode::Store,
// `values` and `invalid` receive the values and the "IsInvalid" flags, and
// `properties` (when given) the other value properties; otherwise the
// three may be null.
struct ColumnTarget {
  ValueMode mode = ValueMode::Check;
  ValueColumn* values = nullptr;
  InvalidFlags* invalid = nullptr;
  std::vector<SliceProperty>* properties = nullptr;
  // Counts the rows flagged by "IsInvalid" into `invalid_count` whatever
  // the mode, so that a summary can step over the values.
  bool count_invalid = false;

  // Set by the reader.
  bool has_invalid_property = false;  // in the slice just read
  uint64_t invalid_count = 0;         // over all slices read, when counted
  uint64_t bytes = 0;                 // of the column's slice sections so far
  uint64_t rows = 0;                  // values represented, over all slices read
  uint64_t value_bytes = 0;           // the values' bytes (for `string` and `bytes`,
                                      // at most this much element data)
  bool run_length = false;            // whether any values were run-length encoded
};

class FileReader {
 public:
  explicit FileReader(std::span<const uint8_t> file) noexcept : cursor_(file) {}
  // A reader of the slices that follow a head read before, which ended at
  // `head_end`: the head is not read again, since the bytes may have
  // changed meanwhile and what was made from it must stay in step.
  FileReader(std::span<const uint8_t> file, uint64_t head_end) noexcept : cursor_(file) {
    cursor_.seek(file.data() + head_end);
  }

  // Reads the file header and the table metadata, and checks that every
  // column has a name and a type.
  [[nodiscard]] ReadStatus read_head(FileHead& head);

  // Reads the next section: a table slice, whose columns go to `targets`
  // (one per column) and whose row count goes to `rows`, or the table end,
  // after which `finished` is set. `first_row` is the number of rows read
  // before this slice.
  [[nodiscard]] ReadStatus read_next(const FileHead& head, std::span<ColumnTarget> targets,
                                     uint64_t first_row, uint64_t& rows, bool& finished);

  [[nodiscard]] uint64_t offset() const noexcept { return cursor_.offset(); }

 private:
  ReadStatus read_section_header(uint8_t& id);
  ReadStatus expect_section(SectionId expected);
  ReadStatus read_name(std::string_view& name);
  ReadStatus read_metadata_value(TypeId type, MetadataValue& value);
  ReadStatus read_optional_value(TypeId type, std::optional<MetadataValue>& value);
  ReadStatus read_table_properties(FileHead& head);
  ReadStatus read_definitions(FileHead& head);
  ReadStatus read_column_values(FileHead& head, std::optional<ReadError>& first_bad_column);
  std::optional<ReadError> check_column(const FileHead& head,
                                        std::span<const FileHead::ColumnValue> values,
                                        uint64_t column_offset, std::string_view& column_name,
                                        TypeId& type) const;
  std::optional<ReadError> check_table_columns(const FileHead& head) const;
  ReadStatus read_table_slice(const FileHead& head, std::span<ColumnTarget> targets,
                              uint64_t first_row, uint64_t& rows);
  ReadStatus read_column_slice(TypeId type, ColumnTarget& target, uint64_t first_row,
                               std::optional<uint64_t>& rows);
  ReadStatus read_value_property(ColumnTarget& target, uint64_t first_row, uint64_t rows);
  ValueColumn& scratch(TypeId type);

  Cursor cursor_;
  std::array<std::optional<ValueColumn>, 14> scratch_;  // by type id, for checking
};

}  // namespace qarn
