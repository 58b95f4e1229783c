// Writes records in the dialect the reader takes: comma separated, LF line
// ends, a field quoted (a quote inside doubled) only where a bare field
// would read differently.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/byte_buffer.hpp"

namespace csv_output {

// Whether `text` holds a comma, a quote, CR or LF.
bool has_special_bytes(std::string_view text) noexcept;

class CsvWriter {
 public:
  CsvWriter(common::ByteBuffer& out, size_t column_count) noexcept
      : out_(out), column_count_(column_count) {}

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
    out_.push_back('\n');
    at_record_start_ = true;
  }

 private:
  void separate() {
    if (!at_record_start_) out_.push_back(',');
    at_record_start_ = false;
  }
  void quoted(std::string_view text);

  common::ByteBuffer& out_;
  size_t column_count_;
  bool at_record_start_ = true;
};

}  // namespace csv_output
