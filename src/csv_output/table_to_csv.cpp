#include "csv_output/table_to_csv.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "common/load.hpp"
#include "csv_output/csv_writer.hpp"
#include "csv_output/float_text.hpp"

namespace csv_output {

namespace {

using qarn::TypeId;

using common::load;

template <class T>
std::string_view decimal(char* buffer, T value) {
  const auto result = std::to_chars(buffer, buffer + 32, value);
  return {buffer, static_cast<size_t>(result.ptr - buffer)};
}

// Text that reads back to the same bits, always with a point or an
// exponent, so that a column of whole numbers stays a column of doubles;
// the special values in the words the converter reads.
template <class Float>
std::string_view floating(char* buffer, Float value) {
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  return float_text(buffer, value);
}

std::string_view hexadecimal(char* buffer, const uint8_t* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < size; ++i) {
    buffer[2 * i] = kDigits[bytes[i] >> 4];
    buffer[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return {buffer, 2 * size};
}

class CellWriter {
 public:
  CellWriter(csv_output::CsvWriter& writer, common::ByteBuffer& scratch)
      : writer_(writer), scratch_(scratch) {}

  // A cell that is the first field of the input.
  void write_first(const CsvColumn& column, uint64_t row) {
    const bool valid = column.invalid == nullptr || column.invalid[row] == 0;
    if (column.type == TypeId::String && valid) return writer_.first_field(element(column, row));
    write(column, row);  // numbers and hexadecimal never start with a byte-order mark
  }

  void write(const CsvColumn& column, uint64_t row) {
    if (column.invalid != nullptr && column.invalid[row] != 0) {
      writer_.field({});
      return;
    }
    const uint8_t* fixed = column.fixed;
    switch (column.type) {
      case TypeId::Bool: return writer_.plain_field(fixed[row] ? "true" : "false");
      case TypeId::Int: return writer_.plain_field(decimal(buffer_, load<int32_t>(fixed + 4 * row)));
      case TypeId::Long: return writer_.plain_field(long_text(column.calendar, load<int64_t>(fixed + 8 * row)));
      case TypeId::Float: return writer_.plain_field(floating(buffer_, load<float>(fixed + 4 * row)));
      case TypeId::Double:
        return writer_.plain_field(floating(buffer_, load<double>(fixed + 8 * row)));
      case TypeId::Unnamed06:
      case TypeId::Unnamed07:
      case TypeId::Unnamed08:
      case TypeId::Unnamed09:
        return writer_.plain_field(decimal(buffer_, load<uint64_t>(fixed + 8 * row)));
      case TypeId::Unnamed0D: return writer_.field(hexadecimal(buffer_, fixed + 16 * row, 16));
      case TypeId::String: return writer_.field(element(column, row));
      case TypeId::Bytes: {
        const std::string_view bytes = element(column, row);
        scratch_.clear();
        char* text = reinterpret_cast<char*>(scratch_.extend(2 * bytes.size()));
        return writer_.field(
            hexadecimal(text, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
      }
    }
  }

 private:
  // A date or timestamp as ISO text, or the integer when no text names it.
  std::string_view long_text(Calendar calendar, int64_t value) {
    std::string_view text;
    switch (calendar) {
      case Calendar::None: break;
      case Calendar::Date: text = date_text(buffer_, value); break;
      case Calendar::Timestamp: text = timestamp_text(buffer_, value, false); break;
      case Calendar::TimestampUtc: text = timestamp_text(buffer_, value, true); break;
    }
    return text.empty() ? decimal(buffer_, value) : text;
  }

  static std::string_view element(const CsvColumn& column, uint64_t row) {
    return column.offsets.element(column.data, row);
  }

  csv_output::CsvWriter& writer_;
  common::ByteBuffer& scratch_;
  char buffer_[64];
};

std::string_view reason(FieldProblem problem) {
  switch (problem) {
    case FieldProblem::None: break;
    case FieldProblem::NeedsEscape:
      return "it holds the delimiter, CR or LF, which needs a quotechar or an escapechar";
    case FieldProblem::QuoteNeedsEscape:
      return "it holds the quotechar, which needs doublequote or an escapechar";
    case FieldProblem::BlankLine:
      return "it is empty and alone in its record, a blank line unless quoted, and there is no quotechar";
    case FieldProblem::ByteOrderMark:
      return "it starts the text with U+FEFF, read as a byte-order mark unless quoted or escaped, "
             "and there is neither a quotechar nor an escapechar";
  }
  return "it cannot be written";
}

// Writes one record's fields again, `write_field(writer, c)` for each, into
// a writer of its own: the position of the first that fails.
template <class WriteField>
size_t failing_column(size_t count, const CsvLayout& layout, WriteField write_field) {
  common::ByteBuffer scratch;
  CsvWriter probe(scratch, count, layout.dialect, layout.line_end);
  for (size_t c = 0; c < count; ++c) {
    write_field(probe, c);
    if (probe.problem() != FieldProblem::None) return c;
  }
  return 0;
}

std::string cell_problem(std::string_view what, size_t column, std::string_view name, FieldProblem problem) {
  std::string message = "cannot write ";
  message.append(what).append(" of column ").append(std::to_string(column)).append(" ('");
  message.append(name).append("'): ").append(reason(problem));
  return message;
}

}  // namespace

std::optional<std::string> table_to_csv(std::span<const std::string_view> names,
                                        std::span<const CsvColumn> columns, uint64_t rows,
                                        common::ByteBuffer& out, const CsvLayout& layout) {
  // With no columns there is no header row either: the empty input.
  if (names.empty()) return std::nullopt;
  CsvWriter writer(out, names.size(), layout.dialect, layout.line_end);
  if (layout.header) {
    writer.first_field(names[0]);
    for (size_t c = 1; c < names.size(); ++c) writer.field(names[c]);
    writer.end_record();
    if (writer.problem() != FieldProblem::None) [[unlikely]] {
      const size_t column = failing_column(names.size(), layout, [&](CsvWriter& probe, size_t c) {
        c == 0 ? probe.first_field(names[c]) : probe.field(names[c]);
      });
      return cell_problem("the name", column, names[column], writer.problem());
    }
  }

  // Where a row failed: which of its cells, written again one by one.
  const auto row_problem = [&](uint64_t row, bool input_start) {
    const size_t column = failing_column(columns.size(), layout, [&](CsvWriter& probe, size_t c) {
      common::ByteBuffer probe_scratch;
      CellWriter probe_cells(probe, probe_scratch);
      input_start && c == 0 ? probe_cells.write_first(columns[c], row) : probe_cells.write(columns[c], row);
    });
    return cell_problem("row " + std::to_string(row), column, names[column], writer.problem());
  };

  common::ByteBuffer scratch;
  CellWriter cells(writer, scratch);
  uint64_t row = 0;
  if (!layout.header && rows > 0) {
    // Without the header row, the first row's first cell starts the input.
    cells.write_first(columns[0], 0);
    for (size_t c = 1; c < columns.size(); ++c) cells.write(columns[c], 0);
    writer.end_record();
    if (writer.problem() != FieldProblem::None) [[unlikely]] return row_problem(0, true);
    row = 1;
  }
  for (; row < rows; ++row) {
    for (const CsvColumn& column : columns) cells.write(column, row);
    writer.end_record();
    if (writer.problem() != FieldProblem::None) [[unlikely]] return row_problem(row, false);
  }
  return std::nullopt;
}

}  // namespace csv_output
