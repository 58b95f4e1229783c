// Where a streamed conversion's bytes come from and where they go: a file
// descriptor, or a Python file object, each behind one small interface so
// that the drivers never hold more of either than a window of input and a
// few table slices of output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/byte_buffer.hpp"
#include "convert/driver.hpp"

namespace convert {

// Takes the output as it is made, in file order.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all of `bytes`; false when they could not be written, in which
  // case the sink keeps why, for the caller to report.
  virtual bool write(std::span<const uint8_t> bytes) = 0;
  // After a failed write: whether the bytes may still be reached from
  // outside (a writer that kept a view of them), so that their memory must
  // never be freed or written again.
  [[nodiscard]] virtual bool bytes_kept() const noexcept { return false; }
};

// Gives the input in pieces, from its first byte to its end.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `into.size()` bytes into `into` and sets `got`; 0 means the
  // end of the input. False when reading failed (the source keeps why).
  virtual bool read(std::span<uint8_t> into, size_t& got) = 0;
  // After a failed read: whether what was read into may still be reached
  // from outside (a reader that kept a view of it), so that it must never
  // be freed or written again.
  [[nodiscard]] virtual bool into_kept() const noexcept { return false; }
};

inline constexpr char kOutputFailedMessage[] = "the output could not be written";
inline constexpr char kInputFailedMessage[] = "the input could not be read";

// Output is handed to the sink in pieces of at least this size, but for the
// last: a write per table slice would cost a system call per slice for
// narrow tables.
inline constexpr size_t kSinkPieceBytes = size_t{1} << 20;

// Hands what `out` holds to `sink` once it holds at least `least` bytes,
// then empties `out`. Without a sink the output stays where it is.
inline ConversionStatus drain(common::ByteBuffer& out, ByteSink* sink, size_t least) {
  if (sink == nullptr || out.empty() || out.size() < least) return std::nullopt;
  if (!sink->write(out.bytes())) {
    if (sink->bytes_kept()) out.detach();  // given up, never freed
    return ConversionFailure{kOutputFailedMessage, FailureSide::Output};
  }
  out.clear();
  return std::nullopt;
}

}  // namespace convert
