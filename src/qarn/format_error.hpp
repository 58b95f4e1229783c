// The format's error vocabulary: every fallible writer operation returns
// std::nullopt on success or one FormatError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qarn {

enum class FormatErrorKind : uint8_t {
  InvalidBytes = 0,
  InvalidInt = 1,
  InvalidLong = 2,
  InvalidFloat = 3,
  InvalidDouble = 4,
  InvalidString = 5,
  InvalidBool = 6,
  InvalidSectionId = 7,          // payload: the section id byte
  WrongSectionId = 8,            // payload: expected and found section ids (1 to 5)
  MagicNumberMismatch = 9,
  UnsupportedVersion = 10,       // payload: major and minor version
  InvalidSize = 11,
  MetadataValueArrayLength = 12,
  InvalidValueType = 13,
  UnknownTypeId = 14,
  InvalidObject = 15,
  InvalidMetadata = 16,
  ColumnCountMismatch = 17,
  InvalidEncoding = 18,
  StringTooLong = 19,
  BytesTooLong = 20,
  TooManyColumns = 21,
  TooManyMetadata = 22,
  TooManyProperties = 23,
  TooManyValuesInArray = 24,
  InvalidRunLengthEncodedObject = 25,
};

inline constexpr int kFormatErrorKindCount = 26;

struct FormatError {
  FormatErrorKind kind;
  uint8_t first = 0;   // section id, expected section id or major version
  uint8_t second = 0;  // found section id or minor version

  friend bool operator==(const FormatError&, const FormatError&) = default;
};

// Success is std::nullopt; this reads well as `if (auto err = write_x(...)) return err;`.
using WriteStatus = std::optional<FormatError>;

// The error's text, with payloads in decimal or as section kind names.
std::string message(const FormatError& error);

}  // namespace qarn
