// Chooses each column's value type from the records it is shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "csv_input/row_batch.hpp"
#include "fields/column_type.hpp"
#include "fields/number_spelling.hpp"

namespace fields {

// One type per column: `bool`, `int`, `long`, `double` or `string`, the
// first of the four field grammars that every non-empty value of the
// column passes; `string` when none does or when there is no non-empty
// value. With `dates`, date and then timestamp come after double: a
// column of dates and timestamps is of timestamps, in UTC if any of them
// has an offset. Records are shown a batch at a time, so that every record
// of a file can be, without holding them. The number grammars read numbers
// as `spelling` says, as conversion does.
class TypeInference {
 public:
  explicit TypeInference(size_t column_count, bool dates = false, const NumberSpelling& spelling = {})
      : passing_(column_count, dates ? kAllGrammars : kNotDates), spelling_(spelling) {}

  void add(const csv::RowBatch& batch) { add(batch, batch.row_count()); }
  // The batch's first `rows` rows.
  void add(const csv::RowBatch& batch, size_t rows);
  // Takes in what another inference over other records was shown.
  void merge(const TypeInference& other);
  [[nodiscard]] std::vector<ColumnType> types() const;

 private:
  // One bit per grammar, in the order they are tried.
  static constexpr uint8_t kBool = 1, kInt = 2, kLong = 4, kDouble = 8, kDate = 16, kTimestamp = 32;
  static constexpr uint8_t kNotDates = kBool | kInt | kLong | kDouble;
  static constexpr uint8_t kAllGrammars = kNotDates | kDate | kTimestamp;
  // Bits of their own: some non-empty value was seen; some timestamp had an offset.
  static constexpr uint8_t kSeen = 64, kOffset = 128;

  std::vector<uint8_t> passing_;  // per column: the grammars every value so far passed, kSeen and kOffset
  NumberSpelling spelling_;
};

// The types of the sample's rows in order.
std::vector<ColumnType> infer_column_types(std::span<const csv::RowBatch> sample, size_t column_count,
                                           bool dates = false, const NumberSpelling& spelling = {});

// Whether a value of the column in the sample is a timestamp with an offset:
// a column made to hold timestamps is in UTC then.
bool sample_has_offsets(std::span<const csv::RowBatch> sample, size_t column);

}  // namespace fields
