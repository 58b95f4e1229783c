#include "fields/type_inference.hpp"

#include <algorithm>

#include "fields/fast_parse.hpp"

namespace fields {

namespace {

// Whether every candidate is a `Value` by the fast path the conversion uses
// for it (row batch fields may be read past their end). With many columns
// the sample is a good part of a small input, and each of its fields may be
// tried by several grammars.
template <class Value, class Parse>
bool all_pass(const std::vector<std::string_view>& candidates, Parse parse) {
  return std::all_of(candidates.begin(), candidates.end(), [&](std::string_view text) {
    Value value;
    return parse(text, value);
  });
}

qarn::TypeId infer_type(std::span<const std::string_view> column_sample) {
  // Empty values say nothing about the type; whitespace-only ones do (they
  // fail every grammar and make the column `string`).
  std::vector<std::string_view> candidates;
  candidates.reserve(column_sample.size());
  for (std::string_view text : column_sample) {
    if (!text.empty()) candidates.push_back(text);
  }
  if (candidates.empty()) return qarn::TypeId::String;
  if (all_pass<uint8_t>(candidates, fast::parse_bool)) return qarn::TypeId::Bool;
  if (all_pass<int32_t>(candidates, fast::parse_integer<int32_t>)) return qarn::TypeId::Int;
  if (all_pass<int64_t>(candidates, fast::parse_integer<int64_t>)) return qarn::TypeId::Long;
  if (all_pass<double>(candidates, fast::parse_double<>)) return qarn::TypeId::Double;
  return qarn::TypeId::String;
}

}  // namespace

std::vector<qarn::TypeId> infer_column_types(std::span<const csv::RowBatch> sample,
                                             size_t column_count) {
  std::vector<qarn::TypeId> types;
  types.reserve(column_count);
  std::vector<std::string_view> column_sample;
  for (size_t column = 0; column < column_count; ++column) {
    column_sample.clear();
    for (const csv::RowBatch& batch : sample) {
      for (size_t row = 0; row < batch.row_count(); ++row) {
        column_sample.push_back(batch.field(row, column));
      }
    }
    types.push_back(infer_type(column_sample));
  }
  return types;
}

}  // namespace fields
