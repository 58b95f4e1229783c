// The block tokeniser against a plain byte-at-a-time reader written straight
// from the grammar: on random inputs both must give the same header, rows and
// errors, whatever the batch sizes; and the tokeniser's state machine alone,
// without the block accelerations, the same records.
#include <gtest/gtest.h>

#include "test_rounds.hpp"

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "csv_input/csv_reader.hpp"
#include "common/utf8.hpp"
#include "plain_reader.hpp"

namespace plain {
void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "header " << testing::PrintToString(o.header) << " rows " << testing::PrintToString(o.rows)
      << " error '" << o.error << "'";
}
void PrintTo(const Records& r, std::ostream* os) {
  *os << "fields " << testing::PrintToString(r.fields) << " starts " << testing::PrintToString(r.starts)
      << " last ended by input end " << r.last_ended_by_input_end << " non-ASCII flagged exactly "
      << r.non_ascii_flagged_exactly;
}
}  // namespace plain

namespace {

using plain::read_in_batches;
using plain::read_plainly;

// The block scans this processor can run: SSE2 always, the wider ones
// where it has them.
std::vector<csv::ScanBlocks> block_scanners() {
  std::vector<csv::ScanBlocks> scanners = {csv::scan_blocks_sse2};
  if (common::cpu_has_avx2()) scanners.push_back(csv::scan_blocks_avx2);
  if (common::cpu_has_avx512bw()) scanners.push_back(csv::scan_blocks_avx512);
  return scanners;
}

// The tokeniser with each block scan reads `input` as the plain reader does,
// and so does its state machine alone.
void expect_plain_reading(const std::string& input, std::mt19937& random) {
  const plain::Outcome expected = read_plainly(input);
  for (const csv::ScanBlocks scan : block_scanners()) {
    ASSERT_EQ(read_in_batches(input, random, scan), expected) << testing::PrintToString(input);
  }
  ASSERT_EQ(plain::tokenize_in_runs(input, random, csv::best_block_scanner(), csv::Accelerations::Off),
            plain::records_plainly(input))
      << testing::PrintToString(input);
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
  for (int i = 0; i < test_rounds(200000); ++i) {
    const std::string input = random_csv(random);
    expect_plain_reading(input, random);
  }
}

TEST(CsvReader, AgreesAcrossBlockBoundaries) {
  // Long runs push the special bytes across 64-byte blocks.
  std::mt19937 random(678);
  for (int i = 0; i < test_rounds(20000); ++i) {
    std::string input = random_csv(random);
    input.insert(random() % (input.size() + 1), std::string(random() % 130, 'z'));
    input.insert(random() % (input.size() + 1), std::string(random() % 70, ','));
    expect_plain_reading(input, random);
  }
}

// Mostly well-formed quoting, long enough to cross blocks, with now and
// then a quote out of place.
std::string quoted_csv(std::mt19937& random) {
  static const std::vector<std::string> plain = {"a", "bc", "", " ", "\xC3\xA9", "xyz123", "\xFF", "q\"r"};
  static const std::vector<std::string> quoted = {"\"\"", "\"a,b\"", "\"x\"\"y\"", "\"l\nm\"", "\"\r\n\"",
                                                  "\"\"\"\"", "\"long field, with, commas\"", "\"t\"u",
                                                  "\"\xC3\xA9\"\"\""};
  static const std::vector<std::string> ends = {"\n", "\r\n", "\r", "\n\n", "\r\n\r\n", ","};
  std::string out;
  const size_t fields = random() % 120;
  for (size_t i = 0; i < fields; ++i) {
    out += random() % 2 ? plain[random() % plain.size()] : quoted[random() % quoted.size()];
    out += random() % 4 ? "," : ends[random() % ends.size()];
  }
  if (random() % 2 && !out.empty()) out.pop_back();
  return out;
}

TEST(CsvReader, AgreesOnQuotedFieldsAcrossBlocks) {
  std::mt19937 random(4242);
  for (int i = 0; i < test_rounds(100000); ++i) {
    const std::string input = quoted_csv(random);
    expect_plain_reading(input, random);
  }
}

// Every quoted shape at every offset from a block boundary, so that opening
// quotes, closing quotes and the bytes after them fall on the first and the
// last byte of a block, and on either side of the end of the input.
TEST(CsvReader, AgreesWhereQuotesMeetBlockEdges) {
  const std::vector<std::string> shapes = {
      "\"ab\"",  "\"ab\"x",    "\"a\"\"b\"", "\"\"",       "\"\"\"\"", "\"a,b\"", "\"a\r\nb\"",
      "\"ab\" ", "\"ab\"x\"y", "\"ab\"\"",   "x\"y",     "\"ab",     "\"\"\"",  "\"a\nb,c\"\"\""};
  const std::vector<std::string> tails = {",z\n", "\r\nq,r\n", "\n", "", "\r", ",\"t\"\n"};
  std::mt19937 random(31);
  for (size_t shift = 0; shift < 140; ++shift) {
    for (const std::string& shape : shapes) {
      for (const std::string& tail : tails) {
        const std::string input = "a,b\n" + std::string(shift, 'x') + "," + shape + tail;
        expect_plain_reading(input, random);
      }
    }
  }
}

// Files where every field is quoted, as many exports write them, with long
// fields that span blocks.
TEST(CsvReader, AgreesOnFilesQuotedThroughout) {
  std::mt19937 random(515);
  const std::string content = "ab,\"\r\n x";
  for (int i = 0; i < test_rounds(20000); ++i) {
    std::string input;
    const size_t fields = random() % 60;
    for (size_t f = 0; f < fields; ++f) {
      std::string text;
      const size_t length = random() % 4 == 0 ? random() % 90 : random() % 8;
      for (size_t k = 0; k < length; ++k) {
        const char c = content[random() % content.size()];
        text += c == '"' ? std::string("\"\"") : std::string(1, c);
      }
      input += "\"" + text + "\"" + (random() % 5 ? "," : random() % 2 ? "\n" : "\r\n");
    }
    expect_plain_reading(input, random);
  }
}

const csv::Dialect kSemicolonDialect{.delimiter = ';', .quote = '\''};

// Every scan gives the masks that the dialect's bytes define, on any bytes,
// special ones dense or sparse, for dialects other than the default too.
TEST(BlockScan, MasksMarkTheDialectsBytes) {
  const std::vector<csv::Dialect> dialects = {
      csv::Dialect{},
      kSemicolonDialect,
      {.delimiter = '\t', .quote = '|', .carriage_return = '\x1e', .line_feed = '\x1f'},
      {.delimiter = '|', .escape = '\\', .comment = '#', .quoting = false, .escaping = true, .comments = true},
      {.escape = '\'', .escaping = true},
      {.delimiter = ';', .escape = '\\', .comment = '#', .escaping = true, .comments = true, .skip_initial_space = true},
      {.delimiter = ' ', .skip_initial_space = true}};
  std::mt19937 random(2718);
  const std::string bytes(",;\t\"'|\r\n\x1e\x1f\x80\xff\x7f\0a0\\# ", 19);
  for (int i = 0; i < test_rounds(2000); ++i) {
    const size_t blocks = 1 + random() % 40;
    std::vector<uint8_t> data(blocks * 64);
    const bool dense = random() % 2;
    for (uint8_t& b : data) {
      b = static_cast<uint8_t>(dense ? bytes[random() % bytes.size()] : random());
    }
    for (size_t d = 0; d < dialects.size(); ++d) {
      const csv::Dialect& dialect = dialects[d];
      std::vector<csv::BlockMasks> expected(blocks, csv::BlockMasks{0, 0, 0, 0, 0, 0, 0});
      for (size_t at = 0; at < data.size(); ++at) {
        csv::BlockMasks& masks = expected[at / 64];
        const uint64_t bit = uint64_t{1} << (at % 64);
        const uint8_t b = data[at];
        if (b == dialect.delimiter) masks.delimiter |= bit;
        if (dialect.quoting && b == dialect.quote) masks.quote |= bit;
        if (dialect.escaping && b == dialect.escape) masks.escape |= bit;
        if (dialect.comments && b == dialect.comment) masks.comment |= bit;
        if (b == dialect.carriage_return || b == dialect.line_feed) masks.line_end |= bit;
        if (b >= 0x80) masks.high |= bit;
        const uint64_t taken = masks.delimiter | masks.quote | masks.escape | masks.comment;
        if (dialect.skip_initial_space && b == ' ' && (taken & bit) == 0) masks.space |= bit;
      }
      for (const csv::ScanBlocks scan : block_scanners()) {
        std::vector<csv::BlockMasks> masks(blocks);
        scan(dialect, data.data(), blocks, masks.data());
        ASSERT_TRUE(masks == expected) << "dialect " << d;
      }
    }
  }
}

// `text` with the comma dialect's delimiter and quote swapped for the
// semicolon dialect's, both ways.
std::string swap_dialect(std::string text) {
  for (char& c : text) {
    c = c == ',' ? ';' : c == ';' ? ',' : c == '"' ? '\'' : c == '\'' ? '"' : c;
  }
  return text;
}

// The tokeniser reads other delimiter and quote bytes as it reads the
// default ones, and treats the default ones as content then: an input
// written in the semicolon dialect gives the records of the same input in
// the comma dialect, with the bytes swapped back.
TEST(Tokenizer, ReadsAnotherDialectAsTheDefaultOne) {
  std::mt19937 random(1618);
  for (int i = 0; i < test_rounds(50000); ++i) {
    std::string input = random() % 2 ? random_csv(random) : quoted_csv(random);
    for (const char* content : {";", "'", "';'"}) {
      input.insert(random() % (input.size() + 1), content);
    }
    plain::Records expected = plain::records_plainly(input);
    for (auto& fields : expected.fields) {
      for (std::string& field : fields) field = swap_dialect(field);
    }
    const std::string swapped = swap_dialect(input);
    for (const csv::Accelerations accelerations : {csv::Accelerations::On, csv::Accelerations::Off}) {
      for (const csv::ScanBlocks scan : block_scanners()) {
        ASSERT_EQ(plain::tokenize_in_runs(swapped, random, scan, accelerations, kSemicolonDialect), expected)
            << testing::PrintToString(swapped);
      }
    }
  }
}

// Dialects with every option away from the default, one or a few at a time.
const std::vector<csv::Dialect> kOtherDialects = {
    {.delimiter = '\t', .quoting = false},
    {.delimiter = '|', .escaping = true},
    {.delimiter = ';', .quote = '\'', .escaping = true, .doublequote = false},
    {.comments = true},
    {.newlines_in_values = false},
    {.delimiter = ' ', .escape = '\'', .comment = ';', .escaping = true, .comments = true,
     .newlines_in_values = false},
    {.comments = true, .doublequote = false},
    {.skip_initial_space = true},
    {.delimiter = ' ', .skip_initial_space = true},
    {.delimiter = ';', .quote = '\'', .comment = ' ', .escaping = true, .comments = true, .skip_initial_space = true},
};

// Random inputs of a dialect's own bytes, among content, line ends and the
// bytes of other dialects, long enough to cross blocks now and then.
std::string random_in_dialect(std::mt19937& random, const csv::Dialect& d) {
  const std::vector<std::string> pieces = {
      std::string(1, static_cast<char>(d.delimiter)), std::string(1, static_cast<char>(d.quote)),
      std::string(2, static_cast<char>(d.quote)),     std::string(1, static_cast<char>(d.escape)),
      std::string(1, static_cast<char>(d.comment)),   "\n", "\r", "\r\n", "a", "bc", ",", "\"", "\xC3\xA9", "\xFF",
      " ", "  ",
      std::string(70, 'z'),
  };
  std::string out;
  const size_t length = random() % 60;
  for (size_t i = 0; i < length; ++i) out += pieces[random() % pieces.size()];
  return out;
}

// Escapes, comments, quotes that do not double and line ends that quotes
// cannot hold: the tokeniser, with and without its accelerations, with
// every scan, reads them as the plain reader does.
TEST(CsvReader, AgreesWithThePlainReaderInEveryDialect) {
  std::mt19937 random(9000);
  for (int i = 0; i < test_rounds(40000); ++i) {
    const csv::Dialect& dialect = kOtherDialects[static_cast<size_t>(i) % kOtherDialects.size()];
    const std::string input = random_in_dialect(random, dialect);
    const plain::Outcome expected = read_plainly(input, dialect);
    for (const csv::ScanBlocks scan : block_scanners()) {
      ASSERT_EQ(read_in_batches(input, random, scan, dialect), expected)
          << testing::PrintToString(input) << " dialect " << i % kOtherDialects.size();
    }
    const plain::Records records = plain::records_plainly(input, dialect);
    for (const csv::Accelerations accelerations : {csv::Accelerations::On, csv::Accelerations::Off}) {
      ASSERT_EQ(plain::tokenize_in_runs(input, random, csv::best_block_scanner(), accelerations, dialect), records)
          << testing::PrintToString(input) << " dialect " << i % kOtherDialects.size();
    }
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

// Records visited one at a time, with their fields as strings or appended
// to one buffer, are the plain reader's records, however early the visit
// stops, and both say the same `where` for each.
TEST(CsvReader, VisitsTheRecordsThePlainReaderReads) {
  std::mt19937 random(77);
  for (int i = 0; i < test_rounds(20000); ++i) {
    const csv::Dialect& dialect = kOtherDialects[static_cast<size_t>(i) % kOtherDialects.size()];
    const std::string input = random_in_dialect(random, dialect);
    const plain::Records expected = plain::records_plainly(input, dialect);
    const size_t stop = random() % (expected.fields.size() + 2);  // records visited before the visit says stop
    csv::TableLayout layout;
    layout.dialect = dialect;
    const csv::CsvReader reader(std::span(reinterpret_cast<const uint8_t*>(input.data()), input.size()), layout);
    std::vector<std::vector<std::string>> as_strings;
    std::vector<size_t> wheres;
    reader.visit_records(0, [&](size_t where, std::vector<std::string>& fields) {
      as_strings.push_back(fields);
      wheres.push_back(where);
      return as_strings.size() < stop;
    });
    csv::FieldTexts texts;
    std::vector<std::vector<std::string>> as_texts;
    size_t field = 0;
    reader.visit_field_texts(0, texts, [&](size_t where, size_t count) {
      EXPECT_EQ(where, wheres.at(as_texts.size()));
      auto& fields = as_texts.emplace_back();
      for (; count > 0; --count, ++field) {
        const size_t begin = field == 0 ? 0 : texts.ends[field - 1];
        fields.push_back(texts.text.substr(begin, texts.ends[field] - begin));
      }
      return as_texts.size() < stop;
    });
    const size_t visited = std::min(std::max<size_t>(stop, 1), expected.fields.size());
    const std::vector<std::vector<std::string>> first(expected.fields.begin(),
                                                      expected.fields.begin() + static_cast<std::ptrdiff_t>(visited));
    ASSERT_EQ(as_strings, first) << testing::PrintToString(input) << " dialect " << i % kOtherDialects.size();
    ASSERT_EQ(as_texts, first) << testing::PrintToString(input);
  }
}
