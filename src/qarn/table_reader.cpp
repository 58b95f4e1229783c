#include "qarn/table_reader.hpp"

#include <algorithm>
#include <numeric>
#include <thread>

#include "qarn/array_reader.hpp"
#include "qarn/column_threads.hpp"
#include "qarn/slice_targets.hpp"

namespace qarn {

namespace {

constexpr uint64_t kMaxNarrowData = 0x7FFFFFFF;

// Room for `more` bytes after what `buffer` holds. A block from `blocks` is
// theirs to place (a pool's pages are mostly mapped already); one from
// malloc has its pages mapped now rather than one fault per 4 KiB.
void reserve_mapped(ByteBuffer& buffer, size_t more, common::BufferStorage* blocks) {
  const size_t size = buffer.size() + more;
  if (blocks != nullptr) {
    ByteBuffer block(*blocks);
    block.reserve(size);
    block.append(buffer.bytes());
    buffer = std::move(block);
  } else {
    buffer.reserve_output(size);
    buffer.reserve(size);
    buffer.prefault(more);
  }
}

// What the first pass over a file found.
struct Reservation {
  // False when decoding should not start before the whole file has been
  // checked: for a defect, or for run-length values.
  bool decode_now = false;
  // Per column, roughly what decoding it costs (in bytes copied); 0 for
  // columns not stored.
  std::vector<uint64_t> costs;
};

// Decoding a string or bytes element costs about as much as copying this
// many bytes, besides its own.
constexpr uint64_t kElementCost = 24;

uint64_t decoding_cost(TypeId type, const ColumnTarget& target) {
  if (is_variable_width(type)) return target.value_bytes + kElementCost * target.rows;
  return std::max<uint64_t>(target.value_bytes, target.rows * fixed_width(type));
}

// Makes room in each stored column for all of its values at once, from a
// first pass that steps over them: decoding then appends without growing,
// and the pages are mapped in one call per buffer rather than one fault per
// page. Every such size is bounded by the bytes the values take in the
// file, but for run-length arrays, which may stand for many times their
// size and are left to grow as they are decoded. A defect found here is
// left for the decoding pass to report, which may find an earlier one among
// the values.
Reservation reserve_columns(std::span<const uint8_t> file, const FileHead& head, uint64_t head_end,
                            DecodedSlices& slices, common::BufferStorage* blocks, StringLayout strings) {
  FileReader reader(file, head_end);
  std::vector<ColumnTarget> targets(static_cast<size_t>(head.column_count));
  for (ColumnTarget& target : targets) {
    target.mode = ValueMode::Skip;
    target.count_invalid = true;
  }
  if (read_slices(reader, head, targets, [](uint64_t) {})) return {};
  Reservation reservation{true, std::vector<uint64_t>(targets.size(), 0)};
  for (size_t c = 0; c < targets.size(); ++c) {
    const ColumnTarget& target = targets[c];
    if (target.run_length) reservation.decode_now = false;
    if (!slices.columns[c]) continue;
    reservation.costs[c] = decoding_cost(head.column_types[c], target);
    ValueColumn& values = slices.columns[c]->values;
    // Arrow's plain string layout takes int32 offsets, and views address
    // their data with 32 bits; either serves when the data is known to stay
    // below 2 GiB. Runs may stand for more data than that, but as views
    // each value's data is kept once.
    if (is_variable_width(values.type()) && target.value_bytes <= kMaxNarrowData) {
      if (strings == StringLayout::Views) {
        values.lay_out_views();
      } else if (!target.run_length) {
        values.narrow_offsets();
      }
    }
    if (target.run_length) continue;
    // A flag per row, for a column with any row flagged.
    if (target.invalid_count > 0) reserve_mapped(slices.columns[c]->invalid.flags(), target.rows, blocks);
    if (is_variable_width(values.type())) {
      reserve_mapped(values.offsets(), static_cast<size_t>(target.rows) * values.offset_width(), blocks);
      // The copy of short elements may write a few bytes past the last one.
      reserve_mapped(values.data(), static_cast<size_t>(target.value_bytes) + kElementCopy, blocks);
    } else {
      reserve_mapped(values.fixed(), static_cast<size_t>(target.value_bytes), blocks);
    }
  }
  return reservation;
}

enum class Spread : uint8_t { NotWorthIt, Read, Failed };

// Decodes the stored columns on threads of their own when that is worth it.
// After Failed, what the threads decoded is to be thrown away.
Spread read_spread(std::span<const uint8_t> file, const FileHead& head, uint64_t head_end,
                   std::span<const uint8_t> stored, const Reservation& reservation, ReadThreads threads,
                   DecodedSlices& slices) {
  // No more threads than the machine runs at once: the rest would only
  // take turns.
  const unsigned count = std::min(threads.count, std::max(1u, std::thread::hardware_concurrency()));
  if (count < 2) return Spread::NotWorthIt;
  const uint64_t cost = std::accumulate(reservation.costs.begin(), reservation.costs.end(), uint64_t{0});
  if (cost < threads.smallest_spread || reservation.costs.empty()) return Spread::NotWorthIt;
  const std::vector<std::vector<uint8_t>> shares = share_columns(stored, reservation.costs, count);
  if (shares.size() < 2) return Spread::NotWorthIt;
  return read_shares(file, head, head_end, shares, slices) ? Spread::Read : Spread::Failed;
}

}  // namespace

ReadStatus read_table(std::span<const uint8_t> file, std::span<const uint8_t> selected,
                      DecodedTable& table, common::BufferStorage* blocks, ReadThreads threads,
                      StringLayout strings) {
  FileReader reader(file);
  if (auto err = reader.read_head(table.head)) return err;
  const std::vector<uint8_t> stored = stored_columns(table.head, selected);
  make_columns(table.head, stored, table.slices.columns);
  // Runs may stand for far more values than the file has bytes: such a file
  // (or one whose framing is wrong) is checked whole before any value is
  // spelt out, so that a defect anywhere fails it at the cost of a check,
  // not of the memory.
  const uint64_t head_end = reader.offset();
  const Reservation reservation = reserve_columns(file, table.head, head_end, table.slices, blocks, strings);
  if (!reservation.decode_now) {
    if (auto err = validate_file(file)) return err;
  }
  switch (read_spread(file, table.head, head_end, stored, reservation, threads, table.slices)) {
    case Spread::Read: {
      const std::vector<uint64_t>& rows = table.slices.slice_rows;
      StoringTargets::pad_invalid(table.slices, std::accumulate(rows.begin(), rows.end(), uint64_t{0}));
      return std::nullopt;
    }
    case Spread::Failed:
      // This thread reads it all again, and finds the first defect.
      table.slices = DecodedSlices{};
      make_columns(table.head, stored, table.slices.columns);
      break;
    case Spread::NotWorthIt: break;
  }
  StoringTargets targets(stored, table.slices.columns);
  uint64_t all_rows = 0;
  if (auto err = read_slices(reader, table.head, targets.targets(), [&](uint64_t rows) {
        targets.keep_slice(table.slices, rows);
        all_rows += rows;
      })) {
    return err;
  }
  StoringTargets::pad_invalid(table.slices, all_rows);
  return std::nullopt;
}

ReadStatus validate_file(std::span<const uint8_t> file) {
  FileReader reader(file);
  FileHead head;
  if (auto err = reader.read_head(head)) return err;
  std::vector<ColumnTarget> targets(static_cast<size_t>(head.column_count));
  return read_slices(reader, head, targets, [](uint64_t) {});
}

ReadStatus summarize_file(std::span<const uint8_t> file, FileSummary& summary) {
  FileReader reader(file);
  if (auto err = reader.read_head(summary.head)) return err;
  summary.metadata_bytes = reader.offset();
  std::vector<ColumnTarget> targets(static_cast<size_t>(summary.head.column_count));
  for (ColumnTarget& target : targets) {
    target.mode = ValueMode::Skip;
    target.count_invalid = true;
  }
  if (auto err = read_slices(reader, summary.head, targets,
                             [&](uint64_t rows) { summary.slice_rows.push_back(rows); })) {
    return err;
  }
  for (const ColumnTarget& target : targets) {
    summary.invalid_counts.push_back(target.invalid_count);
    summary.column_bytes.push_back(target.bytes);
  }
  return std::nullopt;
}

ReadStatus SliceStream::open() {
  if (auto err = reader_.read_head(head_)) failed_ = err;
  return failed_;
}

ReadStatus SliceStream::next(std::span<const uint8_t> selected, DecodedSlices& slice,
                             bool& finished) {
  finished = finished_;
  if (failed_ || finished_) return failed_;
  const std::vector<uint8_t> stored = stored_columns(head_, selected);
  make_columns(head_, stored, slice.columns);
  StoringTargets targets(stored, slice.columns);
  uint64_t rows = 0;
  if (auto err = reader_.read_next(head_, targets.targets(), 0, rows, finished_)) {
    failed_ = err;
    return failed_;
  }
  finished = finished_;
  if (!finished_) {
    targets.keep_slice(slice, rows);
    StoringTargets::pad_invalid(slice, rows);
  }
  return std::nullopt;
}

}  // namespace qarn
