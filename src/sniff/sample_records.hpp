// The first records of a sample as the converter's own reader reads them
// in a candidate dialect: each record's field count, cheap enough to try
// many dialects, or its fields as text for the few worth a closer look.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "csv_input/dialect.hpp"

namespace sniff {

// A dialect the sniffer may choose: no quote byte means no quoting.
struct Candidate {
  char delimiter = ',';
  char quote = '"';  // 0: none
  bool escape = false;  // whether a backslash escapes
  bool newlines_in_values = true;
  bool skip_initial_space = false;  // whether spaces after a delimiter are skipped

  // The reader's dialect, with comment lines starting with `comment` (0: none).
  [[nodiscard]] csv::Dialect dialect(char comment = 0) const noexcept;
};

// A record's fields: valid UTF-8 (see with_replacements), held by its Records.
using Fields = std::span<const std::string_view>;

struct Record {
  size_t start = 0;  // the record's first byte, past blank and comment lines
  Fields fields;
};

// Records read from a sample, with their fields' text in one buffer rather
// than a string each: the sniffer reads thousands of fields per file.
class Records {
 public:
  Records() = default;
  Records(Records&&) noexcept = default;
  Records& operator=(Records&&) noexcept = default;
  Records(const Records&) = delete;
  Records& operator=(const Records&) = delete;

  // The records of `texts`, each (where it starts, how many fields) in order.
  Records(csv::FieldTexts texts, const std::vector<std::pair<size_t, size_t>>& starts_and_counts);

  [[nodiscard]] size_t size() const noexcept { return list_.size(); }
  [[nodiscard]] bool empty() const noexcept { return list_.empty(); }
  const Record& operator[](size_t i) const noexcept { return list_[i]; }
  [[nodiscard]] const Record& back() const noexcept { return list_.back(); }
  [[nodiscard]] auto begin() const noexcept { return list_.begin(); }
  [[nodiscard]] auto end() const noexcept { return list_.end(); }

  // The same records: starts and fields.
  bool operator==(const Records& other) const noexcept;

 private:
  // Every field's text, one after the other; on the heap, where moving the
  // records leaves it (and the fields' views into it) in place.
  std::unique_ptr<const std::string> text_;
  std::vector<std::string_view> fields_;
  std::vector<Record> list_;
};

// Up to `limit` records of `text` from its start.
Records read_records(std::string_view text, const Candidate& candidate, size_t limit, char comment = 0);
// The field counts of up to `limit` records of `text`.
std::vector<size_t> read_field_counts(std::string_view text, const Candidate& candidate, size_t limit);

}  // namespace sniff
