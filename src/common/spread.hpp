// Running `count` pieces of work at once: the first on the calling thread,
// each other on a thread of its own, or after the first on the calling
// thread when its thread cannot be started. Returns when all are done.
#pragma once

#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace common {

// `work(k)` for k in [0, count); `work` must not throw.
template <class Work>
void run_spread(size_t count, Work&& work) {
  std::vector<std::jthread> threads;
  threads.reserve(count > 0 ? count - 1 : 0);
  std::vector<size_t> here{0};
  for (size_t k = 1; k < count; ++k) {
    try {
      threads.emplace_back([&work, k] { work(k); });
    } catch (const std::system_error&) {
      here.push_back(k);
    }
  }
  if (count == 0) return;
  for (size_t k : here) work(k);
}

}  // namespace common
