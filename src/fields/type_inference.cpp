#include "fields/type_inference.hpp"

#include "fields/fast_parse.hpp"

namespace fields {

namespace {

// The parsers the conversion uses (row batch fields may be read past their
// end), so that a type inferred is one its values convert to.
bool passes_bool(std::string_view text) {
  uint8_t value;
  return fast::parse_bool(text, value);
}
bool passes_int(std::string_view text) {
  int32_t value;
  return fast::parse_integer<int32_t>(text, value);
}
bool passes_long(std::string_view text) {
  int64_t value;
  return fast::parse_integer<int64_t>(text, value);
}
bool passes_double(std::string_view text) {
  double value;
  return fast::parse_double<>(text, value);
}

}  // namespace

// A Boolean is no number, and every int is a long and every long a double:
// so a value clears the grammars it fails up to the first it passes, and
// that one's answer settles the rest without parsing it again.
void TypeInference::add(const csv::RowBatch& batch, size_t rows) {
  for (size_t column = 0; column < passing_.size(); ++column) {
    uint8_t passing = passing_[column];
    const std::string_view* fields = batch.column(column);
    for (size_t row = 0; row < rows; ++row) {
      const std::string_view text = fields[row];
      if (text.empty()) continue;  // says nothing about the type; whitespace does
      passing |= kSeen;
      if ((passing & kBool) && passes_bool(text)) {
        passing &= kBool | kSeen;
        continue;
      }
      passing &= ~kBool;
      if ((passing & kInt) && passes_int(text)) continue;
      passing &= ~kInt;
      if ((passing & kLong) && passes_long(text)) continue;
      passing &= ~kLong;
      if ((passing & kDouble) && passes_double(text)) continue;
      passing &= ~kDouble;
    }
    passing_[column] = passing;
  }
}

// The grammars both passed; a value seen by either.
void TypeInference::merge(const TypeInference& other) {
  for (size_t column = 0; column < passing_.size(); ++column) {
    const uint8_t mine = passing_[column], theirs = other.passing_[column];
    passing_[column] = static_cast<uint8_t>((mine & theirs & kAllGrammars) | ((mine | theirs) & kSeen));
  }
}

std::vector<qarn::TypeId> TypeInference::types() const {
  std::vector<qarn::TypeId> types;
  types.reserve(passing_.size());
  for (const uint8_t passing : passing_) {
    if (!(passing & kSeen)) types.push_back(qarn::TypeId::String);
    else if (passing & kBool) types.push_back(qarn::TypeId::Bool);
    else if (passing & kInt) types.push_back(qarn::TypeId::Int);
    else if (passing & kLong) types.push_back(qarn::TypeId::Long);
    else if (passing & kDouble) types.push_back(qarn::TypeId::Double);
    else types.push_back(qarn::TypeId::String);
  }
  return types;
}

std::vector<qarn::TypeId> infer_column_types(std::span<const csv::RowBatch> sample, size_t column_count) {
  TypeInference inference(column_count);
  for (const csv::RowBatch& batch : sample) inference.add(batch);
  return inference.types();
}

}  // namespace fields
