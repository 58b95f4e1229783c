// The reading options of a fuzz input, drawn from its leading bytes, so that
// every dialect and table layout is fuzzed with the same targets.
#pragma once

#include <cstdint>

#include "convert/driver.hpp"
#include "csv_input/dialect.hpp"

namespace fuzz {

// Byte 0 is the comma dialect; other values give the other delimiters,
// quotes (or none), an escape, comment lines, quotes that do not double,
// line ends that quoted fields cannot hold and skipped spaces, in every
// combination.
inline csv::Dialect dialect_from_byte(uint8_t byte) {
  static constexpr uint8_t kDelimiters[] = {',', ';', '\t', '|', ':', ' ', ',', ','};
  static constexpr uint8_t kQuotes[] = {'"', '\'', 0, '"'};
  csv::Dialect dialect;
  dialect.delimiter = kDelimiters[byte & 7];
  const uint8_t quote = kQuotes[(byte >> 3) & 3];
  dialect.quoting = quote != 0;
  if (quote != 0) dialect.quote = quote;
  dialect.escaping = (byte >> 5) & 1;
  dialect.comments = (byte >> 6) & 1;
  // Skipped spaces after commas, and after spaces (runs of them separate fields).
  dialect.skip_initial_space = (byte & 7) == 7 || ((byte & 7) == 5 && ((byte >> 3) & 3) == 3);
  if ((byte >> 7) & 1) {
    // Both of the rarer quote rules at once, and each alone when quotes are `'`.
    dialect.doublequote = quote == '\'';
    dialect.newlines_in_values = quote != '\'';
    if (quote == '"') dialect.doublequote = dialect.newlines_in_values = false;
  }
  return dialect;
}

// Null markers the layout byte may choose: none, or one of these sets.
inline const csv::NullValues* null_values_from_bits(unsigned bits) {
  static const csv::NullValues kMarkers[] = {csv::NullValues({"NA", "NULL"}), csv::NullValues({"", "1", "a"})};
  return bits == 0 ? nullptr : &kMarkers[(bits - 1) % 2];
}

// The dialect from `dialect_byte`; from `layout_byte`, a header row or
// none (bit 0), up to 3 lines skipped before the table (bits 1-2), null
// markers (bits 3-4), types from every record (bit 5), and chosen types
// (bits 6-7): none; every column `string`; dates inferred and the last
// column `long`; dates inferred, the first column `timestamp` and the last
// `float`.
inline convert::ConvertOptions options_from_bytes(uint8_t dialect_byte, uint8_t layout_byte) {
  convert::ConvertOptions options;
  options.layout.dialect = dialect_from_byte(dialect_byte);
  options.layout.header = (layout_byte & 1) == 0;
  options.layout.skip_rows = (layout_byte >> 1) & 3;
  options.layout.null_values = null_values_from_bits((layout_byte >> 3) & 3);
  options.infer_from_every_record = (layout_byte >> 5) & 1;
  using fields::ColumnType;
  // A chosen column fails the conversion where the table has none, as it should.
  switch (layout_byte >> 6) {
    case 1: options.every_column_type = ColumnType::String; break;
    case 2:
      options.parse_dates = true;
      options.column_types.push_back({std::nullopt, -1, ColumnType::Long});
      break;
    case 3:
      options.parse_dates = true;
      options.column_types.push_back({std::nullopt, 0, ColumnType::Timestamp});
      options.column_types.push_back({std::nullopt, -1, ColumnType::Float});
      break;
    default: break;
  }
  return options;
}

}  // namespace fuzz
