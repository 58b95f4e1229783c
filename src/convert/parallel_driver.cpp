#include "convert/parallel_driver.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <vector>

#include "convert/input_window.hpp"
#include "convert/mapped_input.hpp"
#include "convert/steps.hpp"
#include "convert/stream_driver.hpp"
#include "convert/work_board.hpp"
#include "csv_input/csv_reader.hpp"
#include "csv_input/dialect.hpp"
#include "qarn/writer.hpp"

namespace convert {

namespace {

using parallel::RowsPtr;
using parallel::Board;
using parallel::RowRange;
using parallel::RunResult;
using parallel::Segment;
using parallel::SegmentResult;
using parallel::SliceRun;
using parallel::WorkContext;

using Clock = std::chrono::steady_clock;

// Adds the time until it goes to `total`.
class SharedTime {
 public:
  explicit SharedTime(double& total) noexcept : total_(total), start_(Clock::now()) {}
  SharedTime(const SharedTime&) = delete;
  SharedTime& operator=(const SharedTime&) = delete;
  ~SharedTime() { total_ += std::chrono::duration<double>(Clock::now() - start_).count(); }

 private:
  double& total_;
  Clock::time_point start_;
};

// The calling thread's side: cuts rows into runs, posts them, and appends
// results in order.
class RunCoordinator {
 public:
  // With a `sink`, the output goes to it as it grows; `stop` is asked after
  // every run appended whether to go on.
  RunCoordinator(Board& board, const WorkContext& context, uint64_t run_rows,
                 uint64_t most_pending, common::ByteBuffer& out, ByteSink* sink, StopCheck* stop = nullptr)
      : board_(board), context_(context), chunk_size_(context.chunk_size),
        run_rows_(run_rows), most_pending_(most_pending), out_(out), sink_(sink), stop_(stop) {}

  // Work waiting on the board, done here; false when none waits.
  bool help() {
    const SharedTime timed(shared_seconds_);
    return parallel::help(board_, scratch_, context_);
  }

  // This thread's time on shared work or waiting for it.
  [[nodiscard]] double shared_seconds() const noexcept { return shared_seconds_; }

  // This thread's batch, for reading a segment here.
  csv::RowBatch& batch() noexcept { return scratch_.batch; }

  // Adds the rows from `first` on; a failure already met in order stops the feed.
  ConversionStatus feed(RowsPtr piece, size_t first = 0) {
    lost_ += piece->lost(first);
    size_t row = first;
    const size_t rows = piece->row_count();
    while (row < rows) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(run_rows_ - pending_.rows, rows - row));
      pending_.ranges.push_back({piece, row, row + take});
      pending_.rows += take;
      row += take;
      if (pending_.rows == run_rows_) {
        if (auto failure = post_pending()) return failure;
      }
    }
    return append_ready();
  }

  // What the rows fed so far lost.
  [[nodiscard]] const fields::LostCells& lost() const noexcept { return lost_; }
  // The rows appended so far, and the cells they flag invalid.
  [[nodiscard]] uint64_t rows_written() const noexcept { return rows_written_; }
  [[nodiscard]] uint64_t invalid_cells() const noexcept { return invalid_cells_; }

  // Keeps the calling thread useful while it waits for something else.
  void wait_for_segment(uint64_t segment) {
    if (help()) return;
    const SharedTime timed(shared_seconds_);
    board_.wait_for_segment(segment);
  }

  // Posts the last run and appends everything; the first failure in order.
  ConversionStatus finish() {
    if (pending_.rows > 0) {
      if (auto failure = post_pending()) return failure;
    }
    return drain();
  }

  // At a record that cannot be read: the slices completed before it are
  // written (a failure among them comes first), the incomplete one is not.
  ConversionStatus finish_before_error() {
    uint64_t keep = pending_.rows / chunk_size_ * chunk_size_;
    if (keep > 0) {
      std::vector<RowRange> ranges;
      for (RowRange& range : pending_.ranges) {
        if (keep == 0) break;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(keep, range.end - range.begin));
        ranges.push_back({std::move(range.rows), range.begin, range.begin + take});
        keep -= take;
      }
      pending_.ranges = std::move(ranges);
      if (auto failure = post_pending()) return failure;
    }
    pending_ = SliceRun();
    return drain();
  }

  // Appends every posted run, converting waiting ones meanwhile.
  ConversionStatus drain() {
    while (next_ < posted_) {
      if (auto failure = append_or_help()) return failure;
    }
    return std::nullopt;
  }

 private:
  ConversionStatus post_pending() {
    // Keeps the rows held at once bounded: while too many runs are not yet
    // appended, convert one here or wait for the next in order.
    while (posted_ - next_ >= most_pending_) {
      if (auto failure = append_or_help()) return failure;
    }
    const std::optional<size_t> bytes = parallel::run_bytes(pending_, chunk_size_, scratch_.slice);
    if (!bytes) return gather_pending();
    pending_.bytes = *bytes;
    if (sink_ == nullptr) {
      // Without a sink the run is written straight into its place in the
      // output, so that this thread copies nothing.
      if (auto failure = make_room(*bytes)) return failure;
      pending_.place = out_.extend(*bytes);
    }
    pending_.index = posted_++;
    board_.post(std::move(pending_));
    pending_ = SliceRun();
    return std::nullopt;
  }

  // Room in the output for `bytes` more. The output only moves once no run
  // is being written into it.
  ConversionStatus make_room(size_t bytes) {
    if (out_.capacity() - out_.size() >= bytes) return std::nullopt;
    if (auto failure = drain()) return failure;
    out_.reserve(std::max(out_.size() + bytes, out_.capacity() + out_.capacity() / 2));
    return std::nullopt;
  }

  // A run whose slices cannot be written straight: the runs before it go
  // first, then it is written the long way here, which tells why.
  ConversionStatus gather_pending() {
    if (auto failure = drain()) return failure;
    fields::ChunkBuilder chunk(context_.types);
    RunResult result = parallel::gather_run(pending_, chunk, chunk_size_);
    pending_ = SliceRun();
    ++posted_;
    return append(std::move(result));
  }

  // Appends the next result in order if it is done; otherwise does waiting
  // work or, with nothing waiting, waits.
  ConversionStatus append_or_help() {
    RunResult result;
    if (board_.take_run_result(next_, result)) return append(std::move(result));
    if (help()) return std::nullopt;
    const SharedTime timed(shared_seconds_);
    board_.wait_for_run(next_);
    return std::nullopt;
  }

  ConversionStatus append_ready() {
    RunResult result;
    while (next_ < posted_ && board_.take_run_result(next_, result)) {
      if (auto failure = append(std::move(result))) return failure;
    }
    return std::nullopt;
  }

  ConversionStatus append(RunResult result) {
    ++next_;
    if (result.thrown) std::rethrow_exception(result.thrown);
    if (result.error) return write_failure(*result.error);
    if (auto failure = stop_if_asked(stop_)) return failure;
    rows_written_ += result.rows;
    invalid_cells_ += result.invalid_cells;
    if (result.bytes.capacity() == 0) return std::nullopt;  // written in place
    if (sink_ != nullptr && out_.empty() && result.bytes.size() >= kSinkPieceBytes) {
      // Large enough for the sink as it is: no copy.
      const bool written = sink_->write(result.bytes.bytes());
      if (!written && sink_->bytes_kept()) result.bytes.detach();  // given up, never freed
      board_.give_back(std::move(result.bytes));
      if (!written) return ConversionFailure{kOutputFailedMessage, FailureSide::Output};
      return std::nullopt;
    }
    if (sink_ == nullptr) out_.prefault(result.bytes.size());
    out_.append(result.bytes.bytes());
    board_.give_back(std::move(result.bytes));
    return convert::drain(out_, sink_, kSinkPieceBytes);
  }

  Board& board_;
  const WorkContext& context_;
  fields::LostCells lost_;
  parallel::Scratch scratch_;
  uint64_t chunk_size_;
  uint64_t run_rows_;
  uint64_t most_pending_;
  common::ByteBuffer& out_;
  ByteSink* sink_;
  StopCheck* stop_;
  uint64_t rows_written_ = 0;
  uint64_t invalid_cells_ = 0;
  SliceRun pending_;
  uint64_t posted_ = 0;
  uint64_t next_ = 0;  // the next run to append
  double shared_seconds_ = 0;
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

// Segments are large enough that reading one is worth a thread, and small
// enough that every thread gets several, and that the converted rows of
// the few read ahead stay small: fresh memory for them costs a page fault
// per 4 KiB. A wide table's segment holds enough rows that the slices
// take their rows from a few segments, not dozens.
size_t segment_size(size_t remaining, unsigned threads, size_t column_count, size_t requested) {
  if (requested != 0) return requested;
  const size_t most = std::clamp<size_t>(column_count * (size_t{8} << 10), size_t{512} << 10, size_t{4} << 20);
  return std::clamp<size_t>(remaining / (8 * size_t{threads}), size_t{256} << 10, most);
}

// A window of a stream is read in segments of this size: several to a
// window, so that the threads are kept busy until near its end.
constexpr size_t kStreamSegmentBytes = size_t{1} << 20;

// Reads the input after the sample in segments on every thread and feeds
// their rows, in order, to the runs. A segment is read as though its start
// began a record; when the segment before it ends inside a record (a line
// end in quotes), that record is dropped there and read again, whole, from
// its start on this thread, with the rest of the segment unless its rows
// stand (rejoin()).
class SegmentFeed {
 public:
  // Reads the input from `start` up to `limit`, a place to cut it; `window`
  // (optional) places positions in the whole of a streamed input, and
  // `mapped` (optional) hears how far a mapped one has been read.
  SegmentFeed(Board& board, RunCoordinator& runs, const WorkContext& context, size_t start, size_t limit,
              uint64_t records_before, size_t segment_bytes, unsigned threads,
              const InputWindow* window = nullptr, MappedInput* mapped = nullptr)
      : board_(board), runs_(runs), context_(context), window_(window), mapped_(mapped), next_start_(start),
        planned_to_(start),
        limit_(limit), records_(records_before), segment_bytes_(segment_bytes),
        most_ahead_(size_t{threads} + 1) {}

  // Once run: where the record after the last one read begins, and the
  // records before it, the header row included.
  [[nodiscard]] size_t next_start() const noexcept { return next_start_; }
  [[nodiscard]] uint64_t records() const noexcept { return records_; }

  // Posts segments up to the most read ahead.
  void plan() {
    const size_t end = limit_;
    while (planned_.size() < most_ahead_ && planned_to_ < end) {
      const size_t stop = std::min(
          end, parallel::cut_after_line_end(context_.input, planned_to_ + segment_bytes_, context_.layout.dialect));
      const Segment segment{next_index_++, planned_to_, stop};
      planned_.push_back(segment);
      board_.post(segment);
      planned_to_ = stop;
    }
  }

  // Feeds every record; the first failure in order.
  ConversionStatus run() {
    while (true) {
      plan();
      if (planned_.empty()) return std::nullopt;
      const Segment segment = planned_.front();
      planned_.pop_front();
      SegmentResult result;
      while (!board_.take_segment_result(segment.index, result)) runs_.wait_for_segment(segment.index);
      if (segment.start != next_start_ && !rejoin(result, segment)) {
        result = parallel::read_segment(Segment{segment.index, next_start_, segment.stop}, context_,
                                        runs_.batch());
      }
      if (auto failure = consume(std::move(result), segment.stop)) return failure;
    }
  }

 private:
  // Whether the segment, read from a start inside the record that truly
  // begins at `next_start_`, ended its first record where that record ends:
  // its rows after the first are then right as they are, and the record,
  // read again alone, takes the first one's place. Otherwise the segment
  // is read again whole.
  bool rejoin(SegmentResult& result, const Segment& segment) {
    if (result.thrown || result.error || result.first_record_end == 0 || (result.cut && result.rows == 1)) {
      return false;
    }
    SegmentResult first = parallel::read_segment(Segment{segment.index, next_start_, segment.stop}, context_,
                                                 runs_.batch(), 1);
    if (first.thrown || first.error || first.cut || first.rows != 1 ||
        first.first_record_end != result.first_record_end) {
      return false;
    }
    result.pieces.insert(result.pieces.begin(), std::move(first.pieces.front()));
    result.rows_read_wrong = 1;
    return true;
  }

  ConversionStatus consume(SegmentResult result, size_t stop) {
    if (result.thrown) std::rethrow_exception(result.thrown);
    if (result.cut) {
      // The last record goes on past the segment: it is read again, whole,
      // with the next one.
      result.pieces.back() = drop_last_row(result.pieces.back());
      --result.rows;
      next_start_ = result.cut_start;
    } else {
      next_start_ = stop;
    }
    for (size_t i = 0; i < result.pieces.size(); ++i) {
      // The segment's own rows are in the last piece.
      const size_t first_row = i + 1 == result.pieces.size() ? result.rows_read_wrong : 0;
      if (result.pieces[i]->row_count() > first_row) {
        if (auto failure = runs_.feed(std::move(result.pieces[i]), first_row)) return failure;
      }
    }
    if (result.error) {
      // Rows before the bad record are written; the records before the
      // segment number it.
      csv::CsvError error = *result.error;
      error.position.record += records_;
      if (window_ != nullptr) window_->place(error.position);
      if (auto failure = runs_.finish_before_error()) return failure;
      return csv_failure(kParseErrorPrefix, error);
    }
    records_ += result.rows;
    if (mapped_ != nullptr) mapped_->release_before(next_start_);
    return std::nullopt;
  }

  // The rows without the last; no run refers to them yet.
  static RowsPtr drop_last_row(const RowsPtr& piece) {
    std::const_pointer_cast<fields::ConvertedRows>(piece)->drop_last_row();
    return piece;
  }

  Board& board_;
  RunCoordinator& runs_;
  const WorkContext& context_;
  const InputWindow* window_;
  MappedInput* mapped_;
  size_t next_start_;       // where the next record truly begins
  size_t planned_to_;       // where the next segment to post begins
  size_t limit_;            // where the last segment ends
  uint64_t records_;        // records before `next_start_`, the header row included
  size_t segment_bytes_;
  size_t most_ahead_;
  uint64_t next_index_ = 0;
  std::deque<Segment> planned_;  // posted, not yet taken
};

// The sample's rows, converted here into one block: the first rows of the table.
ConversionStatus feed_sample(parallel::RowsPool& pool, RunCoordinator& runs, TableStart& start) {
  std::shared_ptr<fields::ConvertedRows> rows = pool.take();
  for (const csv::RowBatch& batch : start.sample) rows->append(batch);
  if (auto failure = runs.feed(std::move(rows))) return failure;
  start.sample.clear();
  return std::nullopt;
}

ConversionStatus finish_rows(RunCoordinator& runs, TableStart& start, qarn::Writer& writer) {
  if (auto failure = runs.finish()) return failure;
  start.lost = runs.lost();
  start.rows = runs.rows_written();
  start.invalid_cells = runs.invalid_cells();
  start.shared_seconds = runs.shared_seconds();
  writer.write_section_header(qarn::SectionId::TableEnd);
  return std::nullopt;
}

ConversionStatus write_rows_in_parallel(std::span<const uint8_t> input,
                                        csv::CsvReader& reader, TableStart& start,
                                        uint64_t chunk_size, unsigned threads, const ConvertOptions& options,
                                        size_t segment_bytes, qarn::Writer& writer, ByteSink* sink) {
  const size_t column_count = start.names.size();
  // Runs of slices this large would hold too many fields at once; with
  // slices this large there is little to share out anyway.
  if (chunk_size > kMostFieldsPerRun / std::max<size_t>(1, column_count)) {
    return write_rows(reader, start, chunk_size, writer, sink, options);
  }
  // Declared in this order so that the workers stop before what they use
  // goes, and runs give their batches back before the pool goes.
  parallel::RowsPool pool(start.types, start.spelling);
  const WorkContext context{input, options.layout, start.types, chunk_size, rows_per_batch(column_count), pool};
  Board board;
  RunCoordinator runs(board, context, rows_per_run(chunk_size, column_count), uint64_t{threads},
                      writer.out(), sink, options.stop);
  parallel::Workers workers(threads - 1, board, context);

  const size_t after_sample = reader.bytes_read();
  SegmentFeed segments(board, runs, context, after_sample, input.size(), reader.records_read(),
                       segment_size(input.size() - after_sample, threads, column_count, segment_bytes), threads, nullptr,
                       options.mapped);
  // The first segments are read meanwhile: the sample of a wide table takes a while.
  segments.plan();
  if (auto failure = feed_sample(pool, runs, start)) return failure;
  if (auto failure = segments.run()) return failure;
  return finish_rows(runs, start, writer);
}

}  // namespace

ConversionStatus write_window_rows(InputWindow& window, size_t position, uint64_t records, TableStart& start,
                                   uint64_t chunk_size, unsigned threads, const csv::TableLayout& layout,
                                   size_t segment_bytes, qarn::Writer& writer, ByteSink& sink) {
  const size_t column_count = start.names.size();
  parallel::RowsPool pool(start.types, start.spelling);
  // The input of the context is the window, which moves on while the
  // workers wait for work: they read it only for a segment posted after.
  WorkContext context{window.bytes(), layout, start.types, chunk_size, rows_per_batch(column_count), pool,
                      !window.complete()};
  Board board;
  RunCoordinator runs(board, context, rows_per_run(chunk_size, column_count), uint64_t{threads},
                      writer.out(), &sink);
  parallel::Workers workers(threads - 1, board, context);

  // The sample's rows point into the window: converted before it moves.
  if (auto failure = feed_sample(pool, runs, start)) return failure;
  while (true) {
    context.input = window.bytes();
    context.more_input = !window.complete();
    // Records are read up to the last line end held; whether the record
    // before it ends there is known once it is read.
    const size_t limit = window.complete() ? context.input.size()
                                           : parallel::last_cut(context.input, position, layout.dialect);
    size_t next = position;
    if (limit > position) {
      SegmentFeed segments(board, runs, context, position, limit, records,
                           segment_bytes != 0 ? segment_bytes : kStreamSegmentBytes, threads, &window);
      if (auto failure = segments.run()) return failure;
      next = segments.next_start();
      records = segments.records();
    }
    if (window.complete()) break;
    // What is left from `next` on is the start of a record, which more
    // input completes; a record longer than the window makes it grow.
    if (auto failure = next > 0 ? window.advance(next) : window.grow()) return failure;
    position = 0;
  }
  return finish_rows(runs, start, writer);
}

ConversionStatus convert_csv_to_qarn_parallel(std::span<const uint8_t> csv,
                                              uint64_t chunk_size,
                                              uint64_t sample_rows,
                                              unsigned threads,
                                              common::ByteBuffer& out,
                                              const ConvertOptions& options,
                                              size_t segment_bytes, ConversionReport* report,
                                              ByteSink* sink) {
  if (threads <= 1) return convert_csv_to_qarn(csv, chunk_size, sample_rows, out, options, report, sink);
  const Clock::time_point began = Clock::now();
  double shared_seconds = 0;
  ConversionStatus status = convert_with(
      csv, chunk_size, sample_rows, options, threads, out, report, sink,
      [&](csv::CsvReader& reader, TableStart& start, qarn::Writer& writer) {
        ConversionStatus rows = write_rows_in_parallel(csv, reader, start, chunk_size, threads, options,
                                                       segment_bytes, writer, sink);
        shared_seconds = start.shared_seconds;
        return rows;
      });
  if (report != nullptr) {
    report->ordered_seconds = std::chrono::duration<double>(Clock::now() - began).count() - shared_seconds;
  }
  return status;
}

}  // namespace convert
