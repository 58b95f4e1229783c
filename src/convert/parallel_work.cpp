#include "convert/parallel_work.hpp"

#include <algorithm>

#include "convert/steps.hpp"
#include "csv_input/csv_reader.hpp"
#include "qarn/writer.hpp"

namespace convert::parallel {

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

namespace {

// Whether a cut may follow the byte at `at`, which must lie after `first`,
// where a line begins: it ends a line that has content and is no comment.
// A record after comment lines is placed where they begin, as it is after
// blank lines: so no cut right after a line that starts as a comment does.
bool cut_follows(std::span<const uint8_t> input, size_t first, size_t at, const csv::Dialect& dialect) {
  const auto line_end = [&](size_t i) { return input[i] == dialect.line_feed || input[i] == dialect.carriage_return; };
  if (!line_end(at) || line_end(at - 1)) return false;
  if (!dialect.comments) return true;
  size_t start = at;
  while (start > first && !line_end(start - 1)) --start;
  return input[start] != dialect.comment;
}

}  // namespace

size_t cut_after_line_end(std::span<const uint8_t> input, size_t from, const csv::Dialect& dialect) {
  for (size_t at = std::max<size_t>(from, 1); at < input.size(); ++at) {
    if (cut_follows(input, 0, at, dialect)) return at + 1;
  }
  return input.size();
}

size_t last_cut(std::span<const uint8_t> input, size_t from, const csv::Dialect& dialect) {
  for (size_t at = input.size(); at > from + 1; --at) {
    if (cut_follows(input, from, at - 1, dialect)) return at;
  }
  return from;
}

namespace {

// Calls `write(rows)` with the rows of each of the run's table slices in
// turn; every run but the input's last is made of whole slices.
template <class Write>
void for_each_slice(const SliceRun& run, uint64_t chunk_size, std::vector<fields::ConvertedRange>& slice,
                    Write write) {
  slice.clear();
  uint64_t room = chunk_size;
  for (const RowRange& range : run.ranges) {
    for (size_t begin = range.begin; begin < range.end;) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(room, range.end - begin));
      slice.push_back({range.rows.get(), begin, begin + take});
      begin += take;
      room -= take;
      if (room == 0) {
        write(std::span<const fields::ConvertedRange>(slice));
        slice.clear();
        room = chunk_size;
      }
    }
  }
  if (!slice.empty()) write(std::span<const fields::ConvertedRange>(slice));
}

}  // namespace

std::optional<size_t> run_bytes(const SliceRun& run, uint64_t chunk_size,
                                std::vector<fields::ConvertedRange>& slice) {
  std::optional<size_t> total = 0;
  for_each_slice(run, chunk_size, slice, [&](std::span<const fields::ConvertedRange> rows) {
    const std::optional<size_t> size = fields::converted_slice_size(rows);
    total = total && size ? std::optional<size_t>(*total + *size) : std::nullopt;
  });
  return total;
}

RunResult write_run(const SliceRun& run, uint64_t chunk_size, common::ByteBuffer bytes,
                    std::vector<fields::ConvertedRange>& slice) {
  RunResult result;
  result.bytes = std::move(bytes);
  guarded(result, [&] {
    uint8_t* at = run.place != nullptr ? run.place : result.bytes.extend(run.bytes);
    for_each_slice(run, chunk_size, slice, [&](std::span<const fields::ConvertedRange> rows) {
      at = fields::write_converted_slice(rows, at, result.invalid_cells);
    });
    result.rows = run.rows;
  });
  return result;
}

RunResult gather_run(const SliceRun& run, fields::ChunkBuilder& chunk, uint64_t chunk_size) {
  RunResult result;
  guarded(result, [&] {
    qarn::Writer writer(result.bytes);
    SliceWriter slices(chunk, chunk_size, writer);
    for (const RowRange& range : run.ranges) {
      if ((result.error = slices.add(*range.rows, range.begin, range.end))) return;
    }
    result.error = slices.finish();
    result.rows = slices.rows_written();
    result.invalid_cells = slices.invalid_cells();
  });
  return result;
}

SegmentResult read_segment(const Segment& segment, const WorkContext& context, csv::RowBatch& batch,
                           uint64_t most_records) {
  SegmentResult result;
  guarded(result, [&] {
    // The input ends at the segment's end, so that no record beyond it is
    // read; positions still count from the first byte.
    csv::CsvReader reader(context.input.first(segment.stop), segment.start, 0, context.layout);
    const size_t column_count = context.types.size();
    // One piece for the whole segment, so that a slice takes its rows in
    // few copies; each batch is converted while its fields are in cache.
    std::shared_ptr<fields::ConvertedRows> rows = context.pool.take();
    // The first record alone, so that where it ends is known.
    size_t limit = 1;
    while (result.rows < most_records) {
      auto read = reader.next_batch(batch, column_count, static_cast<size_t>(
                                                             std::min<uint64_t>(limit, most_records - result.rows)));
      if (!read.ok()) {
        result.error = read.error();
        break;
      }
      if (read.value() == 0) break;
      rows->append(batch);
      if (result.rows == 0) result.first_record_end = reader.bytes_read();
      result.rows += read.value();
      limit = context.batch_rows;
    }
    result.pieces.push_back(std::move(rows));
    // A record that the segment's end cut short is whole in the input only
    // if its last byte, the line end before `stop`, lay inside quotes.
    result.cut = !result.error && (segment.stop < context.input.size() || context.more_input) &&
                 reader.ended_by_input_end();
    result.cut_start = reader.last_record_start();
  });
  return result;
}

}  // namespace convert::parallel
