// The parallel driver against the single-threaded one: the same bytes or the
// same failure for every input, chunk size, sample size and thread count.
// Also run under ThreadSanitizer (scripts/tsan).
#include <gtest/gtest.h>

#include "test_rounds.hpp"

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "convert/driver.hpp"
#include "convert/parallel_driver.hpp"

namespace {

struct Outcome {
  std::string bytes;
  std::string failure;
  // What the report says was lost: misfits per column, records with extra fields.
  std::vector<uint64_t> misfits;
  uint64_t extra = 0;
  friend bool operator==(const Outcome&, const Outcome&) = default;
  friend void PrintTo(const Outcome& o, std::ostream* os) {
    *os << o.bytes.size() << " bytes, failure '" << o.failure << "', " << o.extra << " with extra fields";
    for (const uint64_t count : o.misfits) *os << ' ' << count;
  }
};

Outcome outcome(const convert::ConversionStatus& failure, const common::ByteBuffer& out,
                const convert::ConversionReport& report) {
  if (failure) return Outcome{{}, failure->message, {}, 0};
  return Outcome{std::string(out.view()), {}, report.lost.misfits_by_column, report.lost.records_with_extra_fields};
}

std::span<const uint8_t> as_bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Outcome single(const std::string& csv, uint64_t chunk_size, uint64_t sample_rows) {
  common::ByteBuffer out;
  convert::ConversionReport report;
  auto failure = convert::convert_csv_to_qarn(as_bytes(csv), chunk_size, sample_rows, out, {}, &report);
  return outcome(failure, out, report);
}

Outcome parallel(const std::string& csv, uint64_t chunk_size, uint64_t sample_rows, unsigned threads,
                 size_t segment_bytes = 0) {
  common::ByteBuffer out;
  convert::ConversionReport report;
  auto failure = convert::convert_csv_to_qarn_parallel(as_bytes(csv), chunk_size, sample_rows, threads,
                                                        out, {}, segment_bytes, &report);
  return outcome(failure, out, report);
}

// A table of a few typed columns, with now and then an odd field.
std::string random_table(std::mt19937& random, size_t rows, size_t columns = 0) {
  static const std::vector<std::string> cells = {
      "1", "-7", "2147483648", "1.5", "nan", "true", "FALSE", "", "x", "\"a,b\"", "\"q\"\"\"",
      "\"line\nbreak\"", "\xC3\xA9", " 3", "9223372036854775808", "1e400", "\"cr\rin\"",
      "\"crlf\r\n\n\"", "\"\n\""};
  // Blank lines and lone CRs as well, so that a cut may fall between any
  // two line end bytes.
  static const std::vector<std::string> line_ends = {"\n", "\n", "\n", "\r\n", "\r", "\n\n", "\r\n\r\n"};
  if (columns == 0) columns = 1 + random() % 5;
  std::string out;
  for (size_t c = 0; c < columns; ++c) out += (c ? ",c" : "c") + std::to_string(c);
  out += "\n";
  for (size_t r = 0; r < rows; ++r) {
    const size_t fields = random() % 7 == 0 ? 1 + random() % (columns + 1) : columns;
    for (size_t c = 0; c < fields; ++c) {
      if (c) out += ",";
      // Mostly one kind per column, so that the types are not all string.
      out += random() % 4 == 0 ? cells[random() % cells.size()] : cells[(c * 3) % 7];
    }
    out += line_ends[random() % line_ends.size()];
  }
  return out;
}

}  // namespace

TEST(ParallelConversion, GivesTheSingleThreadedBytes) {
  std::mt19937 random(2024);
  for (int i = 0; i < test_rounds(150); ++i) {
    const std::string csv = random_table(random, random() % 400);
    for (uint64_t chunk_size : {uint64_t{1}, uint64_t{2}, uint64_t{7}, uint64_t{13}, uint64_t{10000}, uint64_t{1} << 40}) {
      const uint64_t sample_rows = random() % 3 == 0 ? 0 : random() % 50;
      const Outcome expected = single(csv, chunk_size, sample_rows);
      for (unsigned threads : {1u, 2u, 3u, 8u}) {
        // Segments of a byte or a few cut the input at every line end, in
        // quotes or not.
        const size_t segment_bytes = std::array<size_t, 4>{0, 1, 7, 64}[random() % 4];
        ASSERT_EQ(parallel(csv, chunk_size, sample_rows, threads, segment_bytes), expected)
            << "case " << i << " chunk " << chunk_size << " threads " << threads << " segments "
            << segment_bytes;
      }
    }
  }
}

TEST(ParallelConversion, WideTablesGiveTheSameBytes) {
  // Many columns make batches of few rows, so that slices of some hundred
  // rows gather pieces of several.
  std::mt19937 random(31);
  for (int i = 0; i < test_rounds(20); ++i) {
    const std::string csv = random_table(random, random() % 2500, 32 + random() % 40);
    for (uint64_t chunk_size : {uint64_t{7}, uint64_t{600}, uint64_t{1000}}) {
      const Outcome expected = single(csv, chunk_size, 10);
      for (unsigned threads : {2u, 3u, 8u}) {
        ASSERT_EQ(parallel(csv, chunk_size, 10, threads, 1 + random() % 2000), expected)
            << "case " << i << " chunk " << chunk_size << " threads " << threads;
      }
    }
  }
}

TEST(ParallelConversion, ReportsTheFirstBadRecordWhereverItLies) {
  std::mt19937 random(7);
  for (int i = 0; i < test_rounds(30); ++i) {
    std::string csv = random_table(random, 2000);
    // A byte that is not UTF-8 near the start, the middle or the end.
    for (const size_t at : {csv.size() / 50, csv.size() / 2, csv.size() - 2}) {
      const size_t later = std::min(csv.size(), at + random() % 300);  // must not be the one reported
      const std::string broken =
          csv.substr(0, at) + "\xFF" + csv.substr(at, later - at) + "\xFE" + csv.substr(later);
      for (uint64_t chunk_size : {uint64_t{1}, uint64_t{7}, uint64_t{100}}) {
        const Outcome expected = single(broken, chunk_size, 10);
        for (unsigned threads : {2u, 8u}) {
          ASSERT_EQ(parallel(broken, chunk_size, 10, threads, 1 + random() % 200), expected)
              << i << " at " << at;
        }
      }
    }
  }
}

TEST(ParallelConversion, AStrayQuoteReadsTheSameOnEveryThread) {
  // One quote put anywhere turns the rest of the input inside out: every
  // segment after it starts in the other quote state than it assumes.
  std::mt19937 random(99);
  for (int i = 0; i < test_rounds(200); ++i) {
    std::string csv = random_table(random, 1 + random() % 300);
    csv.insert(random() % (csv.size() + 1), 1, '"');
    const uint64_t chunk_size = 1 + random() % 20;
    const Outcome expected = single(csv, chunk_size, 5);
    for (unsigned threads : {2u, 3u}) {
      ASSERT_EQ(parallel(csv, chunk_size, 5, threads, 1 + random() % 100), expected) << i;
    }
  }
}

TEST(ParallelConversion, ARecordAfterCommentLinesIsPlacedWhereTheyBegin) {
  // As after blank lines, a record (and a bad one's error) after comment
  // lines lies where they begin, wherever the segments are cut.
  convert::ConvertOptions options;
  options.layout.dialect.comments = true;
  std::mt19937 random(5);
  for (int i = 0; i < test_rounds(100); ++i) {
    std::string csv = "a,b\n";
    for (int r = 0; r < 200; ++r) csv += random() % 3 == 0 ? "#note \xC2\n" : "1,x\n";
    csv.insert(csv.rfind("\n", random() % csv.size()) + 1, "2,\xFF\n");
    common::ByteBuffer one, many;
    const auto expected = convert::convert_csv_to_qarn(as_bytes(csv), 7, 5, one, options);
    const auto got = convert::convert_csv_to_qarn_parallel(as_bytes(csv), 7, 5, 3, many, options, 1 + random() % 64);
    ASSERT_TRUE(expected && got) << i;
    ASSERT_EQ(got->message, expected->message) << i;
  }
}

TEST(ParallelConversion, FailsBeforeAnyWorkForTheSameReasons) {
  for (const std::string csv : {"", "\xFF\n1\n", "a\n\xFF\n", "a,b\n1,2\n"}) {
    EXPECT_EQ(parallel(csv, 0, 5, 4), single(csv, 0, 5));
    EXPECT_EQ(parallel(csv, 3, 5, 4), single(csv, 3, 5));
  }
}

// Types from every record, read in parts on several threads: a part that
// begins inside a quoted field whose lines look like records of other types
// is read again from the field's record, and the types are those of one
// thread. The input is large enough to be cut.
TEST(ParallelConversion, TypesFromEveryRecordReadInPartsAreThoseOfOneThread) {
  std::string rows;
  for (int i = 0; i < 700000; ++i) rows += "1,2\n";
  std::string quoted = "1,\"";
  for (int i = 0; i < 20000; ++i) quoted += "\nx,y";
  const std::string csv = "a,b\n" + rows + quoted + "\"\n" + rows + "2.5,3\n";
  convert::ConvertOptions options;
  options.infer_from_every_record = true;
  const auto run = [&](unsigned threads) {
    common::ByteBuffer out;
    EXPECT_FALSE(convert::convert_csv_to_qarn_parallel(as_bytes(csv), 10000, 1000, threads, out, options));
    return std::string(out.view());
  };
  const std::string one = run(1);
  ASSERT_EQ(one, single(csv, 10000, uint64_t{1} << 40).bytes);  // a sample of everything
  for (const unsigned threads : {2u, 3u}) EXPECT_EQ(run(threads), one) << threads << " threads";
}
