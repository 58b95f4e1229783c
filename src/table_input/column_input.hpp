// A column handed over in the layouts Arrow and numpy keep in memory: what
// its buffers hold, and its rows as pieces of such buffers (an Arrow
// column comes in chunks; a table slice may take rows from several).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "qarn/value.hpp"

namespace table_input {

// What one element of a piece's buffers is. The numbers are what the
// Python side passes.
enum class SourceKind : uint8_t {
  BoolBytes = 0,  // one byte per value, nonzero for true (numpy)
  BoolBits,       // one bit per value, the first in the lowest bit (Arrow)
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float32,
  Float64,
  String32,  // UTF-8 elements: 32-bit offsets into the data, one more than rows
  String64,  // the same with 64-bit offsets
  Binary32,
  Binary64,
  Date32,  // days since 1970-01-01 in 32 bits (Arrow)
  Date64,  // the same in 64 bits (numpy's datetime64[D])
  TimestampS,  // 64-bit counts of the unit since 1970-01-01T00:00
  TimestampMs,
  TimestampUs,
  TimestampNs,
};

inline constexpr uint8_t kSourceKindCount = static_cast<uint8_t>(SourceKind::TimestampNs) + 1;

// Rows [offset, offset + length) of a set of buffers.
struct Piece {
  uint64_t offset = 0;
  uint64_t length = 0;
  std::span<const uint8_t> validity;  // Arrow's bits, 1 for a value; empty: every row has one
  std::span<const uint8_t> values;    // the fixed-width values, the bits, or the offsets
  std::span<const uint8_t> data;      // the elements' bytes of strings and binary
};

struct ColumnInput {
  SourceKind kind = SourceKind::Int64;
  bool utc = false;  // timestamps: instants in UTC rather than wall times without a zone
  std::vector<Piece> pieces;

  [[nodiscard]] uint64_t rows() const noexcept {
    uint64_t total = 0;
    for (const Piece& piece : pieces) total += piece.length;
    return total;
  }
};

// The value type the column is stored as.
qarn::TypeId storage_type(SourceKind kind) noexcept;

// Its "LogicalType" property, as the converter writes it for dates and
// timestamps; empty for the others.
std::string_view logical_type(SourceKind kind, bool utc) noexcept;

constexpr bool is_variable(SourceKind kind) noexcept {
  return kind >= SourceKind::String32 && kind <= SourceKind::Binary64;
}

constexpr bool has_wide_offsets(SourceKind kind) noexcept {
  return kind == SourceKind::String64 || kind == SourceKind::Binary64;
}

// Bytes per element of the `values` buffer of a fixed-width kind (0 for bits
// and for the variable kinds).
size_t source_width(SourceKind kind) noexcept;

}  // namespace table_input
