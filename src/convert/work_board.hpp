// What the threads of a parallel conversion share: work waiting to be done,
// results waiting to be taken, and buffers to reuse. The calling thread
// posts work in input order and takes results back in that order; worker
// threads, and the calling thread while it waits, do whatever is waiting,
// runs first so that the rows they hold go soon.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>
#include <variant>
#include <vector>

#include "common/byte_buffer.hpp"
#include "convert/parallel_work.hpp"

namespace convert::parallel {

using Work = std::variant<SliceRun, Segment>;

class Board {
 public:
  void post(SliceRun run);
  void post(Segment segment);

  // Waiting work for a worker (runs first), or false once stopped.
  bool take_blocking(std::stop_token stop, Work& work);
  // The same without waiting, for the calling thread.
  bool take_now(Work& work);

  void finish(uint64_t index, RunResult result);
  void finish(uint64_t index, SegmentResult result);

  bool take_run_result(uint64_t index, RunResult& result);
  bool take_segment_result(uint64_t index, SegmentResult& result);

  // Waits until run `run` (or segment `segment`) is done, or some work waits.
  void wait_for_run(uint64_t run);
  void wait_for_segment(uint64_t segment);

  common::ByteBuffer spare_buffer();
  void give_back(common::ByteBuffer buffer);

 private:
  bool take_locked(Work& work);
  template <class Result>
  void finish_into(std::map<uint64_t, Result>& done, uint64_t index, Result result);
  template <class Result>
  bool take_from(std::map<uint64_t, Result>& done, uint64_t index, Result& result);
  bool has_waiting() const noexcept { return !runs_.empty() || !segments_.empty(); }

  std::mutex mutex_;
  std::condition_variable_any work_;
  std::condition_variable changed_;
  std::deque<SliceRun> runs_;
  std::deque<Segment> segments_;
  std::map<uint64_t, RunResult> done_runs_;
  std::map<uint64_t, SegmentResult> done_segments_;
  std::vector<common::ByteBuffer> spare_;
};

// Does one piece of waiting work on the calling thread with its own
// scratch; false when nothing waits.
bool help(Board& board, Scratch& scratch, const WorkContext& context);

// The worker threads; destroying it stops and joins them.
class Workers {
 public:
  Workers(unsigned count, Board& board, const WorkContext& context);
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers();

 private:
  std::vector<std::jthread> threads_;
};

}  // namespace convert::parallel
