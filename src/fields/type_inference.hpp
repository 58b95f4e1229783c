// Chooses each column's value type from the sampled records.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "csv_input/row_batch.hpp"
#include "qarn/value.hpp"

namespace fields {

// One type per column, from the sample's rows in order: `bool`, `int`,
// `long`, `double` or `string`, the first of the four field grammars that
// every non-empty value of the column passes; `string` when none does or
// when there is no non-empty value.
std::vector<qarn::TypeId> infer_column_types(std::span<const csv::RowBatch> sample,
                                             size_t column_count);

}  // namespace fields
