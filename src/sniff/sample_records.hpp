// The first records of a sample as the converter's own reader reads them
// in a candidate dialect: each record's field count, cheap enough to try
// many dialects, or its fields as text for the few worth a closer look.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "csv_input/dialect.hpp"

namespace sniff {

// A dialect the sniffer may choose: no quote byte means no quoting.
struct Candidate {
  char delimiter = ',';
  char quote = '"';  // 0: none
  bool escape = false;  // whether a backslash escapes
  bool newlines_in_values = true;

  bool operator==(const Candidate&) const = default;
  // The reader's dialect, with comment lines starting with `comment` (0: none).
  [[nodiscard]] csv::Dialect dialect(char comment = 0) const noexcept;
};

struct Record {
  size_t start = 0;  // the record's first byte, past blank and comment lines
  std::vector<std::string> fields;  // valid UTF-8: see with_replacements

  bool operator==(const Record&) const = default;
};

using Records = std::vector<Record>;

// Up to `limit` records of `text` from its start.
Records read_records(std::string_view text, const Candidate& candidate, size_t limit, char comment = 0);
// The field counts of up to `limit` records of `text`.
std::vector<size_t> read_field_counts(std::string_view text, const Candidate& candidate, size_t limit);

}  // namespace sniff
