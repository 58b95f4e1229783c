// How many rounds a randomised test runs: its full count, or a share of it
// under the sanitizers, whose builds run many times slower
// (QARN_TEST_SCALE=0.25 runs a quarter; at least one round always runs).
#pragma once

#include <algorithm>
#include <cstdlib>

inline int test_rounds(int full) {
  static const double scale = [] {
    const char* text = std::getenv("QARN_TEST_SCALE");
    return text == nullptr ? 1.0 : std::clamp(std::atof(text), 0.0, 1.0);
  }();
  return std::max(1, static_cast<int>(full * scale));
}
