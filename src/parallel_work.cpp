#include "parallel_work.hpp"

#include <new>
#include <stdexcept>

#include "conversion_steps.hpp"
#include "csv_input/csv_reader.hpp"
#include "qarn/encoding.hpp"

namespace pipeline::parallel {

// ------------------------------------------------------------ the work

std::shared_ptr<csv::RowBatch> BatchPool::take() {
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

void BatchPool::give_back(csv::RowBatch* returned) noexcept {
  std::unique_ptr<csv::RowBatch> batch(returned);
  std::lock_guard lock(mutex_);
  try {
    free_.push_back(std::move(batch));
  } catch (const std::bad_alloc&) {
    // Not kept for reuse then; the batch is freed.
  }
}

namespace {

// Runs `encode` into a result that holds `bytes`, with what it throws
// turned into the result's flags, for the calling thread to raise.
template <class Encode>
RunResult encode_guarded(common::ByteBuffer bytes, Encode encode) {
  RunResult result;
  result.bytes = std::move(bytes);
  try {
    result.error = encode(result.bytes);
  } catch (const std::bad_alloc&) {
    result.out_of_memory = true;
  } catch (const std::length_error&) {
    result.out_of_memory = true;  // a container asked for more than memory can hold
  } catch (...) {
    result.broken = true;
  }
  return result;
}

}  // namespace

RunResult convert_run(const SliceRun& run, ChunkBuilder& chunk, uint64_t chunk_size,
                      common::ByteBuffer bytes) {
  return encode_guarded(std::move(bytes), [&](common::ByteBuffer& out) -> qarn::WriteStatus {
    chunk.clear();
    qarn::Writer writer(out);
    SliceWriter slices(chunk, chunk_size, writer);
    for (const RowRange& range : run.ranges) {
      if (auto error = slices.add(*range.batch, range.begin, range.end)) return error;
    }
    return slices.finish();
  });
}

std::shared_ptr<SplitRun> split_run(SliceRun run, size_t column_count, size_t parts) {
  auto split = std::make_shared<SplitRun>();
  split->run = std::move(run);
  split->parts.resize(parts);
  for (size_t part = 0; part < parts; ++part) {
    split->parts[part].first_column = column_count * part / parts;
    split->parts[part].stop_column = column_count * (part + 1) / parts;
  }
  split->unfinished.store(parts);
  return split;
}

namespace {

// Columns [first, stop) of the run's one slice, each a framed column slice.
RunResult convert_part(const SliceRun& run, const SplitRun::Part& part, ChunkBuilder& chunk,
                       common::ByteBuffer bytes) {
  return encode_guarded(std::move(bytes), [&](common::ByteBuffer& out) -> qarn::WriteStatus {
    chunk.clear();
    for (const RowRange& range : run.ranges) {
      chunk.append_columns(*range.batch, range.begin, range.end, part.first_column, part.stop_column);
    }
    const std::span<const qarn::ColumnSlice> slices = chunk.finish_slices();
    qarn::Writer writer(out);
    for (size_t column = part.first_column; column < part.stop_column; ++column) {
      if (auto error = qarn::write_column_slice(writer, slices[column])) return error;
    }
    return std::nullopt;
  });
}

// The slice of a split run: its header, then the parts in column order; a
// part that failed ends it with the failure of its first column.
RunResult join_parts(SplitRun& split, size_t column_count, common::ByteBuffer bytes) {
  RunResult joined = encode_guarded(std::move(bytes), [&](common::ByteBuffer& out) -> qarn::WriteStatus {
    qarn::Writer writer(out);
    writer.write_section_header(qarn::SectionId::TableSlice);
    if (!writer.fits_count(column_count)) return qarn::FormatError{qarn::FormatErrorKind::TooManyColumns};
    writer.write_count(column_count);
    return std::nullopt;
  });
  if (joined.error || joined.out_of_memory || joined.broken) return joined;
  for (SplitRun::Part& part : split.parts) {
    RunResult& result = part.result;
    if (result.error || result.out_of_memory || result.broken) {
      joined.error = result.error;
      joined.out_of_memory = result.out_of_memory;
      joined.broken = result.broken;
      return joined;
    }
    try {
      joined.tail.push_back(std::move(result.bytes));
    } catch (const std::bad_alloc&) {
      joined.out_of_memory = true;
      return joined;
    }
  }
  return joined;
}

}  // namespace

SegmentResult read_segment(const Segment& segment, const WorkContext& context) {
  SegmentResult result;
  try {
    // The input ends at the segment's end, so that no record beyond it is
    // read; positions still count from the first byte.
    csv::CsvReader reader(context.input.first(segment.stop), segment.start, 0);
    const size_t column_count = context.types.size();
    while (true) {
      std::shared_ptr<csv::RowBatch> batch = context.batches.take();
      auto read = reader.next_batch(*batch, column_count, context.batch_rows);
      if (!read.ok()) {
        result.error = read.error();
        break;
      }
      if (read.value() == 0) break;
      result.rows += read.value();
      result.batches.push_back(std::move(batch));
    }
    // A record that the segment's end cut short is whole in the input only
    // if its last byte, the line end before `stop`, lay inside quotes.
    result.cut = !result.error && segment.stop < context.input.size() && reader.ended_by_input_end();
    result.cut_start = reader.last_record_start();
  } catch (const std::bad_alloc&) {
    result.out_of_memory = true;
  } catch (const std::length_error&) {
    result.out_of_memory = true;
  } catch (...) {
    result.broken = true;
  }
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

void Board::post(const std::shared_ptr<SplitRun>& run) {
  {
    std::lock_guard lock(mutex_);
    for (size_t part = 0; part < run->parts.size(); ++part) runs_.push_back(ColumnPart{run, part});
  }
  work_.notify_all();
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
    std::visit([&](auto& run) { work = std::move(run); }, runs_.front());
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

void Board::finish(uint64_t index, RunResult result) {
  {
    std::lock_guard lock(mutex_);
    done_runs_.emplace(index, std::move(result));
  }
  changed_.notify_all();
}

void Board::finish(uint64_t index, SegmentResult result) {
  {
    std::lock_guard lock(mutex_);
    done_segments_.emplace(index, std::move(result));
  }
  changed_.notify_all();
}

bool Board::take_run_result(uint64_t index, RunResult& result) {
  std::lock_guard lock(mutex_);
  auto found = done_runs_.find(index);
  if (found == done_runs_.end()) return false;
  result = std::move(found->second);
  done_runs_.erase(found);
  return true;
}

bool Board::take_segment_result(uint64_t index, SegmentResult& result) {
  std::lock_guard lock(mutex_);
  auto found = done_segments_.find(index);
  if (found == done_segments_.end()) return false;
  result = std::move(found->second);
  done_segments_.erase(found);
  return true;
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

void run_work(Work& work, Board& board, ChunkBuilder& chunk,
              const WorkContext& context) {
  if (auto* run = std::get_if<SliceRun>(&work)) {
    board.finish(run->index, convert_run(*run, chunk, context.chunk_size, board.spare_buffer()));
  } else if (auto* column_part = std::get_if<ColumnPart>(&work)) {
    SplitRun& split = *column_part->run;
    SplitRun::Part& part = split.parts[column_part->part];
    part.result = convert_part(split.run, part, chunk, board.spare_buffer());
    // The last part to finish sees every other part's result.
    if (split.unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      board.finish(split.run.index, join_parts(split, context.types.size(), board.spare_buffer()));
    }
  } else {
    const Segment& segment = std::get<Segment>(work);
    board.finish(segment.index, read_segment(segment, context));
  }
  work = Segment{};  // lets go of a run's batches
}

}  // namespace

bool help(Board& board, ChunkBuilder& chunk, const WorkContext& context) {
  Work work;
  if (!board.take_now(work)) return false;
  run_work(work, board, chunk, context);
  return true;
}

Workers::Workers(unsigned count, Board& board, const WorkContext& context) {
  threads_.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    threads_.emplace_back([&board, &context](std::stop_token stop) {
      ChunkBuilder chunk(context.types);
      Work work;
      while (board.take_blocking(stop, work)) run_work(work, board, chunk, context);
    });
  }
}

Workers::~Workers() {
  for (std::jthread& thread : threads_) thread.request_stop();
  // jthread's destructor joins.
}

}  // namespace pipeline::parallel
