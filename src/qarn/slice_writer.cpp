#include "qarn/slice_writer.hpp"

#include <string_view>

#include "qarn/packed_length.hpp"
#include "qarn/property_names.hpp"

namespace qarn {

namespace {

// In element order: an element over the limit, else a running packed total
// over the limit. Only called when one of the two limits is exceeded.
FormatError first_packed_error(const Writer& writer, const ValueObject& values) {
  const FormatErrorKind too_long = values.type() == TypeId::String
                                       ? FormatErrorKind::StringTooLong
                                       : FormatErrorKind::BytesTooLong;
  std::optional<FormatError> error;
  uint64_t total = 0;
  values.var().for_each([&](std::span<const uint8_t> element) {
    if (error) return;
    if (!writer.fits_count(element.size())) {
      error = FormatError{too_long};
      return;
    }
    total += packed_length_size(element.size()) + element.size();
    if (!writer.fits_count(total)) error = FormatError{FormatErrorKind::TooManyValuesInArray};
  });
  return error.value_or(FormatError{FormatErrorKind::TooManyValuesInArray});
}

// The values of an object in packed form, after their count.
WriteStatus write_packed_values(Writer& writer, const ValueObject& values) {
  if (!is_variable_width(values.type())) {
    writer.out().append(values.fixed().bytes());
    return std::nullopt;
  }
  const VarValues& var = values.var();
  // The packed total is the size of the stored packed form.
  const uint64_t total = var.packed().size();
  if (!writer.fits_count(var.longest()) || !writer.fits_count(total)) {
    return first_packed_error(writer, values);
  }
  writer.write_count(total);
  writer.out().append(var.packed().bytes());
  return std::nullopt;
}

WriteStatus write_value_count(Writer& writer, const ValueObject& values) {
  const uint64_t count = values.is_single() ? 1 : values.size();
  if (!writer.fits_count(count)) return FormatError{FormatErrorKind::TooManyValuesInArray};
  writer.write_count(count);
  return std::nullopt;
}

WriteStatus write_plain(Writer& writer, const PlainArray& array) {
  writer.write_byte(static_cast<uint8_t>(EncodingId::Plain));
  writer.write_byte(type_id(array.values));
  if (auto err = write_value_count(writer, array.values)) return err;
  return write_packed_values(writer, array.values);
}

WriteStatus write_run_length(Writer& writer, const RunLengthArray& array) {
  writer.write_byte(static_cast<uint8_t>(EncodingId::RunLength));
  writer.write_byte(type_id(array.run_values));
  uint64_t represented = 0;
  for (const uint8_t run : array.run_bytes.bytes()) represented += uint64_t{run} + 1;
  if (!writer.fits_count(represented)) return FormatError{FormatErrorKind::TooManyValuesInArray};
  writer.write_count(represented);
  if (!writer.fits_count(array.run_bytes.size())) return FormatError{FormatErrorKind::BytesTooLong};
  writer.write_count(array.run_bytes.size());
  writer.out().append(array.run_bytes.bytes());
  if (auto err = write_value_count(writer, array.run_values)) return err;
  return write_packed_values(writer, array.run_values);
}

WriteStatus write_property(Writer& writer, std::string_view name, const EncodedArray& values) {
  if (auto err = writer.write_name(name)) return err;
  return write_encoded_array(writer, values);
}

}  // namespace

void BitArray::append_bits(uint64_t n, bool set_bits) {
  const uint64_t new_count = bit_count + n;
  const size_t new_bytes = static_cast<size_t>((new_count + 7) / 8);
  if (new_bytes > bytes.size()) bytes.fill(new_bytes - bytes.size(), 0);
  if (set_bits) {
    for (uint64_t i = bit_count; i < new_count; ++i) set(i);
  }
  bit_count = new_count;
}

BitArray pack_bits(std::span<const uint8_t> flags) {
  BitArray bits;
  bits.append_bits(flags.size(), false);
  for (size_t i = 0; i < flags.size(); ++i) {
    if (flags[i] != 0) bits.set(i);
  }
  return bits;
}

WriteStatus write_bit_array(Writer& writer, const BitArray& bits) {
  writer.write_byte(static_cast<uint8_t>(EncodingId::BitArray));
  writer.write_byte(static_cast<uint8_t>(TypeId::Bool));
  if (!writer.fits_count(bits.bit_count)) return FormatError{FormatErrorKind::BytesTooLong};
  writer.write_count(bits.bit_count);
  writer.out().append(bits.bytes.bytes());
  return std::nullopt;
}

WriteStatus write_encoded_array(Writer& writer, const EncodedArray& array) {
  struct Visitor {
    Writer& writer;
    WriteStatus operator()(const PlainArray& a) const { return write_plain(writer, a); }
    WriteStatus operator()(const RunLengthArray& a) const { return write_run_length(writer, a); }
    WriteStatus operator()(const BitArray& a) const { return write_bit_array(writer, a); }
  };
  return std::visit(Visitor{writer}, array);
}

WriteStatus write_column_slice(Writer& writer, const ColumnSlice& column) {
  writer.write_section_header(SectionId::ColumnSlice);
  if (auto err = write_encoded_array(writer, column.values)) return err;

  const uint64_t property_count = uint64_t{column.is_invalid.has_value()} +
                                  uint64_t{column.error_code.has_value()} +
                                  uint64_t{column.has_replaced_value.has_value()} +
                                  column.further_properties.size();
  if (!writer.fits_count(property_count)) return FormatError{FormatErrorKind::TooManyProperties};
  writer.write_count(property_count);

  if (column.is_invalid) {
    if (auto err = writer.write_name(property::kIsInvalid)) return err;
    if (auto err = write_bit_array(writer, *column.is_invalid)) return err;
  }
  if (column.error_code) {
    if (auto err = write_property(writer, property::kErrorCode, *column.error_code)) return err;
  }
  if (column.has_replaced_value) {
    if (auto err = writer.write_name(property::kHasReplacedValue)) return err;
    if (auto err = write_bit_array(writer, *column.has_replaced_value)) return err;
  }
  for (const ValueProperty& property : column.further_properties) {
    if (auto err = write_property(writer, property.name, property.values)) return err;
  }
  return std::nullopt;
}

WriteStatus write_table_slice(Writer& writer, std::span<const ColumnSlice> columns) {
  if (!writer.fits_count(columns.size())) return FormatError{FormatErrorKind::TooManyColumns};
  writer.write_count(columns.size());
  for (const ColumnSlice& column : columns) {
    if (auto err = write_column_slice(writer, column)) return err;
  }
  return std::nullopt;
}

}  // namespace qarn
