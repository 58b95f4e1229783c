#include "qarn/column_threads.hpp"

#include <algorithm>
#include <exception>

#include "common/spread.hpp"
#include "qarn/slice_targets.hpp"

namespace qarn {

namespace {

struct ShareRead {
  DecodedSlices record;  // the slices' rows, flags and properties; no columns
  ReadStatus status;
  std::exception_ptr thrown;
};

// The columns of `share`, read from the slices after the head; the others
// are stepped over.
void read_share(std::span<const uint8_t> file, const FileHead& head, uint64_t head_end,
                std::span<const uint8_t> share, std::vector<std::optional<DecodedColumn>>& columns,
                ShareRead& out) noexcept {
  try {
    FileReader reader(file, head_end);
    StoringTargets targets(share, columns);
    out.status = read_slices(reader, head, targets.targets(),
                             [&](uint64_t rows) { targets.keep_slice(out.record, rows); });
  } catch (...) {
    out.thrown = std::current_exception();
  }
}

// The shares' records as one. Every share reads which slices of each
// column have invalid flags, stored or not, but only its own columns' other
// properties. False when the shares saw different slices.
bool join_records(std::span<ShareRead> reads, DecodedSlices& slices) {
  for (const ShareRead& read : reads) {
    if (read.record.slice_rows != reads[0].record.slice_rows ||
        read.record.slice_has_invalid != reads[0].record.slice_has_invalid) {
      return false;
    }
  }
  slices.slice_rows = std::move(reads[0].record.slice_rows);
  slices.slice_has_invalid = std::move(reads[0].record.slice_has_invalid);
  for (ShareRead& read : reads) slices.slice_properties.merge(read.record.slice_properties);
  return true;
}

}  // namespace

std::vector<std::vector<uint8_t>> share_columns(std::span<const uint8_t> stored,
                                                std::span<const uint64_t> costs, unsigned threads) {
  std::vector<size_t> order;
  for (size_t c = 0; c < stored.size(); ++c) {
    if (stored[c] != 0) order.push_back(c);
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return costs[a] > costs[b]; });
  const size_t count = std::min<size_t>(threads, order.size());
  std::vector<std::vector<uint8_t>> shares(count, std::vector<uint8_t>(stored.size(), 0));
  std::vector<uint64_t> load(count, 0);
  for (size_t c : order) {
    const auto least = static_cast<size_t>(std::min_element(load.begin(), load.end()) - load.begin());
    shares[least][c] = 1;
    load[least] += costs[c];
  }
  return shares;
}

bool read_shares(std::span<const uint8_t> file, const FileHead& head, uint64_t head_end,
                 std::span<const std::vector<uint8_t>> shares, DecodedSlices& slices) {
  std::vector<ShareRead> reads(shares.size());
  common::run_spread(shares.size(),
                     [&](size_t k) { read_share(file, head, head_end, shares[k], slices.columns, reads[k]); });
  // A defect first: the calling thread reads the file again, and whether
  // it meets the defect before it runs out of memory is for it to say.
  if (std::any_of(reads.begin(), reads.end(), [](const ShareRead& read) { return read.status.has_value(); })) {
    return false;
  }
  for (const ShareRead& read : reads) {
    if (read.thrown) std::rethrow_exception(read.thrown);
  }
  return join_records(reads, slices);
}

}  // namespace qarn
