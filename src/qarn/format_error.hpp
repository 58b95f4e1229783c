// The format's error vocabulary: every kind of error that writing or reading
// a QARN file can meet, each with its text. A fallible writer operation
// returns a WriteStatus, success or one FormatError; the reader adds where
// it met the error (read_error.hpp).
#pragma once

#include <cstdint>
#include <string>

#include "common/result.hpp"

namespace qarn {

// Each kind: its name, its number (one byte in the format's vocabulary,
// from 0 without a gap), its text, and when it arises. Three kinds carry a
// payload that message() writes after the text: InvalidSectionId the id,
// WrongSectionId the expected and found section kinds (ids 1 to 5 both),
// UnsupportedVersion the major and minor version.
#define QARN_FORMAT_ERROR_KINDS(X)                                                                    \
  X(InvalidBytes, 0, "invalid bytes")                 /* a bytes value that cannot be read */         \
  X(InvalidInt, 1, "invalid int")                     /* an int value that cannot be read */          \
  X(InvalidLong, 2, "invalid long")                   /* a long value that cannot be read */          \
  X(InvalidFloat, 3, "invalid float")                 /* a float value that cannot be read */         \
  X(InvalidDouble, 4, "invalid double")               /* a double value that cannot be read */        \
  X(InvalidString, 5, "invalid string")               /* a string or a name that is not UTF-8 */      \
  X(InvalidBool, 6, "invalid bool")                   /* a bool byte other than 0 and 1 */            \
  X(InvalidSectionId, 7, "invalid section id")        /* a section id that names no section */        \
  X(WrongSectionId, 8, "wrong section id")            /* another section than the one due */          \
  X(MagicNumberMismatch, 9, "magic number mismatch")  /* a section not opened by 4E 7C */             \
  X(UnsupportedVersion, 10, "unsupported version")    /* a file version other than 1.0 */             \
  X(InvalidSize, 11, "invalid size")                  /* a count or size the bytes do not hold */     \
  /* MetadataValueArrayLength: a metadata value of several elements */                                \
  X(MetadataValueArrayLength, 12, "metadata value array length must be zero or one")                  \
  X(InvalidValueType, 13, "invalid value type")       /* values of another type than due */           \
  X(UnknownTypeId, 14, "unknown type id")             /* a type id byte that names no type */         \
  X(InvalidObject, 15, "invalid object")              /* a value object that cannot be read */        \
  X(InvalidMetadata, 16, "invalid metadata")          /* a bad flag; a column without name or type */ \
  X(ColumnCountMismatch, 17, "column count mismatch") /* a count of columns that differs */           \
  X(InvalidEncoding, 18, "invalid encoding")          /* an encoding id other than 1, 2 and 3 */      \
  X(StringTooLong, 19, "string too long")             /* a name or string over the limit */           \
  X(BytesTooLong, 20, "bytes too long")               /* bytes, bits or run bytes over the limit */   \
  X(TooManyColumns, 21, "too many columns")           /* more columns than the limit */               \
  X(TooManyMetadata, 22, "too many metadata")         /* more properties or definitions */            \
  X(TooManyProperties, 23, "too many properties")     /* more value properties than the limit */      \
  /* TooManyValuesInArray: more values or packed bytes */                                             \
  X(TooManyValuesInArray, 24, "too many values in array")                                             \
  /* InvalidRunLengthEncodedObject: runs that do not add up to the count */                           \
  X(InvalidRunLengthEncodedObject, 25, "invalid run-length encoded object")

enum class FormatErrorKind : uint8_t {
#define QARN_FORMAT_ERROR_ENUM(name, number, text) name = number,
  QARN_FORMAT_ERROR_KINDS(QARN_FORMAT_ERROR_ENUM)
#undef QARN_FORMAT_ERROR_ENUM
};

struct FormatError {
  FormatErrorKind kind;
  uint8_t first = 0;   // section id, expected section id or major version
  uint8_t second = 0;  // found section id or minor version

  friend bool operator==(const FormatError&, const FormatError&) = default;
};

// Success, or the first error met.
using WriteStatus = common::Status<FormatError>;

// The error's text, with payloads in decimal or as section kind names.
std::string message(const FormatError& error);

}  // namespace qarn
