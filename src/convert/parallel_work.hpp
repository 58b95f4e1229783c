// The two kinds of work of a parallel conversion: segments of the input to
// read into converted rows, and runs of whole table slices to encode. Each
// is plain data with its result; work_board.hpp hands them to the threads.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/byte_buffer.hpp"
#include "convert/rows_pool.hpp"
#include "csv_input/csv_error.hpp"
#include "csv_input/csv_reader.hpp"
#include "csv_input/row_batch.hpp"
#include "fields/chunk_builder.hpp"
#include "fields/converted_slice.hpp"
#include "qarn/format_error.hpp"
#include "qarn/value.hpp"

namespace convert::parallel {

using RowsPtr = std::shared_ptr<const fields::ConvertedRows>;

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
  size_t bytes = 0;         // the size of its slices, framed
  uint8_t* place = nullptr;  // where in the output they go; null: in a buffer of their own
};

struct RunResult {
  common::ByteBuffer bytes;  // the run's table slices, when not written in place
  uint64_t rows = 0;           // rows in the slices
  uint64_t invalid_cells = 0;  // cells they flag invalid
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
  size_t first_record_end = 0;          // where the first record read ends; 0: none was read
  size_t rows_read_wrong = 0;           // first rows of the last piece that a record read again replaces
  std::exception_ptr thrown;            // thrown again by the calling thread
};

// How a thread reads a segment and converts a run.
struct WorkContext {
  std::span<const uint8_t> input;
  const csv::TableLayout& layout;
  std::span<const fields::ColumnType> types;
  uint64_t chunk_size;
  size_t batch_rows;
  RowsPool& pool;
  // The input goes on past `input` (a window of a stream): a record ended
  // by the end of `input` may go on too.
  bool more_input = false;
};

// What a thread keeps from one piece of work to the next.
struct Scratch {
  csv::RowBatch batch;  // the fields of a segment's records, before they are converted
  std::vector<fields::ConvertedRange> slice;  // the rows of a slice being written
};

// The next place to cut the input at or beyond `from`: just after a line
// end byte that follows a byte of content, or the end. A record read from
// there began where its read would have begun in one pass: after the line
// end of the record before, ahead of the LF of a CR LF pair and of any
// blank lines and comment lines, so that its position is the same.
size_t cut_after_line_end(std::span<const uint8_t> input, size_t from, const csv::Dialect& dialect);

// The last place to cut the input after `from` by the same rule, where
// `from` begins a line; `from` when there is none.
size_t last_cut(std::span<const uint8_t> input, size_t from, const csv::Dialect& dialect);

// The size of the run's slices; none when one cannot be written, which
// gather_run() then tells.
std::optional<size_t> run_bytes(const SliceRun& run, uint64_t chunk_size, std::vector<fields::ConvertedRange>& slice);
// Writes the run's slices straight from their rows, at `run.place` or else
// into `bytes`.
RunResult write_run(const SliceRun& run, uint64_t chunk_size, common::ByteBuffer bytes,
                    std::vector<fields::ConvertedRange>& slice);
// The long way: the rows gathered into `chunk` and written from there, which
// tells why a slice cannot be written.
RunResult gather_run(const SliceRun& run, fields::ChunkBuilder& chunk, uint64_t chunk_size);
// Reads up to `most_records` records of the segment.
SegmentResult read_segment(const Segment& segment, const WorkContext& context, csv::RowBatch& batch,
                           uint64_t most_records = UINT64_MAX);

}  // namespace convert::parallel
