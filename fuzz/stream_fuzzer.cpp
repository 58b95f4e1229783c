// Checks the streamed conversion against the one in memory on arbitrary
// bytes. The first four bytes pick chunk_size (1 to 16), sample_rows (0 to
// 15), how many bytes the source gives at a time (1 to 64) and the window
// (1 to 256 bytes, so that records run past nearly every window's end),
// the next two the dialect and the table layout; the rest is the CSV.
// Both must give the same bytes, or fail with the same message.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "convert/byte_stream.hpp"
#include "convert/driver.hpp"
#include "convert/stream_driver.hpp"
#include "fuzz_options.hpp"

namespace {

class PieceSource final : public convert::ByteSource {
 public:
  PieceSource(std::span<const uint8_t> text, size_t piece) : text_(text), piece_(piece) {}
  bool read(std::span<uint8_t> into, size_t& got) override {
    got = std::min({into.size(), piece_, text_.size()});
    std::memcpy(into.data(), text_.data(), got);
    text_ = text_.subspan(got);
    return true;
  }

 private:
  std::span<const uint8_t> text_;
  size_t piece_;
};

class StringSink final : public convert::ByteSink {
 public:
  bool write(std::span<const uint8_t> bytes) override {
    text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
  }
  std::string text;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const uint64_t chunk_size = 1 + data[0] % 16;
  const uint64_t sample_rows = data[1] % 16;
  const size_t piece = 1 + data[2] % 64;
  const size_t window = 1 + data[3];
  const convert::ConvertOptions options = fuzz::options_from_bytes(data[4], data[5]);
  const std::span<const uint8_t> csv(data + 6, size - 6);

  common::ByteBuffer out;
  const auto held = convert::convert_csv_to_qarn(csv, chunk_size, sample_rows, out, options);
  PieceSource source(csv, piece);
  StringSink sink;
  const auto streamed = convert::convert_stream(source, chunk_size, sample_rows, 2, sink, options, nullptr, window, 8);
  const bool same = held.has_value() == streamed.has_value() &&
                    (held ? held->message == streamed->message : std::string(out.view()) == sink.text);
  if (!same) {
    std::fprintf(stderr, "the streamed conversion differs: %s\n", streamed ? streamed->message.c_str() : "(a file)");
    std::abort();
  }
  return 0;
}
