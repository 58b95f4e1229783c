// The CSV writer against its plain reference: a field is quoted, its quotes
// doubled, exactly where a bare field would read back differently; and
// whatever it writes, the byte-at-a-time reader reads back as the same
// records and fields. In other dialects, what it writes reads back by the
// dialect's grammar, or it says why it cannot be written.
#include "csv_output/csv_writer.hpp"

#include <gtest/gtest.h>

#include <optional>
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

std::string written(const Records& records, const csv::Dialect& dialect = {}, std::string_view line_end = "\n",
                    csv_output::FieldProblem* problem = nullptr) {
  common::ByteBuffer out;
  csv_output::CsvWriter writer(out, records[0].size(), dialect, line_end);
  writer.first_field(records[0][0]);
  for (size_t c = 1; c < records[0].size(); ++c) writer.field(records[0][c]);
  writer.end_record();
  for (size_t r = 1; r < records.size(); ++r) {
    for (const std::string& text : records[r]) writer.field(text);
    writer.end_record();
  }
  if (problem != nullptr) *problem = writer.problem();
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

// The dialect's grammar, a byte at a time: a leading byte-order mark and
// blank lines are skipped; a field starting with the quote is quoted, where
// separators are content, a doubled quote is one (with doublequote) and
// otherwise a quote closes it; the escape makes the next byte content
// anywhere; CR, LF or CR LF ends a record.
Records read_in_dialect(const std::string& csv, const csv::Dialect& d) {
  Records records;
  size_t i = csv.starts_with(kByteOrderMark) ? 3 : 0;
  const auto byte = [&](size_t at) { return static_cast<uint8_t>(csv[at]); };
  const auto line_end = [&](size_t at) { return byte(at) == '\r' || byte(at) == '\n'; };
  while (i < csv.size()) {
    if (line_end(i)) {
      ++i;
      continue;
    }
    std::vector<std::string> record(1);
    bool quoted = d.quoting && byte(i) == d.quote;
    i += quoted ? 1 : 0;
    for (; i < csv.size(); ++i) {
      const uint8_t c = byte(i);
      if (d.escaping && c == d.escape && i + 1 < csv.size()) {
        record.back() += csv[++i];
      } else if (quoted && c == d.quote) {
        const bool doubled = d.doublequote && i + 1 < csv.size() && byte(i + 1) == d.quote;
        if (doubled) record.back() += csv[++i];
        quoted = doubled;
      } else if (!quoted && c == d.delimiter) {
        record.emplace_back();
        quoted = d.quoting && i + 1 < csv.size() && byte(i + 1) == d.quote;
        i += quoted ? 1 : 0;
      } else if (!quoted && line_end(i)) {
        i += c == '\r' && i + 1 < csv.size() && byte(i + 1) == '\n' ? 1 : 0;
        break;
      } else {
        record.back() += static_cast<char>(c);
      }
    }
    ++i;
    records.push_back(record);
  }
  return records;
}

// The first field the dialect cannot write so that it reads back.
csv_output::FieldProblem expected_problem(const Records& records, const csv::Dialect& d) {
  using csv_output::FieldProblem;
  std::string special = {static_cast<char>(d.delimiter), '\r', '\n'};
  if (d.quoting) special += static_cast<char>(d.quote);
  if (d.escaping) special += static_cast<char>(d.escape);
  for (size_t r = 0; r < records.size(); ++r) {
    for (size_t c = 0; c < records[r].size(); ++c) {
      const std::string& text = records[r][c];
      if (text.empty() && records[r].size() == 1 && !d.quoting) return FieldProblem::BlankLine;
      if (text.find_first_of(special) != std::string::npos) {
        if (!d.quoting && !d.escaping) return FieldProblem::NeedsEscape;
        if (d.quoting && !d.doublequote && !d.escaping && text.find(static_cast<char>(d.quote)) != std::string::npos) {
          return FieldProblem::QuoteNeedsEscape;
        }
      } else if (r == 0 && c == 0 && text.starts_with(kByteOrderMark) && !d.quoting && !d.escaping) {
        return FieldProblem::ByteOrderMark;
      }
    }
  }
  return FieldProblem::None;
}

TEST(CsvWriter, EveryDialectReadsBackOrSaysWhyNot) {
  std::mt19937 random(29);
  const std::string delimiters = ",;\t| :";
  const std::vector<std::string> line_ends = {"\n", "\r\n", "\r"};
  const std::vector<std::string> pieces = {"a", ";", "|", "\t", " ", ":", "\\", "\\\\", "'", "x\\"};
  for (int round = 0; round < test_rounds(20000); ++round) {
    csv::Dialect dialect;
    dialect.delimiter = static_cast<uint8_t>(delimiters[random() % delimiters.size()]);
    dialect.quote = random() % 2 ? '"' : '\'';
    dialect.quoting = random() % 3 != 0;
    dialect.escaping = random() % 2;
    dialect.doublequote = random() % 2;
    const std::string line_end = line_ends[random() % line_ends.size()];
    const size_t columns = 1 + random() % 3;
    Records records(1 + random() % 4, std::vector<std::string>(columns));
    for (auto& record : records) {
      for (std::string& text : record) {
        for (size_t k = random() % 4; k > 0; --k) {
          text += random() % 2 ? kPieces[random() % kPieces.size()] : pieces[random() % pieces.size()];
        }
      }
    }
    csv_output::FieldProblem problem{};
    const std::string csv = written(records, dialect, line_end, &problem);
    ASSERT_EQ(problem, expected_problem(records, dialect)) << csv;
    if (problem == csv_output::FieldProblem::None) {
      ASSERT_EQ(read_in_dialect(csv, dialect), records) << csv;
    }
  }
}

csv::Dialect dialect(uint8_t delimiter, std::optional<uint8_t> quote, std::optional<uint8_t> escape,
                     bool doublequote = true) {
  csv::Dialect d;
  d.delimiter = delimiter;
  d.quoting = quote.has_value();
  d.quote = quote.value_or('"');
  d.escaping = escape.has_value();
  d.escape = escape.value_or('\\');
  d.doublequote = doublequote;
  return d;
}

TEST(CsvWriter, SpellsEachDialectsProtection) {
  struct Case {
    csv::Dialect dialect;
    std::string line_end;
    std::vector<std::string> fields, plain;  // written as field(), then as plain_field()
    std::string expected;
  };
  const Case cases[] = {
      {dialect(';', '\'', std::nullopt), "\n", {"a;b", "it's", "x,\"y\""}, {}, "'a;b';'it''s';x,\"y\"\n"},
      {dialect(',', std::nullopt, '\\'), "\n", {"a,b", "c\\d", "\r\n", "\"q"}, {}, "a\\,b,c\\\\d,\\\r\\\n,\"q\n"},
      {dialect(',', '"', '\\', false), "\n", {"say \"hi\"", "b\\s", "x"}, {}, "\"say \\\"hi\\\"\",\"b\\\\s\",x\n"},
      {dialect(',', '"', '\\'), "\r\n", {"a\"b\\"}, {}, "\"a\"\"b\\\\\"\r\n"},
      {dialect('.', '"', std::nullopt), "\r", {}, {"1.5", "7", "nan"}, "\"1.5\".7.nan\r"},
      {dialect('n', '"', std::nullopt), "\n", {}, {"1.5", "nan"}, "1.5n\"nan\"\n"},
  };
  for (const Case& c : cases) {
    common::ByteBuffer out;
    csv_output::CsvWriter writer(out, c.fields.size() + c.plain.size(), c.dialect, c.line_end);
    for (const std::string& text : c.fields) writer.field(text);
    for (const std::string& text : c.plain) writer.plain_field(text);
    writer.end_record();
    EXPECT_EQ(out.view(), c.expected);
    EXPECT_EQ(writer.problem(), csv_output::FieldProblem::None);
  }
}

}  // namespace
