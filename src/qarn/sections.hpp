// Section kinds and the three-byte section header that opens each section.
#pragma once

#include <cstdint>
#include <string_view>

namespace qarn {

enum class SectionId : uint8_t {
  FileHeader = 0x01,
  TableMetadata = 0x02,
  TableSlice = 0x03,
  ColumnSlice = 0x04,
  TableEnd = 0x05,
};

// The magic number 0x7C4E, little-endian.
inline constexpr uint8_t kMagicLow = 0x4E;
inline constexpr uint8_t kMagicHigh = 0x7C;

inline constexpr uint8_t kFormatMajorVersion = 1;
inline constexpr uint8_t kFormatMinorVersion = 0;

constexpr bool is_section_id(uint8_t byte) noexcept {
  return byte >= static_cast<uint8_t>(SectionId::FileHeader) && byte <= static_cast<uint8_t>(SectionId::TableEnd);
}

// Name of a section kind by its id, as the error texts spell it; empty for an
// id that names no section.
constexpr std::string_view section_kind_name(uint8_t id) {
  switch (id) {
    case 0x01: return "FileHeader";
    case 0x02: return "TableMetadata";
    case 0x03: return "TableSlice";
    case 0x04: return "ColumnSlice";
    case 0x05: return "TableEnd";
    default: return "";
  }
}

}  // namespace qarn
