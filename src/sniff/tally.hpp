// Counting equal values in the order they first appear, as the sniffer's
// choices among equally common values depend on that order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sniff {

template <class T>
class Tally {
 public:
  Tally() = default;
  template <class Range>
  explicit Tally(const Range& values) {
    for (const auto& value : values) add(value);
  }

  void add(const T& value) {
    auto [found, added] = index_.try_emplace(value, entries_.size());
    if (added) {
      entries_.emplace_back(value, 1);
    } else {
      ++entries_[found->second].second;
    }
  }
  // The value seen most often; of equally common ones, the first seen.
  // The tally must not be empty.
  [[nodiscard]] const std::pair<T, size_t>& most_common() const {
    return *std::max_element(entries_.begin(), entries_.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
  }
  [[nodiscard]] const std::vector<std::pair<T, size_t>>& entries() const noexcept { return entries_; }

 private:
  std::vector<std::pair<T, size_t>> entries_;  // in the order first seen
  std::unordered_map<T, size_t> index_;        // each value's place in entries_
};

}  // namespace sniff
