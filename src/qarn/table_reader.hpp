// Reading tables: a whole file at once, with every selected column's values
// and invalid flags joined over all table slices, or one slice at a time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "qarn/file_reader.hpp"

namespace qarn {

struct DecodedColumn {
  explicit DecodedColumn(TypeId type) : values(type) {}
  ValueColumn values;
  InvalidFlags invalid;  // padded to the row count once any row is invalid
};

// The table slices read, and what they held.
struct DecodedSlices {
  std::vector<uint64_t> slice_rows;
  // One entry per column; empty for a column that was not selected.
  std::vector<std::optional<DecodedColumn>> columns;
  // Per (slice, column), the value properties other than the first
  // "IsInvalid", kept only where there are some.
  std::map<std::pair<uint64_t, uint64_t>, std::vector<SliceProperty>> slice_properties;
  // Per slice, per column: 1 where the slice has an "IsInvalid" property.
  std::vector<uint8_t> slice_has_invalid;
};

struct DecodedTable {
  FileHead head;
  DecodedSlices slices;
};

// How many threads a whole-file read may decode columns on.
struct ReadThreads {
  unsigned count = 1;
  // Below this much decoding (roughly, bytes copied) the calling thread
  // reads it all: starting threads would cost more than they save.
  uint64_t smallest_spread = uint64_t{1} << 20;
};

// How `string` and `bytes` columns are laid out: as offsets and data, or
// as views (where their data stays within what views address; others
// keep offsets).
enum class StringLayout : uint8_t { Offsets, Views };

// Reads `file`. `selected` holds one flag per column, or is empty for all
// columns; the values of the others are stepped over (their framing is
// still checked). The columns' large blocks come from `blocks` when given,
// else from malloc. With more than one of `threads` the columns are
// decoded on up to that many threads, whole columns each; the result is
// the same. Throws std::bad_alloc.
[[nodiscard]] ReadStatus read_table(std::span<const uint8_t> file,
                                    std::span<const uint8_t> selected, DecodedTable& table,
                                    common::BufferStorage* blocks = nullptr, ReadThreads threads = {},
                                    StringLayout strings = StringLayout::Offsets);

// What a file holds, without decoding values: the head, and per column the
// rows flagged invalid and the bytes its slices take.
struct FileSummary {
  FileHead head;
  std::vector<uint64_t> slice_rows;
  std::vector<uint64_t> invalid_counts;
  std::vector<uint64_t> column_bytes;
  uint64_t metadata_bytes = 0;  // the file header and the table metadata
};

// Checks the framing of every section and the "IsInvalid" flags, and
// steps over the values.
[[nodiscard]] ReadStatus summarize_file(std::span<const uint8_t> file, FileSummary& summary);

// The full check of `file`, keeping nothing.
[[nodiscard]] ReadStatus validate_file(std::span<const uint8_t> file);

// One table slice at a time; `file` must outlive the stream.
class SliceStream {
 public:
  explicit SliceStream(std::span<const uint8_t> file) noexcept : reader_(file) {}

  // Reads the file header and the metadata; call once, first.
  [[nodiscard]] ReadStatus open();
  [[nodiscard]] const FileHead& head() const noexcept { return head_; }
  // Bytes of the file read so far: those before are not looked at again.
  [[nodiscard]] uint64_t position() const noexcept { return reader_.offset(); }

  // Reads the next slice into `slice` (fresh), or sets `finished` at the
  // table end. Once finished or failed, the stream stays so.
  [[nodiscard]] ReadStatus next(std::span<const uint8_t> selected, DecodedSlices& slice,
                                bool& finished);

 private:
  FileReader reader_;
  FileHead head_;
  std::optional<ReadError> failed_;
  bool finished_ = false;
};

}  // namespace qarn
