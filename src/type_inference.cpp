#include "type_inference.hpp"

#include <algorithm>

#include "padded_parse.hpp"

namespace pipeline {

namespace {

// The four grammars as tests of a text, by the fast paths the conversion
// uses (row batch fields may be read past their end). With many columns the
// sample is a good part of a small input, and each of its fields may be
// tried by several grammars.
struct PaddedGrammars {
  static bool is_bool(std::string_view text) {
    uint8_t value;
    return padded::parse_bool(text, value);
  }
  static bool is_int(std::string_view text) {
    int32_t value;
    return padded::parse_integer(text, value);
  }
  static bool is_long(std::string_view text) {
    int64_t value;
    return padded::parse_integer(text, value);
  }
  static bool is_double(std::string_view text) {
    double value;
    return padded::parse_double(text, value);
  }
};

template <class Test>
bool all_pass(const std::vector<std::string_view>& candidates, Test test) {
  return std::all_of(candidates.begin(), candidates.end(), test);
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
  if (all_pass(candidates, PaddedGrammars::is_bool)) return qarn::TypeId::Bool;
  if (all_pass(candidates, PaddedGrammars::is_int)) return qarn::TypeId::Int;
  if (all_pass(candidates, PaddedGrammars::is_long)) return qarn::TypeId::Long;
  if (all_pass(candidates, PaddedGrammars::is_double)) return qarn::TypeId::Double;
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

}  // namespace pipeline
