#include "convert/input_window.hpp"

#include <algorithm>
#include <cstring>

namespace convert {

namespace {

// Each read asks for this much at least, so that a pipe's small pieces are
// not each a call of their own through the source.
constexpr size_t kLeastRead = size_t{1} << 20;

}  // namespace

ConversionStatus InputWindow::fill(size_t least) {
  while (!ended_ && buffer_.size() < least) {
    const size_t want = std::max(least - buffer_.size(), kLeastRead);
    uint8_t* at = buffer_.spare(want);
    size_t got = 0;
    if (!source_.read({at, want}, got)) {
      // Memory that someone else may still reach is given up, never freed.
      if (source_.into_kept()) buffer_.detach();
      return ConversionFailure{kInputFailedMessage, FailureSide::Input};
    }
    buffer_.commit(std::min(got, want));
    ended_ = got == 0;
  }
  return std::nullopt;
}

ConversionStatus InputWindow::advance(size_t keep) {
  const std::span<const uint8_t> dropped = buffer_.bytes().first(keep);
  line_feeds_before_ += static_cast<uint64_t>(std::count(dropped.begin(), dropped.end(), line_feed_));
  base_ += keep;
  const size_t rest = buffer_.size() - keep;
  if (rest > 0) std::memmove(buffer_.data(), buffer_.data() + keep, rest);
  buffer_.truncate(rest);
  return fill(rest + block_);
}

ConversionStatus InputWindow::read_all() {
  while (!ended_) {
    if (auto failure = grow()) return failure;
  }
  return std::nullopt;
}

}  // namespace convert
