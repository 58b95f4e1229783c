// The part of a streamed input held in memory: its bytes from `base()` on,
// read from the source a block at a time. Records are read from it as from
// a mapped input; the bytes before the first record still to be read are
// dropped when more is read, so that what is held stays about a block, but
// for a record longer than that, which is held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/byte_buffer.hpp"
#include "convert/byte_stream.hpp"
#include "csv_input/csv_error.hpp"

namespace convert {

class InputWindow {
 public:
  InputWindow(ByteSource& source, size_t block_bytes, uint8_t line_feed) noexcept
      : source_(source), block_(block_bytes), line_feed_(line_feed) {}

  [[nodiscard]] std::span<const uint8_t> bytes() const noexcept { return buffer_.bytes(); }
  // Whether the bytes held reach the end of the input.
  [[nodiscard]] bool complete() const noexcept { return ended_; }

  // Reads a first block.
  ConversionStatus start() { return fill(block_); }
  // Drops the bytes before `keep` and reads a block more.
  ConversionStatus advance(size_t keep);
  // Reads as much again as is held, dropping nothing.
  ConversionStatus grow() { return fill(2 * buffer_.size() + block_); }
  // Reads to the end of the input.
  ConversionStatus read_all();

  // A position read in the bytes held, as a position in the whole input.
  void place(csv::RecordPosition& position) const noexcept {
    position.byte += base_;
    position.line += line_feeds_before_;
  }

 private:
  // Reads until `least` bytes are held or the input ends.
  ConversionStatus fill(size_t least);

  ByteSource& source_;
  size_t block_;
  uint8_t line_feed_;
  common::ByteBuffer buffer_;
  uint64_t base_ = 0;               // where the bytes held begin in the input
  uint64_t line_feeds_before_ = 0;  // line feeds before that
  bool ended_ = false;
};

}  // namespace convert
