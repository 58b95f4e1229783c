// Where a record lies in the input, and the one error the reader raises:
// a record that is not valid UTF-8.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.hpp"

namespace csv {

using common::Result;

struct RecordPosition {
  uint64_t byte = 0;    // input bytes consumed when the read of the record began
  uint64_t line = 1;    // 1 + LF bytes consumed by then
  uint64_t record = 0;  // records completed by then; the header row is record 0

  friend bool operator==(const RecordPosition&, const RecordPosition&) = default;
};

struct FieldUtf8Error {
  uint64_t field = 0;        // zero-based index of the first invalid field
  uint64_t valid_up_to = 0;  // length of that field's longest valid UTF-8 prefix

  friend bool operator==(const FieldUtf8Error&, const FieldUtf8Error&) = default;
};

// The reader's only error kind, InvalidUtf8.
struct CsvError {
  RecordPosition position;
  FieldUtf8Error utf8;

  friend bool operator==(const CsvError&, const CsvError&) = default;
};

// "invalid utf-8: invalid UTF-8 in field F near byte index V"
std::string message(const FieldUtf8Error& error);
// "CSV parse error: record R (line L, field: F, byte: B): " and the field's text.
std::string message(const CsvError& error);

}  // namespace csv
