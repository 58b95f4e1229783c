// Reading one encoded value array (plain, run-length or bit array) of a
// column slice, checked as strictly as it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/load.hpp"
#include "qarn/array_encoding.hpp"
#include "qarn/cursor.hpp"
#include "qarn/decoded_values.hpp"

namespace qarn {

// The most bytes a string or bytes element's copy writes past its end: the
// data it is decoded into needs this much room beyond its elements.
inline constexpr size_t kElementCopy = 2 * common::kWideCopy;

// What becomes of an array's values: decoded into a column, checked and
// dropped, or stepped over with only the framing checked.
enum class ValueMode : uint8_t { Store, Check, Skip };

struct ArrayExpectation {
  std::optional<TypeId> type;      // the type the values must have
  std::optional<uint64_t> count;   // the number of values they must represent
};

struct ArrayHeader {
  uint64_t offset = 0;  // of the encoding byte
  EncodingId encoding = EncodingId::Plain;
  TypeId type = TypeId::Bool;
  uint64_t count = 0;   // values represented

  // Where the count stands: after the encoding and the type.
  [[nodiscard]] uint64_t count_offset() const noexcept { return offset + 2; }
};

// Reads an array in two steps, so that a caller that does not know the type
// beforehand can make the column between them. The header step reads the
// encoding, the type and the number of values represented, and checks them
// against `expect`.
[[nodiscard]] ReadStatus read_array_header(Cursor& cursor, const ArrayExpectation& expect,
                                           ArrayHeader& header);

// The rest of the array. With ValueMode::Store the values are appended to
// `out`, a column of the header's type; with ValueMode::Check `out` (of the
// same type) is scratch space that may be cleared; with ValueMode::Skip it
// may be null.
[[nodiscard]] ReadStatus read_array_values(Cursor& cursor, const ArrayHeader& header,
                                           ValueMode mode, ValueColumn* out);

// The type id byte at `offset`, or unknown type id when it names no type.
[[nodiscard]] ReadStatus to_type_id(uint8_t byte, uint64_t offset, TypeId& type) noexcept;

}  // namespace qarn
