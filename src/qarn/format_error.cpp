#include "qarn/format_error.hpp"

#include <string_view>

#include "qarn/sections.hpp"

namespace qarn {

namespace {

constexpr std::string_view text_of(FormatErrorKind kind) noexcept {
  switch (kind) {
#define QARN_FORMAT_ERROR_TEXT(name, number, text) \
  case FormatErrorKind::name:                      \
    return text;
    QARN_FORMAT_ERROR_KINDS(QARN_FORMAT_ERROR_TEXT)
#undef QARN_FORMAT_ERROR_TEXT
  }
  return "";
}

}  // namespace

std::string message(const FormatError& error) {
  std::string text(text_of(error.kind));
  switch (error.kind) {
    case FormatErrorKind::InvalidSectionId:
      return text + " " + std::to_string(error.first);
    case FormatErrorKind::WrongSectionId:
      return text + ", expected " + std::string(section_kind_name(error.first)) + ", got " +
             std::string(section_kind_name(error.second));
    case FormatErrorKind::UnsupportedVersion:
      return text + " " + std::to_string(error.first) + "." + std::to_string(error.second);
    default:
      return text;
  }
}

}  // namespace qarn
