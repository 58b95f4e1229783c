#include "convert/parallel_work.hpp"

#include <new>

#include "convert/steps.hpp"
#include "csv_input/csv_reader.hpp"
#include "qarn/writer.hpp"

namespace convert::parallel {

// ------------------------------------------------------------ the work

std::shared_ptr<fields::ConvertedRows> RowsPool::take() {
  std::unique_ptr<fields::ConvertedRows> rows;
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      rows = std::move(free_.back());
      free_.pop_back();
    }
  }
  if (!rows) rows = std::make_unique<fields::ConvertedRows>(types_);
  return {rows.release(), [this](fields::ConvertedRows* returned) { give_back(returned); }};
}

void RowsPool::give_back(fields::ConvertedRows* returned) noexcept {
  std::unique_ptr<fields::ConvertedRows> rows(returned);
  std::lock_guard lock(mutex_);
  try {
    free_.push_back(std::move(rows));
  } catch (const std::bad_alloc&) {
    // Not kept for reuse then; the rows are freed.
  }
}

namespace {

// Runs `work`, keeping what it throws in the result for the calling thread
// to throw again: no exception leaves a worker thread.
template <class Result, class Work>
void guarded(Result& result, Work work) {
  try {
    work();
  } catch (...) {
    result.thrown = std::current_exception();
  }
}

}  // namespace

RunResult convert_run(const SliceRun& run, fields::ChunkBuilder& chunk, uint64_t chunk_size,
                      common::ByteBuffer bytes) {
  RunResult result;
  result.bytes = std::move(bytes);
  guarded(result, [&] {
    chunk.clear();
    qarn::Writer writer(result.bytes);
    SliceWriter slices(chunk, chunk_size, writer);
    for (const RowRange& range : run.ranges) {
      if ((result.error = slices.add(*range.rows, range.begin, range.end))) return;
    }
    result.error = slices.finish();
  });
  return result;
}

SegmentResult read_segment(const Segment& segment, const WorkContext& context, csv::RowBatch& batch) {
  SegmentResult result;
  guarded(result, [&] {
    // The input ends at the segment's end, so that no record beyond it is
    // read; positions still count from the first byte.
    csv::CsvReader reader(context.input.first(segment.stop), segment.start, 0);
    const size_t column_count = context.types.size();
    // Each batch is converted while its fields are still in cache.
    while (true) {
      auto read = reader.next_batch(batch, column_count, context.batch_rows);
      if (!read.ok()) {
        result.error = read.error();
        break;
      }
      if (read.value() == 0) break;
      std::shared_ptr<fields::ConvertedRows> rows = context.pool.take();
      rows->convert(batch);
      result.rows += read.value();
      result.pieces.push_back(std::move(rows));
    }
    // A record that the segment's end cut short is whole in the input only
    // if its last byte, the line end before `stop`, lay inside quotes.
    result.cut = !result.error && segment.stop < context.input.size() && reader.ended_by_input_end();
    result.cut_start = reader.last_record_start();
  });
  return result;
}

// --------------------------------------------------------------- board

void Board::post(SliceRun run) {
  {
    std::lock_guard lock(mutex_);
    runs_.push_back(std::move(run));
  }
  work_.notify_one();
}

void Board::post(Segment segment) {
  {
    std::lock_guard lock(mutex_);
    segments_.push_back(segment);
  }
  work_.notify_one();
}

bool Board::take_locked(Work& work) {
  if (!runs_.empty()) {
    work = std::move(runs_.front());
    runs_.pop_front();
    return true;
  }
  if (!segments_.empty()) {
    work = segments_.front();
    segments_.pop_front();
    return true;
  }
  return false;
}

bool Board::take_blocking(std::stop_token stop, Work& work) {
  std::unique_lock lock(mutex_);
  if (!work_.wait(lock, stop, [&] { return has_waiting(); })) return false;
  return take_locked(work);
}

bool Board::take_now(Work& work) {
  std::lock_guard lock(mutex_);
  return take_locked(work);
}

template <class Result>
void Board::finish_into(std::map<uint64_t, Result>& done, uint64_t index, Result result) {
  {
    std::lock_guard lock(mutex_);
    done.emplace(index, std::move(result));
  }
  changed_.notify_all();
}

template <class Result>
bool Board::take_from(std::map<uint64_t, Result>& done, uint64_t index, Result& result) {
  std::lock_guard lock(mutex_);
  auto found = done.find(index);
  if (found == done.end()) return false;
  result = std::move(found->second);
  done.erase(found);
  return true;
}

void Board::finish(uint64_t index, RunResult result) { finish_into(done_runs_, index, std::move(result)); }

void Board::finish(uint64_t index, SegmentResult result) {
  finish_into(done_segments_, index, std::move(result));
}

bool Board::take_run_result(uint64_t index, RunResult& result) { return take_from(done_runs_, index, result); }

bool Board::take_segment_result(uint64_t index, SegmentResult& result) {
  return take_from(done_segments_, index, result);
}

void Board::wait_for_run(uint64_t run) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return done_runs_.contains(run) || has_waiting(); });
}

void Board::wait_for_segment(uint64_t segment) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return done_segments_.contains(segment) || has_waiting(); });
}

common::ByteBuffer Board::spare_buffer() {
  std::lock_guard lock(mutex_);
  if (spare_.empty()) return {};
  common::ByteBuffer buffer = std::move(spare_.back());
  spare_.pop_back();
  return buffer;
}

void Board::give_back(common::ByteBuffer buffer) {
  buffer.clear();
  std::lock_guard lock(mutex_);
  spare_.push_back(std::move(buffer));
}

// ------------------------------------------------------------- threads

namespace {

void run_work(Work& work, Board& board, Scratch& scratch, const WorkContext& context) {
  if (auto* run = std::get_if<SliceRun>(&work)) {
    board.finish(run->index, convert_run(*run, scratch.chunk, context.chunk_size, board.spare_buffer()));
  } else {
    const Segment& segment = std::get<Segment>(work);
    board.finish(segment.index, read_segment(segment, context, scratch.batch));
  }
  work = Segment{};  // lets go of a run's rows
}

}  // namespace

bool help(Board& board, Scratch& scratch, const WorkContext& context) {
  Work work;
  if (!board.take_now(work)) return false;
  run_work(work, board, scratch, context);
  return true;
}

Workers::Workers(unsigned count, Board& board, const WorkContext& context) {
  threads_.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    threads_.emplace_back([&board, &context](std::stop_token stop) {
      Scratch scratch(context.types);
      Work work;
      while (board.take_blocking(stop, work)) run_work(work, board, scratch, context);
    });
  }
}

Workers::~Workers() {
  for (std::jthread& thread : threads_) thread.request_stop();
  // jthread's destructor joins.
}

}  // namespace convert::parallel
