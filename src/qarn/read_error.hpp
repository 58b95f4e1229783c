// Why a file could not be read: one of the format's error kinds and the
// offset of the first byte of the item where the defect was found.
#pragma once

#include <cstdint>
#include <string>

#include "qarn/format_error.hpp"

namespace qarn {

struct ReadError {
  FormatError error;
  uint64_t offset = 0;

  friend bool operator==(const ReadError&, const ReadError&) = default;
};

// Success, or the first defect met in reading order.
using ReadStatus = common::Status<ReadError>;

inline constexpr char kReadErrorPrefix[] = "QARN read error: ";

// "QARN read error: " + the kind's text + " at byte " + the offset.
std::string read_message(const ReadError& error);

inline ReadError read_error(FormatErrorKind kind, uint64_t offset) {
  return ReadError{FormatError{kind}, offset};
}

}  // namespace qarn
