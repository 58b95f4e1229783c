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
  [[nodiscard]] size_t count(const T& value) const {
    auto found = index_.find(value);
    return found == index_.end() ? 0 : entries_[found->second].second;
  }
  // Takes a value out of the count and returns how often it was there; the
  // other values keep their order.
  size_t pop(const T& value) {
    auto found = index_.find(value);
    if (found == index_.end()) return 0;
    const size_t at = found->second;
    const size_t times = entries_[at].second;
    index_.erase(found);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
    for (auto& [_, position] : index_) position -= position > at ? 1 : 0;
    return times;
  }
  // The value seen most often; of equally common ones, the first seen.
  // The tally must not be empty.
  [[nodiscard]] const std::pair<T, size_t>& most_common() const {
    return *std::max_element(entries_.begin(), entries_.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
  }
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
  [[nodiscard]] const std::vector<std::pair<T, size_t>>& entries() const noexcept { return entries_; }

 private:
  std::vector<std::pair<T, size_t>> entries_;  // in the order first seen
  std::unordered_map<T, size_t> index_;        // each value's place in entries_
};

}  // namespace sniff
