#include "csv_output/table_to_csv.hpp"

#include <charconv>
#include <cmath>
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

  void write(const CsvColumn& column, uint64_t row) {
    if (column.invalid != nullptr && column.invalid[row] != 0) {
      writer_.field({});
      return;
    }
    const uint8_t* fixed = column.fixed;
    switch (column.type) {
      case TypeId::Bool: return writer_.plain_field(fixed[row] ? "true" : "false");
      case TypeId::Int: return writer_.plain_field(decimal(buffer_, load<int32_t>(fixed + 4 * row)));
      case TypeId::Long: return writer_.plain_field(decimal(buffer_, load<int64_t>(fixed + 8 * row)));
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
  static std::string_view element(const CsvColumn& column, uint64_t row) {
    return column.offsets.element(column.data, row);
  }

  csv_output::CsvWriter& writer_;
  common::ByteBuffer& scratch_;
  char buffer_[64];
};

}  // namespace

void table_to_csv(std::span<const std::string_view> names, std::span<const CsvColumn> columns,
                  uint64_t rows, common::ByteBuffer& out) {
  // With no columns there is no header row either: the empty input.
  if (names.empty()) return;
  csv_output::CsvWriter writer(out, names.size());
  writer.first_field(names[0]);
  for (size_t c = 1; c < names.size(); ++c) writer.field(names[c]);
  writer.end_record();

  common::ByteBuffer scratch;
  CellWriter cells(writer, scratch);
  for (uint64_t row = 0; row < rows; ++row) {
    for (const CsvColumn& column : columns) cells.write(column, row);
    writer.end_record();
  }
}

}  // namespace csv_output
