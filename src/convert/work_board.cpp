#include "convert/work_board.hpp"

namespace convert::parallel {

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

namespace {

void run_work(Work& work, Board& board, Scratch& scratch, const WorkContext& context) {
  if (auto* run = std::get_if<SliceRun>(&work)) {
    common::ByteBuffer bytes = run->place != nullptr ? common::ByteBuffer() : board.spare_buffer();
    board.finish(run->index, write_run(*run, context.chunk_size, std::move(bytes), scratch.slice));
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
      Scratch scratch;
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
