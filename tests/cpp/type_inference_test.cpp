// Type inference against its plain reference: a column's type is the first
// of bool, int, long and double whose grammar every non-empty sampled field
// passes, else string. The inference reads the fields through the fast
// parsers of the conversion; the reference calls the plain grammar.
#include "fields/type_inference.hpp"

#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "fields/date_grammar.hpp"
#include "fields/grammar.hpp"
#include "test_rounds.hpp"

namespace {

using fields::ColumnType;

ColumnType reference_type(const std::vector<std::string>& column, bool dates) {
  const auto all = [&](auto passes) {
    for (const std::string& text : column) {
      if (!text.empty() && !passes(text)) return false;
    }
    return true;
  };
  bool any = false;
  for (const std::string& text : column) any |= !text.empty();
  if (!any) return ColumnType::String;
  if (all([](const std::string& t) { return fields::parse_bool(t).has_value(); })) return ColumnType::Bool;
  if (all([](const std::string& t) { return fields::parse_int32(t).has_value(); })) return ColumnType::Int;
  if (all([](const std::string& t) { return fields::parse_int64(t).has_value(); })) return ColumnType::Long;
  if (all([](const std::string& t) { return fields::parse_double(t).has_value(); })) return ColumnType::Double;
  if (!dates) return ColumnType::String;
  int64_t value;
  bool offset, any_offset = false;
  if (all([&](const std::string& t) { return fields::parse_date(t, value); })) return ColumnType::Date;
  if (all([&](const std::string& t) { return fields::parse_timestamp(t, value, offset) && ((any_offset |= offset), true); })) {
    return any_offset ? ColumnType::TimestampUtc : ColumnType::Timestamp;
  }
  return ColumnType::String;
}

// Spellings at the edges of each grammar, each written unquoted.
const std::vector<std::string> kSpellings = {
    "",          "true",  "FALSE",       " True ",       "tru",         "0",           "-0",
    "+7",        "007",   "2147483647",  "-2147483648",  "2147483648",  "-2147483649", "9223372036854775807",
    "-9223372036854775808", "9223372036854775808", "00000000000000000000001", "1.5", ".5",
    "5.",        "-1e-3", "2E+10",       "1e",           "nan",         "-Infinity",   "inf",
    "2024-02-29", "2023-02-29", "2024-03-01 12:34", "2024-03-01T12:34:56.5Z", "1999-12-31T23:59:59-05:00",
    "2024-03-01T12:34:56.1234567", "0000-01-01",
    "0x10",      " 1",    "1 ",          "1_000",        "abc",         " ",           "\xC3\xA9",
};

// Rows of random fields from a few spellings per column, so that columns
// of each type come up often; read in batches of random sizes, as the
// conversion reads its sample.
TEST(TypeInference, AgreesWithThePlainGrammarOnRandomSamples) {
  std::mt19937 random(5);
  for (int round = 0; round < test_rounds(3000); ++round) {
    const size_t columns = 1 + random() % 4;
    const size_t rows = random() % 40;
    std::vector<std::vector<size_t>> pools(columns);
    for (auto& pool : pools) {
      for (size_t k = 1 + random() % 3; k > 0; --k) pool.push_back(random() % kSpellings.size());
    }
    std::string csv;
    for (size_t c = 0; c < columns; ++c) csv += c == 0 ? "h" : ",h";
    csv += "\n";
    std::vector<std::vector<std::string>> fields(columns);
    for (size_t r = 0; r < rows; ++r) {
      for (size_t c = 0; c < columns; ++c) {
        const std::string& text = kSpellings[pools[c][random() % pools[c].size()]];
        fields[c].push_back(text);
        csv += (c == 0 ? "" : ",") + text;
      }
      csv += "\n";
    }
    csv::CsvReader reader(std::span(reinterpret_cast<const uint8_t*>(csv.data()), csv.size()));
    ASSERT_TRUE(reader.read_header().ok());
    std::vector<csv::RowBatch> sample;
    while (true) {
      csv::RowBatch& batch = sample.emplace_back();
      if (reader.next_batch(batch, columns, 1 + random() % 16).value() == 0) break;
    }
    sample.pop_back();
    for (const bool dates : {false, true}) {
      const std::vector<ColumnType> types = fields::infer_column_types(sample, columns, dates);
      ASSERT_EQ(types.size(), columns);
      for (size_t c = 0; c < columns; ++c) {
        ASSERT_EQ(types[c], reference_type(fields[c], dates)) << csv;
      }
    }
  }
}

}  // namespace
