// Writes records in a dialect the reader takes (by default the comma one):
// fields between delimiters, each record ended by the writer's line end, a
// field protected only where a bare field would read differently. Quoting
// dialects quote such a field (a quote inside doubled, or escaped when
// quotes are not doubled; an escape inside escaped); dialects without
// quoting put the escape before each delimiter, line end and escape.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/byte_buffer.hpp"
#include "csv_input/dialect.hpp"

namespace csv_output {

// The dialect's structural bytes, each in every lane of a vector, made once
// per writer rather than once per field. A byte the dialect does not use
// (the quote without quoting, the escape without escaping) stands in as the
// delimiter, which the scan looks for anyway.
struct SpecialBytes {
  explicit SpecialBytes(const csv::Dialect& dialect) noexcept;
  csv::Dialect dialect;
  uint8_t quote_byte, escape_byte;
  __m128i delimiter, quote, escape, carriage_return, line_feed;
};

// Whether `text` holds one of the structural bytes.
bool has_special_bytes(std::string_view text, const SpecialBytes& special) noexcept;

// Why a field could not be written so that it reads back as it is.
enum class FieldProblem : uint8_t {
  None,
  NeedsEscape,       // a delimiter or line end, with neither quoting nor an escape
  QuoteNeedsEscape,  // a quote, with quotes neither doubled nor escaped
  BlankLine,         // the lone field of a record is empty, and cannot be quoted
  ByteOrderMark,     // the input starts with U+FEFF, and it can be neither quoted nor escaped
};

// The line ends a writer may put after each record.
inline bool is_line_end(std::string_view text) noexcept {
  return text == "\n" || text == "\r\n" || text == "\r";
}

class CsvWriter {
 public:
  // `line_end` is one of is_line_end's.
  CsvWriter(common::ByteBuffer& out, size_t column_count, const csv::Dialect& dialect = {},
            std::string_view line_end = "\n") noexcept;

  // A field of any text, protected where it must be.
  void field(std::string_view text);

  // A field of a number or a word, never empty: written as it is, unless
  // the dialect gives one of its characters a meaning.
  void plain_field(std::string_view text) {
    if (!plain_is_safe_) [[unlikely]] {
      field(text);
      return;
    }
    separate();
    out_.append(text);
  }

  // The first field of the input, where a leading byte-order mark would be
  // taken for the start of the input and dropped.
  void first_field(std::string_view text);

  void end_record() {
    out_.push_back(line_end_[0]);
    if (line_end_size_ == 2) out_.push_back(line_end_[1]);
    at_record_start_ = true;
  }

  // The first field that could not be written since the writer was made
  // (the text written for it is not to be used), or None.
  [[nodiscard]] FieldProblem problem() const noexcept { return problem_; }

 private:
  void separate() {
    if (!at_record_start_) out_.push_back(special_.dialect.delimiter);
    at_record_start_ = false;
  }
  // A field that cannot be written bare; `leading_mark` when it is the
  // input's first and starts with a byte-order mark.
  void protect(std::string_view text, bool leading_mark);
  void quoted(std::string_view text);
  void quoted_with_escapes(std::string_view text);
  void escaped(std::string_view text, bool leading_mark);
  void fail(FieldProblem problem) noexcept {
    if (problem_ == FieldProblem::None) problem_ = problem;
  }

  common::ByteBuffer& out_;
  size_t column_count_;
  SpecialBytes special_;
  uint8_t line_end_[2];
  uint8_t line_end_size_;
  bool plain_is_safe_;  // no structural byte of the dialect can occur in a number or a word
  bool at_record_start_ = true;
  FieldProblem problem_ = FieldProblem::None;
};

}  // namespace csv_output
