#include "csv_input/csv_error.hpp"

namespace csv {

std::string message(const FieldUtf8Error& error) {
  return "invalid utf-8: invalid UTF-8 in field " + std::to_string(error.field) +
         " near byte index " + std::to_string(error.valid_up_to);
}

std::string message(const CsvError& error) {
  // "(line " has no colon while "field: " and "byte: " do; callers match on it.
  return "CSV parse error: record " + std::to_string(error.position.record) + " (line " +
         std::to_string(error.position.line) + ", field: " + std::to_string(error.utf8.field) +
         ", byte: " + std::to_string(error.position.byte) + "): " + message(error.utf8);
}

}  // namespace csv
