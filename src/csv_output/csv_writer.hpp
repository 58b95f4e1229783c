// Writes records in a dialect the reader takes (by default the comma one):
// fields between delimiters, records ended by LF, a field quoted (a quote
// inside doubled) only where a bare field would read differently.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <string_view>

#include "common/byte_buffer.hpp"
#include "csv_input/dialect.hpp"

namespace csv_output {

// The dialect's structural bytes, each in every lane of a vector, made once
// per writer rather than once per field.
struct SpecialBytes {
  explicit SpecialBytes(const csv::Dialect& dialect) noexcept;
  csv::Dialect dialect;
  __m128i delimiter, quote, carriage_return, line_feed;
};

// Whether `text` holds one of the structural bytes.
bool has_special_bytes(std::string_view text, const SpecialBytes& special) noexcept;

class CsvWriter {
 public:
  CsvWriter(common::ByteBuffer& out, size_t column_count, const csv::Dialect& dialect = {}) noexcept
      : out_(out), column_count_(column_count), special_(dialect) {}

  // A field of any text, quoted where it must be.
  void field(std::string_view text);

  // A field known to need no quotes (numbers and words), never empty.
  void plain_field(std::string_view text) {
    separate();
    out_.append(text);
  }

  // The first field of the input, where a leading byte-order mark would be
  // taken for the start of the input and dropped.
  void first_field(std::string_view text);

  void end_record() {
    out_.push_back(special_.dialect.line_feed);
    at_record_start_ = true;
  }

 private:
  void separate() {
    if (!at_record_start_) out_.push_back(special_.dialect.delimiter);
    at_record_start_ = false;
  }
  void quoted(std::string_view text);

  common::ByteBuffer& out_;
  size_t column_count_;
  SpecialBytes special_;
  bool at_record_start_ = true;
};

}  // namespace csv_output
