#include "parallel_conversion.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <vector>

#include "conversion_steps.hpp"
#include "csv_input/csv_reader.hpp"
#include "qarn/encoding.hpp"

namespace pipeline {

namespace {

using BatchPtr = std::shared_ptr<const csv::RowBatch>;

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
  common::ByteBuffer bytes;  // the run's table slices, framed
  std::optional<qarn::FormatError> error;
  bool out_of_memory = false;
  bool broken = false;  // an unexpected exception, raised again by the calling thread
};

// Batches handed out for reading and given back, buffers and all, when the
// last run that refers to one has been converted: a fresh batch would cost
// page faults for its field table every time.
class BatchPool {
 public:
  BatchPool() = default;
  BatchPool(const BatchPool&) = delete;
  BatchPool& operator=(const BatchPool&) = delete;

  std::shared_ptr<csv::RowBatch> take() {
    std::unique_ptr<csv::RowBatch> batch;
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        batch = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (!batch) batch = std::make_unique<csv::RowBatch>();
    return {batch.release(), [this](csv::RowBatch* returned) { give_back(returned); }};
  }

 private:
  void give_back(csv::RowBatch* returned) noexcept {
    std::unique_ptr<csv::RowBatch> batch(returned);
    std::lock_guard lock(mutex_);
    try {
      free_.push_back(std::move(batch));
    } catch (const std::bad_alloc&) {
      // Not kept for reuse then; the batch is freed.
    }
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<csv::RowBatch>> free_;
};

// Converts and encodes one run with `chunk`, a builder kept by the thread.
RunResult convert_run(const SliceRun& run, ChunkBuilder& chunk, uint64_t chunk_size,
                      common::ByteBuffer bytes) {
  RunResult result;
  result.bytes = std::move(bytes);
  try {
    chunk.clear();
    qarn::Writer writer(result.bytes);
    SliceWriter slices(chunk, chunk_size, writer);
    for (const RowRange& range : run.ranges) {
      if ((result.error = slices.add(*range.batch, range.begin, range.end))) return result;
    }
    result.error = slices.finish();
  } catch (const std::bad_alloc&) {
    result.out_of_memory = true;
  } catch (const std::length_error&) {
    result.out_of_memory = true;  // a container asked for more than memory can hold
  } catch (...) {
    result.broken = true;
  }
  return result;
}

// What the calling thread and the workers share: runs waiting to be
// converted, results waiting to be appended, and buffers to reuse.
class RunBoard {
 public:
  void post(SliceRun run) {
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back(std::move(run));
    }
    work_.notify_one();
  }

  // A waiting run for a worker, or false once stopped.
  bool take_blocking(std::stop_token stop, SliceRun& run) {
    std::unique_lock lock(mutex_);
    if (!work_.wait(lock, stop, [&] { return !waiting_.empty(); })) return false;
    run = std::move(waiting_.front());
    waiting_.pop_front();
    return true;
  }

  // The oldest waiting run, for the calling thread to convert itself.
  bool take_now(SliceRun& run) {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) return false;
    run = std::move(waiting_.front());
    waiting_.pop_front();
    return true;
  }

  void finish(uint64_t index, RunResult result) {
    {
      std::lock_guard lock(mutex_);
      done_.emplace(index, std::move(result));
    }
    changed_.notify_all();
  }

  // The result of run `index` if it is done.
  bool take_result(uint64_t index, RunResult& result) {
    std::lock_guard lock(mutex_);
    auto found = done_.find(index);
    if (found == done_.end()) return false;
    result = std::move(found->second);
    done_.erase(found);
    return true;
  }

  // Waits until run `index` is done or, when `or_waiting`, until a run waits.
  void wait_for(uint64_t index, bool or_waiting) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_.contains(index) || (or_waiting && !waiting_.empty()); });
  }

  common::ByteBuffer spare_buffer() {
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    common::ByteBuffer buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
  }

  void give_back(common::ByteBuffer buffer) {
    buffer.clear();
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(buffer));
  }

  std::condition_variable_any& work() noexcept { return work_; }

 private:
  std::mutex mutex_;
  std::condition_variable_any work_;
  std::condition_variable changed_;
  std::deque<SliceRun> waiting_;
  std::map<uint64_t, RunResult> done_;
  std::vector<common::ByteBuffer> spare_;
};

// The worker threads; destroying it stops and joins them.
class Workers {
 public:
  Workers(unsigned count, RunBoard& board, std::span<const qarn::TypeId> types, uint64_t chunk_size) {
    threads_.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
      threads_.emplace_back([&board, types, chunk_size](std::stop_token stop) {
        ChunkBuilder chunk(types);
        SliceRun run;
        while (board.take_blocking(stop, run)) {
          board.finish(run.index, convert_run(run, chunk, chunk_size, board.spare_buffer()));
          run = SliceRun();  // lets go of the batches
        }
      });
    }
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() {
    for (std::jthread& thread : threads_) thread.request_stop();
    // jthread's destructor joins.
  }

 private:
  std::vector<std::jthread> threads_;
};

// The calling thread's side: cuts rows into runs, posts them, and appends
// results in order.
class RunCoordinator {
 public:
  RunCoordinator(RunBoard& board, std::span<const qarn::TypeId> types, uint64_t chunk_size,
                 uint64_t run_rows, uint64_t most_pending, common::ByteBuffer& out)
      : board_(board), chunk_(types), chunk_size_(chunk_size), run_rows_(run_rows),
        most_pending_(most_pending), out_(out) {}

  // Adds the batch's rows; a failure already met in order stops the feed.
  std::optional<ConversionFailure> feed(BatchPtr batch) {
    size_t row = 0;
    const size_t rows = batch->row_count();
    while (row < rows) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(run_rows_ - pending_.rows, rows - row));
      pending_.ranges.push_back({batch, row, row + take});
      pending_.rows += take;
      row += take;
      if (pending_.rows == run_rows_) {
        if (auto failure = post_pending()) return failure;
      }
    }
    return append_ready();
  }

  // Posts the last run and appends everything; the first failure in order.
  std::optional<ConversionFailure> finish() {
    if (pending_.rows > 0) {
      if (auto failure = post_pending()) return failure;
    }
    return drain();
  }

  // At a record that cannot be read: the slices completed before it are
  // written (a failure among them comes first), the incomplete one is not.
  std::optional<ConversionFailure> finish_before_error() {
    uint64_t keep = pending_.rows / chunk_size_ * chunk_size_;
    if (keep > 0) {
      std::vector<RowRange> ranges;
      for (RowRange& range : pending_.ranges) {
        if (keep == 0) break;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(keep, range.end - range.begin));
        ranges.push_back({std::move(range.batch), range.begin, range.begin + take});
        keep -= take;
      }
      pending_.ranges = std::move(ranges);
      if (auto failure = post_pending()) return failure;
    }
    pending_ = SliceRun();
    return drain();
  }

  // Appends every posted run, converting waiting ones meanwhile.
  std::optional<ConversionFailure> drain() {
    while (next_ < posted_) {
      if (auto failure = append_or_help(true)) return failure;
    }
    return std::nullopt;
  }

 private:
  std::optional<ConversionFailure> post_pending() {
    // Keeps the rows held at once bounded: while too many runs are not yet
    // appended, convert one here or wait for the next in order.
    while (posted_ - next_ >= most_pending_) {
      if (auto failure = append_or_help(false)) return failure;
    }
    pending_.index = posted_++;
    board_.post(std::move(pending_));
    pending_ = SliceRun();
    return std::nullopt;
  }

  // Appends the next result in order if it is done; otherwise converts a
  // waiting run or, with nothing to convert, waits.
  std::optional<ConversionFailure> append_or_help(bool until_appended) {
    RunResult result;
    if (board_.take_result(next_, result)) return append(std::move(result));
    SliceRun run;
    if (board_.take_now(run)) {
      const uint64_t index = run.index;
      board_.finish(index, convert_run(run, chunk_, chunk_size_, board_.spare_buffer()));
      return std::nullopt;
    }
    board_.wait_for(next_, !until_appended);
    return std::nullopt;
  }

  std::optional<ConversionFailure> append_ready() {
    RunResult result;
    while (next_ < posted_ && board_.take_result(next_, result)) {
      if (auto failure = append(std::move(result))) return failure;
    }
    return std::nullopt;
  }

  std::optional<ConversionFailure> append(RunResult result) {
    ++next_;
    if (result.out_of_memory) throw std::bad_alloc();
    if (result.broken) throw std::runtime_error("a conversion thread failed unexpectedly");
    if (result.error) return write_failure(*result.error);
    out_.prefault(result.bytes.size());
    out_.append(result.bytes.bytes());
    board_.give_back(std::move(result.bytes));
    return std::nullopt;
  }

  RunBoard& board_;
  ChunkBuilder chunk_;
  uint64_t chunk_size_;
  uint64_t run_rows_;
  uint64_t most_pending_;
  common::ByteBuffer& out_;
  SliceRun pending_;
  uint64_t posted_ = 0;
  uint64_t next_ = 0;  // the next run to append
};

// Beyond this, a run's fields would take hundreds of megabytes.
constexpr uint64_t kMostFieldsPerRun = uint64_t{16} << 20;

// Rows per run: whole slices of at least one batch, so that a run is worth
// handing to another thread even when slices are small.
uint64_t rows_per_run(uint64_t chunk_size, size_t column_count) {
  const uint64_t least = rows_per_batch(column_count);
  if (chunk_size >= least) return chunk_size;
  return (least + chunk_size - 1) / chunk_size * chunk_size;
}

// The rows after the start of the file, converted on `threads` threads.
std::optional<ConversionFailure> write_rows_in_parallel(csv::CsvReader& reader, TableStart& start,
                                                        uint64_t chunk_size, unsigned threads,
                                                        qarn::Writer& writer) {
  const size_t column_count = start.names.size();
  // Runs of slices this large would hold too many fields at once; with
  // slices this large there is little to share out anyway.
  if (chunk_size > kMostFieldsPerRun / std::max<size_t>(1, column_count)) {
    return write_rows(reader, start, chunk_size, writer);
  }
  // Declared in this order so that the workers stop before what they use
  // goes, and runs give their batches back before the pool goes.
  BatchPool batches;
  RunBoard board;
  RunCoordinator coordinator(board, start.types, chunk_size, rows_per_run(chunk_size, column_count),
                             2 * uint64_t{threads}, writer.out());
  Workers workers(threads - 1, board, start.types, chunk_size);

  for (csv::RowBatch& batch : start.sample) {
    if (auto failure = coordinator.feed(std::make_shared<const csv::RowBatch>(std::move(batch)))) {
      return failure;
    }
  }
  start.sample.clear();
  const size_t batch_rows = rows_per_batch(column_count);
  while (true) {
    std::shared_ptr<csv::RowBatch> batch = batches.take();
    auto read = reader.next_batch(*batch, column_count, batch_rows);
    if (!read.ok()) {
      if (auto failure = coordinator.finish_before_error()) return failure;
      return csv_failure(kParseErrorPrefix, read.error());
    }
    if (read.value() == 0) break;
    if (auto failure = coordinator.feed(std::move(batch))) return failure;
  }
  if (auto failure = coordinator.finish()) return failure;
  writer.write_section_header(qarn::SectionId::TableEnd);
  return std::nullopt;
}

}  // namespace

std::optional<ConversionFailure> convert_csv_to_qarn_parallel(std::span<const uint8_t> csv,
                                                              uint64_t chunk_size,
                                                              uint64_t sample_rows,
                                                              unsigned threads,
                                                              common::ByteBuffer& out) {
  if (threads <= 1) return convert_csv_to_qarn(csv, chunk_size, sample_rows, out);
  return convert_with(csv, chunk_size, sample_rows, out,
                      [&](csv::CsvReader& reader, TableStart& start, qarn::Writer& writer) {
                        return write_rows_in_parallel(reader, start, chunk_size, threads, writer);
                      });
}

}  // namespace pipeline
