// TableSlice and ColumnSlice sections: rows stored column by column as
// encoded value arrays, each followed by its value properties.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "qarn/array_encoding.hpp"
#include "qarn/writer.hpp"
#include "qarn/value.hpp"

namespace qarn {

// Plain encoding: the values as they are.
struct PlainArray {
  ValueObject values;
};

// Run-length encoding: run byte r stands for r + 1 repetitions of the value
// at the same position.
struct RunLengthArray {
  ValueObject run_values;
  ByteBuffer run_bytes;
};

// Bits packed most significant first; the value type is always `bool`.
struct BitArray {
  ByteBuffer bytes;
  uint64_t bit_count = 0;

  // Appends `n` flags of value `set`.
  void append_bits(uint64_t n, bool set);
  // Sets the already appended bit `index`.
  void set(uint64_t index) noexcept {
    bytes.data()[index >> 3] |= static_cast<uint8_t>(0x80u >> (index & 7));
  }
  void clear() noexcept {
    bytes.clear();
    bit_count = 0;
  }
};

using EncodedArray = std::variant<PlainArray, RunLengthArray, BitArray>;

struct ValueProperty {
  std::string name;
  EncodedArray values;
};

struct ColumnSlice {
  EncodedArray values = BitArray{};
  std::optional<BitArray> is_invalid;
  std::optional<EncodedArray> error_code;
  std::optional<BitArray> has_replaced_value;
  std::vector<ValueProperty> further_properties;
};

// Builds a bit array from flags that are each 0 or 1.
BitArray pack_bits(std::span<const uint8_t> flags);

[[nodiscard]] WriteStatus write_bit_array(Writer& writer, const BitArray& bits);
[[nodiscard]] WriteStatus write_encoded_array(Writer& writer, const EncodedArray& array);
// One ColumnSlice section, header included.
[[nodiscard]] WriteStatus write_column_slice(Writer& writer, const ColumnSlice& column);
// The TableSlice section body with all its column slices; the caller has
// written the TableSlice section header.
[[nodiscard]] WriteStatus write_table_slice(Writer& writer, std::span<const ColumnSlice> columns);

}  // namespace qarn
