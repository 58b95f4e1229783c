// Chooses each column's value type from the records it is shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "csv_input/row_batch.hpp"
#include "qarn/value.hpp"

namespace fields {

// One type per column: `bool`, `int`, `long`, `double` or `string`, the
// first of the four field grammars that every non-empty value of the
// column passes; `string` when none does or when there is no non-empty
// value. Records are shown a batch at a time, so that every record of a
// file can be, without holding them.
class TypeInference {
 public:
  explicit TypeInference(size_t column_count) : passing_(column_count, kAllGrammars) {}

  void add(const csv::RowBatch& batch) { add(batch, batch.row_count()); }
  // The batch's first `rows` rows.
  void add(const csv::RowBatch& batch, size_t rows);
  // Takes in what another inference over other records was shown.
  void merge(const TypeInference& other);
  [[nodiscard]] std::vector<qarn::TypeId> types() const;

 private:
  // One bit per grammar, in the order they are tried.
  static constexpr uint8_t kBool = 1, kInt = 2, kLong = 4, kDouble = 8, kAllGrammars = 15;
  // A bit of its own: some non-empty value was seen.
  static constexpr uint8_t kSeen = 16;

  std::vector<uint8_t> passing_;  // per column: the grammars every value so far passed, and kSeen
};

// The types of the sample's rows in order.
std::vector<qarn::TypeId> infer_column_types(std::span<const csv::RowBatch> sample, size_t column_count);

}  // namespace fields
