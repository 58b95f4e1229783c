// The CSV writer against its plain reference: a field is quoted, its quotes
// doubled, exactly where a bare field would read back differently; and
// whatever it writes, the byte-at-a-time reader reads back as the same
// records and fields.
#include "csv_output/csv_writer.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "plain_reader.hpp"
#include "test_rounds.hpp"

namespace {

using Records = std::vector<std::vector<std::string>>;

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// One field as a careful hand would write it.
std::string reference_field(const std::string& text, size_t column_count, bool first_of_input) {
  const bool special = text.find_first_of(",\"\r\n") != std::string::npos;
  const bool blank_line = text.empty() && column_count == 1;
  const bool mark_dropped = first_of_input && text.starts_with(kByteOrderMark);
  if (!special && !blank_line && !mark_dropped) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string reference_csv(const Records& records) {
  std::string out;
  for (size_t r = 0; r < records.size(); ++r) {
    for (size_t c = 0; c < records[r].size(); ++c) {
      if (c > 0) out += ',';
      out += reference_field(records[r][c], records[r].size(), r == 0 && c == 0);
    }
    out += '\n';
  }
  return out;
}

std::string written(const Records& records) {
  common::ByteBuffer out;
  csv_output::CsvWriter writer(out, records[0].size());
  writer.first_field(records[0][0]);
  for (size_t c = 1; c < records[0].size(); ++c) writer.field(records[0][c]);
  writer.end_record();
  for (size_t r = 1; r < records.size(); ++r) {
    for (const std::string& text : records[r]) writer.field(text);
    writer.end_record();
  }
  return std::string(out.view());
}

Records read_back(const std::string& csv) {
  plain::PlainReader reader(csv);
  Records records;
  while (auto record = reader.next()) records.push_back(record->fields);
  return records;
}

// Pieces that need quoting, pieces that look as though they might, and a
// byte-order mark, which only the first field of the input must guard.
const std::vector<std::string> kPieces = {
    "a", "7", " ", ",", "\"", "\r", "\n", "\r\n", "\"\"", kByteOrderMark, "\xC3\xA9", "x y", "'", "\t", "#",
};

TEST(CsvWriter, QuotesExactlyWhereTheReferenceDoesAndReadsBack) {
  std::mt19937 random(17);
  for (int round = 0; round < test_rounds(20000); ++round) {
    const size_t columns = 1 + random() % 4;
    Records records(1 + random() % 5, std::vector<std::string>(columns));
    for (auto& record : records) {
      for (std::string& text : record) {
        for (size_t k = random() % 4; k > 0; --k) text += kPieces[random() % kPieces.size()];
      }
    }
    const std::string csv = written(records);
    ASSERT_EQ(csv, reference_csv(records));
    ASSERT_EQ(read_back(csv), records) << csv;
  }
}

TEST(CsvWriter, PlainFieldsAreWrittenAsTheyAre) {
  common::ByteBuffer out;
  csv_output::CsvWriter writer(out, 3);
  writer.plain_field("1.5");
  writer.plain_field("-7");
  writer.field("true");
  writer.end_record();
  EXPECT_EQ(out.view(), "1.5,-7,true\n");
}

TEST(CsvWriter, QuotesForTheDialectItWrites) {
  common::ByteBuffer out;
  csv_output::CsvWriter writer(out, 3, csv::Dialect{';', '\'', '\r', '\n'});
  writer.field("a;b");
  writer.field("it's");
  writer.field("x,\"y\"");
  writer.end_record();
  EXPECT_EQ(out.view(), "'a;b';'it''s';x,\"y\"\n");
}

}  // namespace
