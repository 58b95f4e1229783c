// The block tokeniser against a plain byte-at-a-time reader written straight
// from the grammar: on random inputs both must give the same header, rows and
// errors, whatever the batch sizes.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "csv_input/utf8.hpp"

namespace {

struct PlainRecord {
  std::vector<std::string> fields;
  csv::RecordPosition position;
};

// One byte at a time, one situation at a time.
class PlainReader {
 public:
  explicit PlainReader(const std::string& input) : input_(input) {
    if (input_.rfind("\xEF\xBB\xBF", 0) == 0) offset_ = 3;
  }

  std::optional<PlainRecord> next() {
    PlainRecord record{{}, position_};
    enum { RecordStart, FieldStart, Unquoted, Quoted, QuoteInQuoted, AfterCr } state =
        after_cr_ ? AfterCr : RecordStart;
    std::string field;
    while (offset_ < input_.size()) {
      const char c = input_[offset_];
      const bool line_end = c == '\r' || c == '\n';
      if (state == AfterCr) {
        state = RecordStart;
        if (c == '\n') {
          consume();
          continue;
        }
      }
      if (state == RecordStart) {
        if (line_end) {
          consume();
          continue;
        }
        state = FieldStart;
      }
      consume();
      switch (state) {
        case FieldStart:
          if (c == '"') {
            state = Quoted;
            continue;
          }
          [[fallthrough]];
        case Unquoted:
          if (c == ',') {
            record.fields.push_back(std::move(field));
            field.clear();
            state = FieldStart;
          } else if (line_end) {
            return finish(record, field, c);
          } else {
            field += c;
            state = Unquoted;
          }
          continue;
        case Quoted:
          if (c == '"') {
            state = QuoteInQuoted;
          } else {
            field += c;
          }
          continue;
        case QuoteInQuoted:
          if (c == '"') {
            field += c;
            state = Quoted;
          } else if (c == ',') {
            record.fields.push_back(std::move(field));
            field.clear();
            state = FieldStart;
          } else if (line_end) {
            return finish(record, field, c);
          } else {
            field += c;
            state = Unquoted;
          }
          continue;
        default:
          continue;
      }
    }
    if (state == RecordStart || state == AfterCr) return std::nullopt;
    return finish(record, field, 0);
  }

 private:
  void consume() {
    if (input_[offset_] == '\n') ++position_.line;
    ++offset_;
    position_.byte = offset_;
  }
  PlainRecord finish(PlainRecord& record, std::string& field, char terminator) {
    record.fields.push_back(std::move(field));
    after_cr_ = terminator == '\r';
    ++position_.record;
    return std::move(record);
  }

  const std::string& input_;
  size_t offset_ = 0;
  bool after_cr_ = false;
  csv::RecordPosition position_;
};

std::optional<csv::FieldUtf8Error> invalid_field(const std::vector<std::string>& fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    const auto* data = reinterpret_cast<const uint8_t*>(fields[i].data());
    const size_t valid = csv::utf8_valid_prefix(data, fields[i].size());
    if (valid != fields[i].size()) return csv::FieldUtf8Error{i, valid};
  }
  return std::nullopt;
}

// What a whole read gives: header, rows of header width, and the error text
// that ended it, if any.
struct Outcome {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  std::string error;
  friend bool operator==(const Outcome&, const Outcome&) = default;
  friend void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "header " << testing::PrintToString(o.header) << " rows " << testing::PrintToString(o.rows)
        << " error '" << o.error << "'";
  }
};

Outcome read_plainly(const std::string& input) {
  Outcome outcome;
  PlainReader reader(input);
  auto header = reader.next();
  if (header) {
    if (auto bad = invalid_field(header->fields)) {
      outcome.error = "header " + csv::message(csv::CsvError{{0, 1, 0}, *bad});
      return outcome;
    }
    outcome.header = header->fields;
  }
  while (auto record = reader.next()) {
    if (auto bad = invalid_field(record->fields)) {
      outcome.error = "record " + csv::message(csv::CsvError{record->position, *bad});
      return outcome;
    }
    record->fields.resize(outcome.header.size());
    outcome.rows.push_back(record->fields);
  }
  return outcome;
}

Outcome read_in_batches(const std::string& text, std::mt19937& random) {
  Outcome outcome;
  // An allocation of exactly the input's size, so that reading past it is
  // caught by the address sanitizer.
  const std::vector<uint8_t> input(text.begin(), text.end());
  csv::CsvReader reader(input);
  auto header = reader.read_header();
  if (!header.ok()) {
    outcome.error = "header " + csv::message(header.error());
    return outcome;
  }
  outcome.header = header.value();
  csv::RowBatch batch;
  while (true) {
    const size_t max_rows = 1 + random() % 5;
    auto read = reader.next_batch(batch, outcome.header.size(), max_rows);
    if (!read.ok()) {
      outcome.error = "record " + csv::message(read.error());
      return outcome;
    }
    if (read.value() == 0) return outcome;
    for (size_t row = 0; row < batch.row_count(); ++row) {
      std::vector<std::string> fields;
      for (size_t column = 0; column < batch.column_count(); ++column) {
        const std::string_view field = batch.field(row, column);
        // Every field may be read this far past its start.
        volatile char last = field.data()[csv::kFieldPadding - 1];
        (void)last;
        fields.emplace_back(field);
      }
      outcome.rows.push_back(std::move(fields));
    }
  }
}

std::string random_csv(std::mt19937& random) {
  static const std::vector<std::string> pieces = {
      "a", "bc", ",", ",", "\"", "\"", "\r", "\n", "\r\n", " ", "\xC3\xA9", "\xC3", "\xA9",
      "\xFF", "\xEF\xBB\xBF", "x\"y", "\"\"",
  };
  std::string out;
  const size_t length = random() % 40;
  for (size_t i = 0; i < length; ++i) out += pieces[random() % pieces.size()];
  return out;
}

}  // namespace

TEST(CsvReader, AgreesWithThePlainReaderOnRandomInputs) {
  std::mt19937 random(12345);
  for (int i = 0; i < 200000; ++i) {
    const std::string input = random_csv(random);
    ASSERT_EQ(read_in_batches(input, random), read_plainly(input)) << testing::PrintToString(input);
  }
}

TEST(CsvReader, AgreesAcrossBlockBoundaries) {
  // Long runs push the special bytes across 64-byte blocks.
  std::mt19937 random(678);
  for (int i = 0; i < 20000; ++i) {
    std::string input = random_csv(random);
    input.insert(random() % (input.size() + 1), std::string(random() % 130, 'z'));
    input.insert(random() % (input.size() + 1), std::string(random() % 70, ','));
    ASSERT_EQ(read_in_batches(input, random), read_plainly(input)) << testing::PrintToString(input);
  }
}

TEST(CsvReader, EndOfDataRepeats) {
  const std::string input = "h\n1\n";
  csv::CsvReader reader(std::span(reinterpret_cast<const uint8_t*>(input.data()), input.size()));
  ASSERT_TRUE(reader.read_header().ok());
  ASSERT_TRUE(reader.read_header().ok());  // remembered, not read again
  csv::RowBatch batch;
  EXPECT_EQ(reader.next_batch(batch, 1, 10).value(), 1u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(reader.next_batch(batch, 1, 10).value(), 0u);
}

TEST(Utf8, WholeRunCheckAgreesWithTheScalarChecker) {
  if (!csv::detail::cpu_has_avx2()) GTEST_SKIP() << "no AVX2 here";
  std::mt19937 random(99);
  // Valid characters of every length, and bytes that break them.
  const std::vector<std::string> pieces = {
      "a", "z0", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
      "\xF4\x8F\xBF\xBF", "\xC2\x80", "\x80", "\xBF", "\xC0\xAF", "\xC1", "\xE0\x9F\xBF", "\xED\xA0\x80",
      "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5", "\xFF", "\xC3", "\xE2\x82", "\xF0\x9F\x98",
  };
  for (int i = 0; i < 300000; ++i) {
    std::string text;
    const size_t count = random() % 48;
    const bool mostly_valid = random() % 2 == 0;
    for (size_t k = 0; k < count; ++k) {
      const size_t limit = mostly_valid && random() % 16 != 0 ? 9 : pieces.size();
      text += pieces[random() % limit];
    }
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    ASSERT_EQ(csv::detail::utf8_valid_avx2(data, text.size()),
              csv::utf8_valid_prefix(data, text.size()) == text.size())
        << testing::PrintToString(text);
  }
}
