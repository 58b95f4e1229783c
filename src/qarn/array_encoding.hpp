// How a value array is encoded, by the id byte that opens it.
#pragma once

#include <cstdint>

namespace qarn {

enum class EncodingId : uint8_t {
  Plain = 0x01,      // the values one after another
  RunLength = 0x02,  // run bytes, then one value per run: run byte r stands for r + 1 values
  BitArray = 0x03,   // bools packed eight to a byte, the first most significant
};

constexpr bool is_encoding_id(uint8_t byte) noexcept {
  return byte >= static_cast<uint8_t>(EncodingId::Plain) && byte <= static_cast<uint8_t>(EncodingId::BitArray);
}

}  // namespace qarn
