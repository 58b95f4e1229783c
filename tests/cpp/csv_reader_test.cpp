// The block tokeniser against a plain byte-at-a-time reader written straight
// from the grammar: on random inputs both must give the same header, rows and
// errors, whatever the batch sizes.
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

// The tokeniser with each block scan reads `input` as the plain reader does.
void expect_plain_reading(const std::string& input, std::mt19937& random) {
  const plain::Outcome expected = read_plainly(input);
  for (const csv::ScanBlocks scan : block_scanners()) {
    ASSERT_EQ(read_in_batches(input, random, scan), expected) << testing::PrintToString(input);
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

// Every scan gives the same masks on any bytes, special ones dense or sparse.
TEST(CsvReader, BlockScansAgree) {
  const std::vector<csv::ScanBlocks> scanners = block_scanners();
  if (scanners.size() == 1) GTEST_SKIP() << "no AVX2 here";
  std::mt19937 random(2718);
  const std::string bytes(",\"\r\n\x80\xff\x7f\0a0", 10);
  for (int i = 0; i < test_rounds(2000); ++i) {
    const size_t blocks = 1 + random() % 40;
    std::vector<uint8_t> data(blocks * 64);
    const bool dense = random() % 2;
    for (uint8_t& b : data) {
      b = static_cast<uint8_t>(dense ? bytes[random() % bytes.size()] : random());
    }
    std::vector<csv::BlockMasks> sse2(blocks), wide(blocks);
    csv::scan_blocks_sse2(data.data(), blocks, sse2.data());
    for (size_t s = 1; s < scanners.size(); ++s) {
      scanners[s](data.data(), blocks, wide.data());
      for (size_t k = 0; k < blocks; ++k) {
        ASSERT_EQ(sse2[k].comma, wide[k].comma) << s;
        ASSERT_EQ(sse2[k].quote, wide[k].quote) << s;
        ASSERT_EQ(sse2[k].line_end, wide[k].line_end) << s;
        ASSERT_EQ(sse2[k].high, wide[k].high) << s;
      }
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
