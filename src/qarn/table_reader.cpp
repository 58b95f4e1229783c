#include "qarn/table_reader.hpp"

#include "qarn/array_reader.hpp"

namespace qarn {

namespace {

// Where each column goes: stored into `slices` when selected, else skipped.
class StoringTargets {
 public:
  StoringTargets(const FileHead& head, std::span<const uint8_t> selected, DecodedSlices& slices)
      : targets_(static_cast<size_t>(head.column_count)), properties_(targets_.size()) {
    slices.columns.resize(targets_.size());
    for (size_t c = 0; c < targets_.size(); ++c) {
      if (!selected.empty() && (c >= selected.size() || selected[c] == 0)) {
        targets_[c].mode = ValueMode::Skip;
        continue;
      }
      DecodedColumn& column = slices.columns[c].emplace(head.column_types[c]);
      targets_[c] = ColumnTarget{ValueMode::Store, &column.values, &column.invalid, &properties_[c]};
    }
  }

  std::span<ColumnTarget> targets() noexcept { return targets_; }

  // Files what the slice just read held beside its values.
  void keep_slice(DecodedSlices& slices, uint64_t rows) {
    const uint64_t slice = slices.slice_rows.size();
    slices.slice_rows.push_back(rows);
    for (size_t c = 0; c < targets_.size(); ++c) {
      slices.slice_has_invalid.push_back(targets_[c].has_invalid_property ? 1 : 0);
      if (properties_[c].empty()) continue;
      slices.slice_properties.emplace(std::pair{slice, uint64_t{c}}, std::move(properties_[c]));
      properties_[c].clear();
    }
  }

  static void pad_invalid(DecodedSlices& slices, uint64_t rows) {
    for (std::optional<DecodedColumn>& column : slices.columns) {
      if (column && column->invalid.any()) column->invalid.pad_to(rows);
    }
  }

 private:
  std::vector<ColumnTarget> targets_;
  std::vector<std::vector<SliceProperty>> properties_;
};

constexpr uint64_t kMaxNarrowData = 0x7FFFFFFF;

// Reads every table slice up to the table end into `targets`, telling
// `on_slice(rows)` the rows of each; the first error met.
template <class OnSlice>
ReadStatus read_slices(FileReader& reader, const FileHead& head, std::span<ColumnTarget> targets,
                       OnSlice&& on_slice) {
  uint64_t rows_before = 0;
  while (true) {
    uint64_t rows = 0;
    bool finished = false;
    if (auto err = reader.read_next(head, targets, rows_before, rows, finished)) return err;
    if (finished) return std::nullopt;
    on_slice(rows);
    rows_before += rows;
  }
}

// Room for `more` bytes after what `buffer` holds. A block from `blocks` is
// theirs to place (a pool's pages are mostly mapped already); one from
// malloc is put in huge pages where the kernel offers them, and its pages
// are mapped now rather than one fault per 4 KiB.
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

// Makes room in each stored column for all of its values at once, from a
// first pass that steps over them: decoding then appends without growing,
// and the pages are mapped in one call per buffer rather than one fault per
// page. Every such size is bounded by the bytes the values take in the
// file, but for run-length arrays, which may stand for many times their
// size and are left to grow as they are decoded. A defect found here is
// left for the decoding pass to report, which may find an earlier one among
// the values. Returns false when decoding should not start before the
// whole file has been checked: for a defect, or for run-length values.
bool reserve_columns(std::span<const uint8_t> file, DecodedSlices& slices,
                     common::BufferStorage* blocks) {
  FileReader reader(file);
  FileHead head;
  if (reader.read_head(head)) return false;
  std::vector<ColumnTarget> targets(static_cast<size_t>(head.column_count));
  for (ColumnTarget& target : targets) {
    target.mode = ValueMode::Skip;
    target.count_invalid = true;
  }
  if (read_slices(reader, head, targets, [](uint64_t) {})) return false;
  bool run_length = false;
  for (size_t c = 0; c < targets.size(); ++c) {
    const ColumnTarget& target = targets[c];
    run_length |= target.run_length;
    if (!slices.columns[c] || target.run_length) continue;
    // A flag per row, for a column with any row flagged.
    if (target.invalid_count > 0) reserve_mapped(slices.columns[c]->invalid.flags(), target.rows, blocks);
    ValueColumn& values = slices.columns[c]->values;
    if (is_variable_width(values.type())) {
      // Arrow's plain string layout takes int32 offsets; they serve when the
      // data is known to stay below 2 GiB.
      if (target.value_bytes <= kMaxNarrowData) values.narrow_offsets();
      reserve_mapped(values.offsets(), static_cast<size_t>(target.rows) * values.offset_width(), blocks);
      // The copy of short elements may write a few bytes past the last one.
      reserve_mapped(values.data(), static_cast<size_t>(target.value_bytes) + kElementCopy, blocks);
    } else {
      reserve_mapped(values.fixed(), static_cast<size_t>(target.value_bytes), blocks);
    }
  }
  return !run_length;
}

}  // namespace

ReadStatus read_table(std::span<const uint8_t> file, std::span<const uint8_t> selected,
                      DecodedTable& table, common::BufferStorage* blocks) {
  FileReader reader(file);
  if (auto err = reader.read_head(table.head)) return err;
  StoringTargets targets(table.head, selected, table.slices);
  // Runs may stand for far more values than the file has bytes: such a file
  // (or one whose framing is wrong) is checked whole before any value is
  // spelt out, so that a defect anywhere fails it at the cost of a check,
  // not of the memory.
  if (!reserve_columns(file, table.slices, blocks)) {
    if (auto err = validate_file(file)) return err;
  }
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
  StoringTargets targets(head_, selected, slice);
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
