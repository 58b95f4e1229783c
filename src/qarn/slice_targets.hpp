// Where a whole-file read puts each column's part of every table slice, and
// the loop over the slices: shared by the reader on one thread and the one
// that spreads columns over several.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "qarn/file_reader.hpp"
#include "qarn/table_reader.hpp"

namespace qarn {

// One flag per column of `head`: 1 for the columns `selected` names (all
// when it is empty).
[[nodiscard]] std::vector<uint8_t> stored_columns(const FileHead& head, std::span<const uint8_t> selected);

// The columns flagged in `stored`, made empty in `columns`, the others left
// unset.
void make_columns(const FileHead& head, std::span<const uint8_t> stored,
                  std::vector<std::optional<DecodedColumn>>& columns);

// Each column flagged in `store` is decoded into its (made) entry of
// `columns`; the others are stepped over.
class StoringTargets {
 public:
  StoringTargets(std::span<const uint8_t> store, std::vector<std::optional<DecodedColumn>>& columns);

  [[nodiscard]] std::span<ColumnTarget> targets() noexcept { return targets_; }

  // Files into `record` what the slice just read held beside its values:
  // its rows, and per column whether it had invalid flags and its other
  // value properties. `record.columns` is not touched.
  void keep_slice(DecodedSlices& record, uint64_t rows);

  // Pads the invalid flags of columns with any to `rows`.
  static void pad_invalid(DecodedSlices& slices, uint64_t rows);

 private:
  std::vector<ColumnTarget> targets_;
  std::vector<std::vector<SliceProperty>> properties_;
};

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

}  // namespace qarn
