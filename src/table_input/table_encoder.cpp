#include "table_input/table_encoder.hpp"

#include <cstring>
#include <limits>
#include <optional>

#include "common/load.hpp"
#include "common/utf8.hpp"
#include "fields/column_type.hpp"
#include "qarn/array_encoding.hpp"
#include "qarn/metadata_writer.hpp"
#include "qarn/packed_length.hpp"
#include "qarn/property_names.hpp"
#include "qarn/sections.hpp"

namespace table_input {

namespace {

// Days from 1970-01-01 to 0001-01-01, and to 10000-01-01: what a QARN
// date or timestamp holds lies between them.
constexpr int64_t kFirstDay = -719162;
constexpr int64_t kDayAfterLast = 2932897;
constexpr int64_t kSecondsPerDay = 86400;

template <class T>
T load(std::span<const uint8_t> buffer, uint64_t index) noexcept {
  T value;
  std::memcpy(&value, buffer.data() + index * sizeof(T), sizeof(T));
  return value;
}

template <class T>
void store(uint8_t* dst, T value) noexcept {
  std::memcpy(dst, &value, sizeof(T));
}

bool bit(std::span<const uint8_t> bits, uint64_t index) noexcept {
  return ((bits[index >> 3] >> (index & 7)) & 1) != 0;
}

// Whether `count` items of `width` bytes (bits when `width` is 0) from
// item `offset` on lie within `size` bytes, without overflowing.
bool fits(uint64_t offset, uint64_t count, size_t width, size_t size) noexcept {
  uint64_t end = 0;
  if (__builtin_add_overflow(offset, count, &end)) return false;
  if (width == 0) return end / 8 + (end % 8 != 0 ? 1 : 0) <= size;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(end, uint64_t{width}, &bytes)) return false;
  return bytes <= size;
}

bool piece_fits(SourceKind kind, const Piece& piece) noexcept {
  if (!piece.validity.empty() && !fits(piece.offset, piece.length, 0, piece.validity.size())) return false;
  if (piece.length == 0) return true;
  if (is_variable(kind)) {
    const size_t width = has_wide_offsets(kind) ? 8 : 4;
    return fits(piece.offset, piece.length + 1, width, piece.values.size());
  }
  if (kind == SourceKind::BoolBits) return fits(piece.offset, piece.length, 0, piece.values.size());
  return fits(piece.offset, piece.length, source_width(kind), piece.values.size());
}

// A date or time within the years 0001 to 9999, counted in units of which
// there are `per_day` to a day.
bool within_years(int64_t value, int64_t per_day) noexcept {
  return value >= kFirstDay * per_day && value < kDayAfterLast * per_day;
}

// One value of a piece as it is stored; false with `error` set when it
// cannot be. `Out` is the stored type.
template <SourceKind Kind>
struct Convert;

#define QARN_WIDEN(KIND, IN, OUT)                                       \
  template <>                                                           \
  struct Convert<SourceKind::KIND> {                                    \
    using Out = OUT;                                                    \
    static bool apply(const Piece& p, uint64_t i, Out& out, InputError&) noexcept { \
      out = static_cast<Out>(load<IN>(p.values, i));                    \
      return true;                                                      \
    }                                                                   \
  };
QARN_WIDEN(Int8, int8_t, int32_t)
QARN_WIDEN(Int16, int16_t, int32_t)
QARN_WIDEN(Int32, int32_t, int32_t)
QARN_WIDEN(Int64, int64_t, int64_t)
QARN_WIDEN(UInt8, uint8_t, int32_t)
QARN_WIDEN(UInt16, uint16_t, int32_t)
QARN_WIDEN(UInt32, uint32_t, int64_t)
QARN_WIDEN(Float32, float, float)
QARN_WIDEN(Float64, double, double)
#undef QARN_WIDEN

template <>
struct Convert<SourceKind::BoolBytes> {
  using Out = uint8_t;
  static bool apply(const Piece& p, uint64_t i, Out& out, InputError&) noexcept {
    out = p.values[i] != 0 ? 1 : 0;
    return true;
  }
};

template <>
struct Convert<SourceKind::BoolBits> {
  using Out = uint8_t;
  static bool apply(const Piece& p, uint64_t i, Out& out, InputError&) noexcept {
    out = bit(p.values, i) ? 1 : 0;
    return true;
  }
};

template <>
struct Convert<SourceKind::UInt64> {
  using Out = int64_t;
  static bool apply(const Piece& p, uint64_t i, Out& out, InputError& error) noexcept {
    const auto value = load<uint64_t>(p.values, i);
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      error.kind = InputErrorKind::TooLarge;
      error.value = static_cast<int64_t>(value);
      return false;
    }
    out = static_cast<int64_t>(value);
    return true;
  }
};

// Dates and timestamps: `In` counted in units of which there are
// `PerDay` to a day, stored as `Scale` times that (or divided by
// `Divisor`, which must leave no remainder).
template <class In, int64_t PerDay, int64_t Scale, int64_t Divisor = 1>
struct Calendar {
  using Out = int64_t;
  static bool apply(const Piece& p, uint64_t i, Out& out, InputError& error) noexcept {
    const auto value = static_cast<int64_t>(load<In>(p.values, i));
    error.value = value;
    if (value % Divisor != 0) {
      error.kind = InputErrorKind::SubMicrosecond;
      return false;
    }
    // Divided first: a day's nanoseconds times the days of ten thousand
    // years exceed 64 bits.
    if (!within_years(value / Divisor, PerDay / Divisor)) {
      error.kind = InputErrorKind::OutOfRange;
      return false;
    }
    out = value / Divisor * Scale;
    return true;
  }
};

constexpr int64_t kMicrosPerDay = kSecondsPerDay * 1'000'000;

template <>
struct Convert<SourceKind::Date32> : Calendar<int32_t, 1, 1> {};
template <>
struct Convert<SourceKind::Date64> : Calendar<int64_t, 1, 1> {};
template <>
struct Convert<SourceKind::TimestampS> : Calendar<int64_t, kSecondsPerDay, 1'000'000> {};
template <>
struct Convert<SourceKind::TimestampMs> : Calendar<int64_t, kSecondsPerDay * 1000, 1000> {};
template <>
struct Convert<SourceKind::TimestampUs> : Calendar<int64_t, kMicrosPerDay, 1> {};
template <>
struct Convert<SourceKind::TimestampNs> : Calendar<int64_t, kMicrosPerDay * 1000, 1, 1000> {};

// Kinds whose values are copied as they are.
constexpr bool copied_as_is(SourceKind kind) noexcept {
  return kind == SourceKind::Int32 || kind == SourceKind::Int64 || kind == SourceKind::Float32 ||
         kind == SourceKind::Float64;
}

// The values of one part into `dst` (the slice's values), calling
// `invalid(slice_row)` for each row without a value, which is stored as 0.
template <SourceKind Kind, class Invalid>
bool convert_part(const Piece& piece, uint64_t start, uint64_t count, uint8_t* dst, uint64_t& bad_index,
                  InputError& error, Invalid&& invalid) {
  using Out = typename Convert<Kind>::Out;
  const uint64_t first = piece.offset + start;
  if constexpr (copied_as_is(Kind)) {
    std::memcpy(dst, piece.values.data() + first * sizeof(Out), count * sizeof(Out));
    if (piece.validity.empty()) return true;
    for (uint64_t i = 0; i < count; ++i) {
      if (!bit(piece.validity, first + i)) {
        store(dst + i * sizeof(Out), Out{0});
        invalid(i);
      }
    }
    return true;
  } else {
    for (uint64_t i = 0; i < count; ++i) {
      Out value{0};
      if (!piece.validity.empty() && !bit(piece.validity, first + i)) {
        invalid(i);
      } else if (!Convert<Kind>::apply(piece, first + i, value, error)) {
        bad_index = i;
        return false;
      }
      store(dst + i * sizeof(Out), value);
    }
    return true;
  }
}

template <class Invalid>
bool convert_any(SourceKind kind, const Piece& piece, uint64_t start, uint64_t count, uint8_t* dst,
                 uint64_t& bad_index, InputError& error, Invalid&& invalid) {
  switch (kind) {
#define QARN_KIND(KIND)         \
  case SourceKind::KIND:        \
    return convert_part<SourceKind::KIND>(piece, start, count, dst, bad_index, error, invalid);
    QARN_KIND(BoolBytes)
    QARN_KIND(BoolBits)
    QARN_KIND(Int8)
    QARN_KIND(Int16)
    QARN_KIND(Int32)
    QARN_KIND(Int64)
    QARN_KIND(UInt8)
    QARN_KIND(UInt16)
    QARN_KIND(UInt32)
    QARN_KIND(UInt64)
    QARN_KIND(Float32)
    QARN_KIND(Float64)
    QARN_KIND(Date32)
    QARN_KIND(Date64)
    QARN_KIND(TimestampS)
    QARN_KIND(TimestampMs)
    QARN_KIND(TimestampUs)
    QARN_KIND(TimestampNs)
#undef QARN_KIND
    default: return true;  // the variable kinds take the other path
  }
}

// Element `index` of a variable piece: its offsets into the data, or false
// when they go backwards, start below zero or end past the data.
bool element_bounds(SourceKind kind, const Piece& piece, uint64_t index, uint64_t& begin, uint64_t& end) noexcept {
  int64_t first = 0, last = 0;
  if (has_wide_offsets(kind)) {
    first = load<int64_t>(piece.values, index);
    last = load<int64_t>(piece.values, index + 1);
  } else {
    first = load<int32_t>(piece.values, index);
    last = load<int32_t>(piece.values, index + 1);
  }
  if (first < 0 || last < first || static_cast<uint64_t>(last) > piece.data.size()) return false;
  begin = static_cast<uint64_t>(first);
  end = static_cast<uint64_t>(last);
  return true;
}

bool continuation(uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

}  // namespace

qarn::WriteStatus write_table_head(qarn::Writer& writer, std::span<const std::string> names,
                                   std::span<const ColumnInput> columns) {
  qarn::TableMetadata metadata;
  // As the converter writes it: the count as a 32-bit value, which a table
  // too wide for the format fails below as too many columns.
  metadata.properties.push_back({std::string(qarn::property::kTableColumns),
                                 qarn::ValueObject::single_int(static_cast<int32_t>(names.size())),
                                 {}});
  metadata.columns.reserve(names.size());
  for (size_t i = 0; i < names.size() && i < columns.size(); ++i) {
    qarn::ColumnMetadata& column =
        metadata.columns.emplace_back(qarn::ColumnMetadata{names[i], storage_type(columns[i].kind), {}});
    if (const std::string_view meaning = logical_type(columns[i].kind, columns[i].utc); !meaning.empty()) {
      column.extra_properties.push_back(
          {std::string(fields::kLogicalTypeProperty), qarn::ValueObject::single_string(meaning), {}});
    }
  }
  writer.write_section_header(qarn::SectionId::FileHeader);
  writer.write_version(qarn::kFormatMajorVersion, qarn::kFormatMinorVersion);
  writer.write_section_header(qarn::SectionId::TableMetadata);
  return qarn::write_table_metadata(writer, metadata);
}

InputStatus check_columns(std::span<const ColumnInput> columns, uint64_t rows) {
  for (size_t c = 0; c < columns.size(); ++c) {
    const ColumnInput& column = columns[c];
    if (static_cast<uint8_t>(column.kind) >= kSourceKindCount) {
      return InputError{InputErrorKind::ShortBuffer, c};
    }
    uint64_t total = 0;
    for (const Piece& piece : column.pieces) {
      if (!piece_fits(column.kind, piece) || __builtin_add_overflow(total, piece.length, &total)) {
        return InputError{InputErrorKind::ShortBuffer, c};
      }
    }
    if (total != rows) return InputError{InputErrorKind::RowCount, c};
  }
  return std::nullopt;
}

TableEncoder::TableEncoder(std::span<const ColumnInput> columns, uint64_t first_row)
    : columns_(columns), positions_(columns.size()), next_row_(first_row) {}

void TableEncoder::take_parts(size_t column, uint64_t rows) {
  parts_.clear();
  Position& position = positions_[column];
  const std::vector<Piece>& pieces = columns_[column].pieces;
  uint64_t at = 0;
  while (at < rows && position.piece < pieces.size()) {
    const Piece& piece = pieces[position.piece];
    const uint64_t count = std::min(piece.length - position.row, rows - at);
    if (count > 0) parts_.push_back(Part{&piece, position.row, count, at});
    at += count;
    position.row += count;
    if (position.row == piece.length) {
      ++position.piece;
      position.row = 0;
    }
  }
}

void TableEncoder::mark_invalid(uint64_t slice_row, uint64_t rows) {
  if (!any_invalid_) {
    invalid_.clear();
    invalid_.append_bits(rows, false);
    any_invalid_ = true;
  }
  invalid_.set(slice_row);
}

InputStatus TableEncoder::write_fixed(qarn::Writer& writer, size_t column, uint64_t rows) {
  const SourceKind kind = columns_[column].kind;
  const size_t width = qarn::fixed_width(storage_type(kind));
  uint8_t* values = writer.out().extend(static_cast<size_t>(rows) * width);
  for (const Part& part : parts_) {
    uint64_t bad = 0;
    InputError error{};
    const bool converted = convert_any(kind, *part.piece, part.start, part.count, values + part.at * width, bad,
                                       error, [&](uint64_t i) { mark_invalid(part.at + i, rows); });
    if (!converted) {
      error.column = column;
      error.row = next_row_ + part.at + bad;
      return error;
    }
  }
  return std::nullopt;
}

InputStatus TableEncoder::write_variable(qarn::Writer& writer, size_t column, uint64_t rows) {
  const SourceKind kind = columns_[column].kind;
  const bool text = storage_type(kind) == qarn::TypeId::String;
  const auto failed = [&](InputErrorKind error_kind, uint64_t slice_row) {
    InputError error{error_kind, column, next_row_ + slice_row};
    return error;
  };
  const auto too_long = [&](qarn::FormatErrorKind format_kind, uint64_t slice_row) {
    InputError error = failed(InputErrorKind::Format, slice_row);
    error.format = qarn::FormatError{format_kind};
    return error;
  };

  // First the packed total, which the format writes before the elements,
  // checking the offsets and the text on the way.
  uint64_t total = 0;
  for (const Part& part : parts_) {
    const Piece& piece = *part.piece;
    const uint64_t first = piece.offset + part.start;
    bool all_valid = piece.validity.empty();
    for (uint64_t i = 0; i < part.count; ++i) {
      uint64_t begin = 0, end = 0;
      if (!piece.validity.empty() && !bit(piece.validity, first + i)) {
        mark_invalid(part.at + i, rows);
        total += 1;  // an empty element
        continue;
      }
      if (!element_bounds(kind, piece, first + i, begin, end)) return failed(InputErrorKind::BadOffsets, part.at + i);
      const uint64_t length = end - begin;
      if (!writer.fits_count(length)) {
        return too_long(text ? qarn::FormatErrorKind::StringTooLong : qarn::FormatErrorKind::BytesTooLong,
                        part.at + i);
      }
      total += qarn::packed_length_size(length) + length;
      if (!writer.fits_count(total)) return too_long(qarn::FormatErrorKind::TooManyValuesInArray, part.at + i);
      if (text && !all_valid && !common::is_valid_utf8(piece.data.data() + begin, length)) {
        return failed(InputErrorKind::NotUtf8, part.at + i);
      }
    }
    if (!text || !all_valid || part.count == 0) continue;
    // Without missing rows the elements lie back to back: they are each
    // valid when the whole run is and none starts inside a character.
    uint64_t run_begin = 0, run_end = 0, unused = 0;
    element_bounds(kind, piece, first, run_begin, unused);
    element_bounds(kind, piece, first + part.count - 1, unused, run_end);
    bool valid = common::is_valid_utf8(piece.data.data() + run_begin, run_end - run_begin);
    for (uint64_t i = 0; valid && i < part.count; ++i) {
      uint64_t begin = 0, end = 0;
      element_bounds(kind, piece, first + i, begin, end);
      valid = begin == end || !continuation(piece.data[begin]);
    }
    if (valid) continue;
    for (uint64_t i = 0; i < part.count; ++i) {
      uint64_t begin = 0, end = 0;
      element_bounds(kind, piece, first + i, begin, end);
      if (common::utf8_valid_prefix(piece.data.data() + begin, end - begin) != end - begin) {
        return failed(InputErrorKind::NotUtf8, part.at + i);
      }
    }
  }

  writer.write_count(total);
  // Room for a short element's block copy past the last one.
  uint8_t* dst = writer.out().spare(static_cast<size_t>(total) + common::kWideCopy);
  for (const Part& part : parts_) {
    const Piece& piece = *part.piece;
    const uint64_t first = piece.offset + part.start;
    for (uint64_t i = 0; i < part.count; ++i) {
      uint64_t begin = 0, end = 0;
      if (!piece.validity.empty() && !bit(piece.validity, first + i)) {
        *dst++ = 0;
        continue;
      }
      element_bounds(kind, piece, first + i, begin, end);
      dst += qarn::encode_packed_length(dst, end - begin);
      common::copy_short_wide(dst, piece.data.data() + begin, end - begin,
                              begin + common::kWideCopy <= piece.data.size());
      dst += end - begin;
    }
  }
  writer.out().commit(static_cast<size_t>(total));
  return std::nullopt;
}

InputStatus TableEncoder::write_column(qarn::Writer& writer, size_t column, uint64_t rows) {
  take_parts(column, rows);
  any_invalid_ = false;
  const SourceKind kind = columns_[column].kind;
  writer.write_section_header(qarn::SectionId::ColumnSlice);
  writer.write_byte(static_cast<uint8_t>(qarn::EncodingId::Plain));
  writer.write_byte(static_cast<uint8_t>(storage_type(kind)));
  writer.write_count(rows);
  if (auto err = is_variable(kind) ? write_variable(writer, column, rows) : write_fixed(writer, column, rows)) {
    return err;
  }
  writer.write_count(any_invalid_ ? 1 : 0);
  if (!any_invalid_) return std::nullopt;
  std::optional<qarn::FormatError> status = writer.write_name(qarn::property::kIsInvalid);
  if (!status) status = qarn::write_bit_array(writer, invalid_);
  if (status) {
    InputError error{InputErrorKind::Format, column, next_row_};
    error.format = *status;
    return error;
  }
  return std::nullopt;
}

InputStatus TableEncoder::write_slice(qarn::Writer& writer, uint64_t rows) {
  if (!writer.fits_count(rows) || !writer.fits_count(columns_.size())) {
    InputError error{InputErrorKind::Format, 0, next_row_};
    error.format = qarn::FormatError{writer.fits_count(rows) ? qarn::FormatErrorKind::TooManyColumns
                                                             : qarn::FormatErrorKind::TooManyValuesInArray};
    return error;
  }
  writer.write_section_header(qarn::SectionId::TableSlice);
  writer.write_count(columns_.size());
  for (size_t column = 0; column < columns_.size(); ++column) {
    if (auto err = write_column(writer, column, rows)) return err;
  }
  next_row_ += rows;
  return std::nullopt;
}

}  // namespace table_input
