#include "fields/type_inference.hpp"

#include "fields/date_grammar.hpp"
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
bool passes_date(std::string_view text) {
  int64_t days;
  return parse_date(text, days);
}

}  // namespace

// A Boolean is no number and a number no date; every int is a long and
// every long a double, and every date a timestamp: so the first grammar a
// value passes settles the rest without parsing it again.
// The number grammars read `numbers`, the same fields in the plain spelling
// (the fields themselves when they are in it).
void TypeInference::add(const csv::RowBatch& batch, size_t rows) {
  RespeltFields respelt;
  for (size_t column = 0; column < passing_.size(); ++column) {
    uint8_t passing = passing_[column];
    const std::string_view* fields = batch.column(column);
    const NumberSpelling spelling = spelling_.of_column(column);
    const std::string_view* numbers =
        spelling.plain() || !(passing & kAllGrammars) ? fields : respelt.respell(fields, rows, spelling);
    // A column no grammar is left for has seen a value: nothing more to learn.
    for (size_t row = 0; row < rows && (passing & kAllGrammars); ++row) {
      const std::string_view text = fields[row];
      if (text.empty()) continue;  // says nothing about the type; whitespace does
      uint8_t fits = 0;
      int64_t micros;
      bool offset;
      if ((passing & kBool) && passes_bool(text)) fits = kBool;
      else if ((passing & kInt) && passes_int(numbers[row])) fits = kInt | kLong | kDouble;
      else if ((passing & kLong) && passes_long(numbers[row])) fits = kLong | kDouble;
      else if ((passing & kDouble) && passes_double(numbers[row])) fits = kDouble;
      else if ((passing & kDate) && passes_date(text)) fits = kDate | kTimestamp;
      else if ((passing & kTimestamp) && parse_timestamp(text, micros, offset)) fits = offset ? kTimestamp | kOffset : kTimestamp;
      passing = static_cast<uint8_t>((passing & (fits | kOffset)) | (fits & kOffset) | kSeen);
    }
    passing_[column] = passing;
  }
}

// The grammars both passed; a value seen by either.
void TypeInference::merge(const TypeInference& other) {
  for (size_t column = 0; column < passing_.size(); ++column) {
    const uint8_t mine = passing_[column], theirs = other.passing_[column];
    passing_[column] = static_cast<uint8_t>((mine & theirs & kAllGrammars) | ((mine | theirs) & (kSeen | kOffset)));
  }
}

std::vector<ColumnType> TypeInference::types() const {
  std::vector<ColumnType> types;
  types.reserve(passing_.size());
  for (const uint8_t passing : passing_) {
    if (!(passing & kSeen)) types.push_back(ColumnType::String);
    else if (passing & kBool) types.push_back(ColumnType::Bool);
    else if (passing & kInt) types.push_back(ColumnType::Int);
    else if (passing & kLong) types.push_back(ColumnType::Long);
    else if (passing & kDouble) types.push_back(ColumnType::Double);
    else if (passing & kDate) types.push_back(ColumnType::Date);
    else if (passing & kTimestamp) types.push_back((passing & kOffset) ? ColumnType::TimestampUtc : ColumnType::Timestamp);
    else types.push_back(ColumnType::String);
  }
  return types;
}

std::vector<ColumnType> infer_column_types(std::span<const csv::RowBatch> sample, size_t column_count,
                                           bool dates, const NumberSpelling& spelling) {
  TypeInference inference(column_count, dates, spelling);
  for (const csv::RowBatch& batch : sample) inference.add(batch);
  return inference.types();
}

bool sample_has_offsets(std::span<const csv::RowBatch> sample, size_t column) {
  for (const csv::RowBatch& batch : sample) {
    const std::string_view* fields = batch.column(column);
    for (size_t row = 0; row < batch.row_count(); ++row) {
      int64_t micros;
      bool offset;
      if (parse_timestamp(fields[row], micros, offset) && offset) return true;
    }
  }
  return false;
}

}  // namespace fields
