#include "sniff/unicode_classes.hpp"

#include <algorithm>

namespace sniff {

bool in_ranges(const CodeRange* ranges, size_t count, char32_t code) noexcept {
  const CodeRange* end = ranges + count;
  const CodeRange* after = std::upper_bound(ranges, end, code, [](char32_t c, const CodeRange& r) { return c < r.first; });
  return after != ranges && code <= (after - 1)->last;
}

}  // namespace sniff
