// The work of a parallel conversion and the threads that do it: segments of
// the input to read into row batches, and runs of whole table slices to
// convert and encode. The calling thread posts both, in input order, and
// takes their results back in that order; worker threads, and the calling
// thread while it waits, do whatever is waiting, runs first so that the
// rows they hold go soon.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
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
#include "value_conversion.hpp"

namespace pipeline::parallel {

using BatchPtr = std::shared_ptr<const csv::RowBatch>;

// Batches handed out for reading and given back, buffers and all, when the
// last run that refers to one has been converted: a fresh batch would cost
// page faults for its field table every time.
class BatchPool {
 public:
  BatchPool() = default;
  BatchPool(const BatchPool&) = delete;
  BatchPool& operator=(const BatchPool&) = delete;

  std::shared_ptr<csv::RowBatch> take();

 private:
  void give_back(csv::RowBatch* returned) noexcept;

  std::mutex mutex_;
  std::vector<std::unique_ptr<csv::RowBatch>> free_;
};

// Rows [begin, end) of a batch that stays alive while a run refers to it.
struct RowRange {
  BatchPtr batch;
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
  common::ByteBuffer bytes;             // the run's table slices, framed
  std::vector<common::ByteBuffer> tail;  // more of them, to append after `bytes`
  std::optional<qarn::FormatError> error;
  bool out_of_memory = false;
  bool broken = false;  // an unexpected exception, raised again by the calling thread
};

// A run of one table slice whose columns are converted in parts, on as many
// threads, so that a table of few, wide slices still keeps every thread
// busy. The thread that finishes the last part puts the slice together.
struct SplitRun {
  struct Part {
    size_t first_column = 0;
    size_t stop_column = 0;
    RunResult result;  // the part's column slices, without the slice's header
  };
  SliceRun run;
  std::vector<Part> parts;
  std::atomic<size_t> unfinished{0};
};

struct ColumnPart {
  std::shared_ptr<SplitRun> run;
  size_t part = 0;
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
  std::vector<BatchPtr> batches;
  uint64_t rows = 0;
  std::optional<csv::CsvError> error;  // numbered as though no record came before
  bool cut = false;                     // the last record ran on past `stop`
  size_t cut_start = 0;                 // where that record began
  bool out_of_memory = false;
  bool broken = false;
};

// How a thread reads a segment and converts a run.
struct WorkContext {
  std::span<const uint8_t> input;
  std::span<const qarn::TypeId> types;
  uint64_t chunk_size;
  size_t batch_rows;
  BatchPool& batches;
};

RunResult convert_run(const SliceRun& run, ChunkBuilder& chunk, uint64_t chunk_size,
                      common::ByteBuffer bytes);
// Splits a run of one slice into `parts` parts of about as many columns.
std::shared_ptr<SplitRun> split_run(SliceRun run, size_t column_count, size_t parts);
SegmentResult read_segment(const Segment& segment, const WorkContext& context);

// What the threads share: work waiting to be done, results waiting to be
// taken, and buffers to reuse.
using Work = std::variant<SliceRun, ColumnPart, Segment>;

class Board {
 public:
  void post(SliceRun run);
  void post(const std::shared_ptr<SplitRun>& run);  // every part of it
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
  bool has_waiting() const noexcept { return !runs_.empty() || !segments_.empty(); }

  std::mutex mutex_;
  std::condition_variable_any work_;
  std::condition_variable changed_;
  std::deque<std::variant<SliceRun, ColumnPart>> runs_;
  std::deque<Segment> segments_;
  std::map<uint64_t, RunResult> done_runs_;
  std::map<uint64_t, SegmentResult> done_segments_;
  std::vector<common::ByteBuffer> spare_;
};

// Does one piece of waiting work on the calling thread with its own
// builder; false when nothing waits.
bool help(Board& board, ChunkBuilder& chunk, const WorkContext& context);

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

}  // namespace pipeline::parallel
