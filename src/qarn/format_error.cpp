#include "qarn/format_error.hpp"

#include <array>
#include <string_view>

#include "qarn/sections.hpp"

namespace qarn {

namespace {

constexpr std::array<std::string_view, kFormatErrorKindCount> kFixedTexts = {
    "invalid bytes",
    "invalid int",
    "invalid long",
    "invalid float",
    "invalid double",
    "invalid string",
    "invalid bool",
    "",  // InvalidSectionId carries a payload
    "",  // WrongSectionId carries a payload
    "magic number mismatch",
    "",  // UnsupportedVersion carries a payload
    "invalid size",
    "metadata value array length must be zero or one",
    "invalid value type",
    "unknown type id",
    "invalid object",
    "invalid metadata",
    "column count mismatch",
    "invalid encoding",
    "string too long",
    "bytes too long",
    "too many columns",
    "too many metadata",
    "too many properties",
    "too many values in array",
    "invalid run-length encoded object",
};

}  // namespace

std::string message(const FormatError& error) {
  switch (error.kind) {
    case FormatErrorKind::InvalidSectionId:
      return "invalid section id " + std::to_string(error.first);
    case FormatErrorKind::WrongSectionId:
      return std::string("wrong section id, expected ") +
             std::string(section_kind_name(error.first)) + ", got " +
             std::string(section_kind_name(error.second));
    case FormatErrorKind::UnsupportedVersion:
      return "unsupported version " + std::to_string(error.first) + "." +
             std::to_string(error.second);
    default:
      return std::string(kFixedTexts[static_cast<size_t>(error.kind)]);
  }
}

}  // namespace qarn
