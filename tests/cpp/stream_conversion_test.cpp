// The streamed conversion against the one in memory: the same bytes or the
// same failure, from a source read a few bytes at a time into windows of
// any size, on any number of threads. Also run under ThreadSanitizer
// (scripts/tsan).
#include <gtest/gtest.h>

#include "test_rounds.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "convert/byte_stream.hpp"
#include "convert/driver.hpp"
#include "convert/mapped_input.hpp"
#include "convert/parallel_driver.hpp"
#include "convert/stream_driver.hpp"

namespace {

// Gives `text` at most `piece` bytes at a time, then fails if asked to.
class PieceSource final : public convert::ByteSource {
 public:
  PieceSource(const std::string& text, size_t piece, bool fail_at_end = false)
      : text_(text), piece_(piece), fail_at_end_(fail_at_end) {}
  bool read(std::span<uint8_t> into, size_t& got) override {
    if (fail_at_end_ && at_ == text_.size()) return false;
    got = std::min({into.size(), piece_, text_.size() - at_});
    std::memcpy(into.data(), text_.data() + at_, got);
    at_ += got;
    return true;
  }

 private:
  const std::string& text_;
  size_t piece_;
  bool fail_at_end_;
  size_t at_ = 0;
};

// Keeps what it is given, failing once it holds more than `most` bytes.
class StringSink final : public convert::ByteSink {
 public:
  explicit StringSink(size_t most = SIZE_MAX) : most_(most) {}
  bool write(std::span<const uint8_t> bytes) override {
    if (text.size() + bytes.size() > most_) return false;
    text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
  }
  std::string text;

 private:
  size_t most_;
};

struct Outcome {
  std::string bytes;
  std::string failure;
  friend bool operator==(const Outcome&, const Outcome&) = default;
  friend void PrintTo(const Outcome& o, std::ostream* os) {
    *os << o.bytes.size() << " bytes, failure '" << o.failure << "'";
  }
};

Outcome held(const std::string& csv, uint64_t chunk_size, uint64_t sample_rows,
             const convert::ConvertOptions& options = {}) {
  common::ByteBuffer out;
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(csv.data()), csv.size());
  auto failure = convert::convert_csv_to_qarn(bytes, chunk_size, sample_rows, out, options);
  return failure ? Outcome{{}, failure->message} : Outcome{std::string(out.view()), {}};
}

Outcome streamed(const std::string& csv, uint64_t chunk_size, uint64_t sample_rows, unsigned threads,
                 size_t piece, size_t window, const convert::ConvertOptions& options = {}) {
  PieceSource source(csv, piece);
  StringSink sink;
  auto failure =
      convert::convert_stream(source, chunk_size, sample_rows, threads, sink, options, nullptr, window, 16);
  return failure ? Outcome{{}, failure->message} : Outcome{sink.text, {}};
}

// Records with line ends in quotes, blank lines, CR LF pairs and now and
// then a stray quote or a byte that is not UTF-8.
std::string random_csv(std::mt19937& random, size_t rows) {
  static const std::vector<std::string> cells = {"1", "-7", "1.5", "true", "", "x", "\"a,b\"", "\"q\"\"\"",
                                                 "\"line\nbreak\"", "\"crlf\r\n\n\"", "\xC3\xA9", "\"\r\""};
  static const std::vector<std::string> ends = {"\n", "\r\n", "\r", "\n\n", "\r\n\r\n"};
  std::string out = "a,b,c\n";
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < 3; ++c) {
      if (c) out += ',';
      out += cells[random() % 5 == 0 ? random() % cells.size() : c];
    }
    out += ends[random() % ends.size()];
  }
  if (random() % 4 == 0) out.insert(out.begin() + static_cast<ptrdiff_t>(random() % out.size()), random() % 2 ? '"' : '\xFF');
  return out;
}

}  // namespace

TEST(StreamConversion, GivesTheBytesOfTheConversionInMemory) {
  std::mt19937 random(22);
  for (int i = 0; i < test_rounds(150); ++i) {
    const std::string csv = random_csv(random, random() % 300);
    const uint64_t chunk_size = std::vector<uint64_t>{1, 7, 10000}[random() % 3];
    const uint64_t sample_rows = random() % 3 == 0 ? 0 : random() % 40;
    const Outcome expected = held(csv, chunk_size, sample_rows);
    for (unsigned threads : {1u, 2u, 3u}) {
      const size_t piece = 1 + random() % 100;
      const size_t window = 1 + random() % 300;
      ASSERT_EQ(streamed(csv, chunk_size, sample_rows, threads, piece, window), expected)
          << "case " << i << " threads " << threads << " piece " << piece << " window " << window;
    }
  }
}

TEST(StreamConversion, WithoutAHeaderRowTheFirstRecordIsReadWholeForTheNames) {
  // The first record runs past the first windows, with a line end in
  // quotes early on, where a window may seem to end a record: its fields,
  // all of them, name the columns, whatever the sample.
  convert::ConvertOptions options;
  options.layout.header = false;
  options.layout.skip_rows = 2;
  const std::string csv = "skipped\nskipped too\n\"c\nd\"," + std::string(60, 'a') + ",b,e,f\n1,2,3,4,5\n";
  for (const uint64_t sample_rows : {0, 1, 5}) {
    const Outcome expected = held(csv, 3, sample_rows, options);
    ASSERT_TRUE(expected.failure.empty()) << expected.failure;
    for (unsigned threads : {1u, 2u}) {
      for (const size_t window : {1, 8, 45, 70}) {
        ASSERT_EQ(streamed(csv, 3, sample_rows, threads, 7, window, options), expected)
            << "sample " << sample_rows << " threads " << threads << " window " << window;
      }
    }
  }
}

TEST(StreamConversion, StopsAtAFailingSourceOrSink) {
  std::mt19937 random(5);
  const std::string csv = random_csv(random, 5000);
  for (unsigned threads : {1u, 3u}) {
    PieceSource failing_source(csv, 100, true);
    StringSink sink;
    auto failure = convert::convert_stream(failing_source, 10, 10, threads, sink, {}, nullptr, 512);
    ASSERT_TRUE(failure && failure->side == convert::FailureSide::Input);

    PieceSource source(csv, 1000);
    StringSink full(2000);
    failure = convert::convert_stream(source, 10, 10, threads, full, {}, nullptr, 512);
    ASSERT_TRUE(failure && failure->side == convert::FailureSide::Output);
    EXPECT_LE(full.text.size(), 2000u);
  }
}

// A file of its own, removed at the end of the test.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& text) {
    descriptor_ = mkstemp(path_);
    EXPECT_GE(descriptor_, 0);
    EXPECT_EQ(write(descriptor_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  ~TemporaryFile() {
    close(descriptor_);
    std::remove(path_);
  }
  [[nodiscard]] int descriptor() const noexcept { return descriptor_; }

 private:
  char path_[32] = "/tmp/qarn-mapped-XXXXXX";
  int descriptor_ = -1;
};

// A mapped file, from any offset, with its pages dropped a page at a time
// behind the reading, converts as the same bytes held in memory do.
TEST(StreamConversion, AMappedFileGivesTheBytesOfTheConversionInMemory) {
  std::mt19937 random(9);
  for (int i = 0; i < test_rounds(40); ++i) {
    const std::string csv = random_csv(random, 200 + random() % 3000);
    const std::string before(random() % 3 == 0 ? 0 : random() % 9000, '#');
    const TemporaryFile file(before + csv);
    const uint64_t chunk_size = std::vector<uint64_t>{1, 7, 10000}[random() % 3];
    const Outcome expected = held(csv, chunk_size, 10);
    for (unsigned threads : {1u, 2u, 3u}) {
      std::optional<convert::MappedInput> mapped = convert::MappedInput::map(file.descriptor(), before.size(), 1);
      ASSERT_TRUE(mapped);
      convert::ConvertOptions options;
      options.mapped = &*mapped;
      StringSink sink;
      common::ByteBuffer out;
      auto failure = convert::convert_csv_to_qarn_parallel(mapped->bytes(), chunk_size, 10, threads, out, options,
                                                           512, nullptr, &sink);
      const Outcome got = failure ? Outcome{{}, failure->message} : Outcome{sink.text, {}};
      ASSERT_EQ(got, expected)
          << "case " << i << " threads " << threads;
    }
  }
}

TEST(StreamConversion, WhatCannotBeMappedIsLeftToBeRead) {
  const TemporaryFile file("a,b\n1,2\n");
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  EXPECT_FALSE(convert::MappedInput::map(pipe_ends[0], 0));  // not a regular file
  EXPECT_FALSE(convert::MappedInput::map(file.descriptor(), 8));  // nothing from there on
  EXPECT_FALSE(convert::MappedInput::map(-1, 0));
  EXPECT_TRUE(convert::MappedInput::map(file.descriptor(), 7));
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}
