// The work of a parallel conversion and the threads that do it: segments of
// the input to read into row batches, and runs of whole table slices to
// convert and encode. The calling thread posts both, in input order, and
// takes their results back in that order; worker threads, and the calling
// thread while it waits, do whatever is waiting, runs first so that the
// rows they hold go soon.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <thread>
#include <variant>
#include <vector>

#include "common/byte_buffer.hpp"
#include "csv_input/csv_error.hpp"
#include "csv_input/row_batch.hpp"
#include "qarn/format_error.hpp"
#include "qarn/value.hpp"
#include "fields/chunk_builder.hpp"

namespace convert::parallel {

using RowsPtr = std::shared_ptr<const fields::ConvertedRows>;

// Converted rows handed out to segment readers and given back, buffers and
// all, when the last run that refers to them has been encoded: fresh ones
// would cost page faults every time.
class RowsPool {
 public:
  explicit RowsPool(std::span<const qarn::TypeId> types) : types_(types) {}
  RowsPool(const RowsPool&) = delete;
  RowsPool& operator=(const RowsPool&) = delete;

  std::shared_ptr<fields::ConvertedRows> take();

 private:
  void give_back(fields::ConvertedRows* returned) noexcept;

  std::span<const qarn::TypeId> types_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<fields::ConvertedRows>> free_;
};

// Rows [begin, end) of converted rows that stay alive while a run refers
// to them.
struct RowRange {
  RowsPtr rows;
  size_t begin;
  size_t end;
};

// Consecutive rows that make whole table slices, but for the last run of
// the input, whose last slice may be shorter.
struct SliceRun {
  uint64_t index = 0;
  std::vector<RowRange> ranges;
  uint64_t rows = 0;
};

struct RunResult {
  common::ByteBuffer bytes;  // the run's table slices, framed
  qarn::WriteStatus error;
  std::exception_ptr thrown;  // thrown again by the calling thread
};

// The records of input bytes [start, stop), read as though `start` began a
// record. `stop` follows a line end; whether that line end really ended a
// record is known only once the bytes before `start` have been read.
struct Segment {
  uint64_t index = 0;
  size_t start = 0;
  size_t stop = 0;
};

struct SegmentResult {
  std::vector<RowsPtr> pieces;  // the records, converted a batch at a time
  uint64_t rows = 0;
  std::optional<csv::CsvError> error;  // numbered as though no record came before
  bool cut = false;                     // the last record ran on past `stop`
  size_t cut_start = 0;                 // where that record began
  std::exception_ptr thrown;            // thrown again by the calling thread
};

// How a thread reads a segment and converts a run.
struct WorkContext {
  std::span<const uint8_t> input;
  std::span<const qarn::TypeId> types;
  uint64_t chunk_size;
  size_t batch_rows;
  RowsPool& pool;
};

// What a thread keeps from one piece of work to the next.
struct Scratch {
  explicit Scratch(std::span<const qarn::TypeId> types) : chunk(types) {}
  fields::ChunkBuilder chunk;   // a run's slice being built
  csv::RowBatch batch;  // the fields of a segment's records, before they are converted
};

RunResult convert_run(const SliceRun& run, fields::ChunkBuilder& chunk, uint64_t chunk_size,
                      common::ByteBuffer bytes);
SegmentResult read_segment(const Segment& segment, const WorkContext& context, csv::RowBatch& batch);

// What the threads share: work waiting to be done, results waiting to be
// taken, and buffers to reuse.
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
