#include "value_conversion.hpp"

#include <algorithm>
#include <cstring>

#include "field_grammar.hpp"
#include "common/cpu.hpp"
#include "padded_parse.hpp"
#include "padded_parse_avx512.hpp"
#include "qarn/encoding.hpp"

namespace pipeline {

namespace {

qarn::ValueObject& plain_values(qarn::ColumnSlice& slice) {
  return std::get<qarn::PlainArray>(slice.values).values;
}

// Fixed-width columns: parse each field, store its value or the default.
// `parse(text, value)` reports whether the text is valid.
template <class Stored, class Parse>
bool convert_fixed(const std::string_view* fields, size_t count,
                   qarn::ValueObject& values, qarn::BitArray& invalid, Parse parse) {
  const uint64_t first_row = invalid.bit_count;
  invalid.append_bits(count, false);
  uint8_t* out = values.fixed().extend(count * sizeof(Stored));
  bool any_invalid = false;
  for (size_t i = 0; i < count; ++i) {
    Stored value{};
    if (!parse(fields[i], value)) {
      value = Stored{};
      invalid.set(first_row + i);
      any_invalid = true;
    }
    std::memcpy(out + i * sizeof(Stored), &value, sizeof(Stored));
  }
  return any_invalid;
}

// `string` columns keep every field byte for byte; only the empty field is invalid.
static_assert(qarn::VarValues::kWideCopy <= csv::kFieldPadding);
// `note_start(offset)` hears where each element begins in the packed bytes.
template <class NoteStart>
bool convert_strings(const std::string_view* fields, size_t count, qarn::ValueObject& values,
                     qarn::BitArray& invalid, NoteStart note_start) {
  const uint64_t first_row = invalid.bit_count;
  invalid.append_bits(count, false);
  qarn::VarValues& elements = values.var();
  bool any_invalid = false;
  for (size_t i = 0; i < count; ++i) {
    const std::string_view text = fields[i];
    if (text.empty()) {
      invalid.set(first_row + i);
      any_invalid = true;
    }
    note_start(elements.packed().size());
    elements.append_readable(text.data(), text.size());
  }
  return any_invalid;
}

// Fixed-width columns with a quick reader that has no branch and makes no
// call, so that its constants stay in registers: `quick(text, value)`
// reports whether it took the text. The rows it leaves are read after each
// block of them by `full(text, value)`, which reports whether the text is
// valid.
template <class Stored, class Quick, class Full>
QARN_TARGET_AVX512_COMPRESS bool convert_quick(const std::string_view* fields, size_t count,
                                           qarn::ValueObject& values, qarn::BitArray& invalid, Quick quick,
                                           Full full) {
  const uint64_t first_row = invalid.bit_count;
  invalid.append_bits(count, false);
  uint8_t* out = values.fixed().extend(count * sizeof(Stored));
  bool any_invalid = false;
  constexpr size_t kBlock = 256;
  uint32_t left[kBlock];
  for (size_t start = 0; start < count; start += kBlock) {
    const size_t end = std::min(count, start + kBlock);
    size_t left_count = 0;
    for (size_t i = start; i < end; ++i) {
      Stored value;
      left[left_count] = static_cast<uint32_t>(i - start);
      left_count += !quick(fields[i], value);
      std::memcpy(out + i * sizeof(Stored), &value, sizeof(Stored));
    }
    for (size_t k = 0; k < left_count; ++k) {
      const size_t row = start + left[k];
      Stored value{};
      if (!full(fields[row], value)) {
        value = Stored{};
        invalid.set(first_row + row);
        any_invalid = true;
      }
      std::memcpy(out + row * sizeof(Stored), &value, sizeof(Stored));
    }
  }
  return any_invalid;
}

QARN_TARGET_AVX512_COMPRESS bool convert_doubles_avx512(const std::string_view* fields, size_t count,
                                                    qarn::ValueObject& values, qarn::BitArray& invalid) {
  return convert_quick<double>(
      fields, count, values, invalid,
      [](std::string_view text, double& value) QARN_TARGET_AVX512_COMPRESS {
        padded::DecimalDigits digits;
        const bool quick = padded::quick_digits(text, digits);
        return padded::exact_double_unbranched(digits, value) & quick;
      },
      [](std::string_view text, double& value) QARN_TARGET_AVX512_COMPRESS {
        return padded::parse_double_avx512(text, value);
      });
}

template <class Int>
QARN_TARGET_AVX512_COMPRESS bool convert_integers_avx512(const std::string_view* fields, size_t count,
                                                     qarn::ValueObject& values, qarn::BitArray& invalid) {
  return convert_quick<Int>(
      fields, count, values, invalid,
      [](std::string_view text, Int& value) QARN_TARGET_AVX512_COMPRESS {
        return padded::quick_integer(text, value);
      },
      [](std::string_view text, Int& value) { return padded::parse_integer(text, value); });
}

// Whether a column's integers are better read by the AVX-512 reader, which
// costs the same for every length: the word-at-a-time reader is cheaper up
// to eight digits, where one word holds them all. The first field stands
// for the batch; either way gives the same values.
bool long_integers(const std::string_view* fields, size_t count) {
  return count != 0 && fields[0].size() > 8 && common::cpu_has_avx512_compress();
}

}  // namespace

bool convert_column(const std::string_view* fields, size_t count,
                    qarn::ValueObject& values, qarn::BitArray& invalid) {
  switch (values.type()) {
    case qarn::TypeId::Bool:
      return convert_fixed<uint8_t>(fields, count, values, invalid,
                                    [](std::string_view text, uint8_t& out) { return padded::parse_bool(text, out); });
    case qarn::TypeId::Int:
      if (long_integers(fields, count)) return convert_integers_avx512<int32_t>(fields, count, values, invalid);
      return convert_fixed<int32_t>(fields, count, values, invalid,
                                    [](std::string_view text, int32_t& out) { return padded::parse_integer(text, out); });
    case qarn::TypeId::Long:
      if (long_integers(fields, count)) return convert_integers_avx512<int64_t>(fields, count, values, invalid);
      return convert_fixed<int64_t>(fields, count, values, invalid,
                                    [](std::string_view text, int64_t& out) { return padded::parse_integer(text, out); });
    case qarn::TypeId::Double:
      if (padded::spellings_vary(fields, count)) {
        if (common::cpu_has_avx512_compress()) return convert_doubles_avx512(fields, count, values, invalid);
        return convert_fixed<double>(fields, count, values, invalid, [](std::string_view text, double& out) {
          return padded::parse_double<padded::MaskedDigits>(text, out);
        });
      }
      return convert_fixed<double>(fields, count, values, invalid, [](std::string_view text, double& out) {
        return padded::parse_double(text, out);
      });
    default:
      return convert_strings(fields, count, values, invalid, [](size_t) {});
  }
}

namespace {

// Section headers, counts and property names, per slice and per column slice.
constexpr size_t kFraming = 64;

}  // namespace

size_t estimated_file_size(std::span<const csv::RowBatch> sample, std::span<const qarn::TypeId> types,
                           uint64_t chunk_size, size_t sample_bytes, size_t input_bytes) {
  double rows = 0;
  double value_bytes = 0;
  for (const csv::RowBatch& batch : sample) {
    rows += static_cast<double>(batch.row_count());
    for (size_t column = 0; column < types.size(); ++column) {
      const size_t width = qarn::fixed_width(types[column]);
      if (width != 0) {
        value_bytes += static_cast<double>(width * batch.row_count());
        continue;
      }
      const std::string_view* fields = batch.column(column);
      for (size_t row = 0; row < batch.row_count(); ++row) {
        value_bytes += static_cast<double>(fields[row].size() + qarn::packed_length_size(fields[row].size()));
      }
    }
  }
  if (rows == 0 || sample_bytes == 0) return 0;
  const double scale = static_cast<double>(input_bytes) / static_cast<double>(sample_bytes);
  const double all_rows = rows * scale;
  const double invalid_bits = all_rows / 8 * static_cast<double>(types.size());
  const double slices = all_rows / static_cast<double>(chunk_size) + 1;
  const double framing = slices * static_cast<double>(kFraming * (types.size() + 1));
  const double size = (value_bytes * scale + invalid_bits + framing) * 1.0625;  // a little to spare
  // An odd sample says little about the rest: never more than twice the input.
  return static_cast<size_t>(std::min(size, 2.0 * static_cast<double>(input_bytes)));
}

ChunkBuilder::ChunkBuilder(std::span<const qarn::TypeId> types)
    : invalid_(types.size()), any_invalid_(types.size(), 0) {
  slices_.reserve(types.size());
  for (const qarn::TypeId type : types) {
    qarn::ColumnSlice& slice = slices_.emplace_back();
    slice.values = qarn::PlainArray{qarn::ValueObject(type, qarn::Shape::Array)};
  }
}

void ChunkBuilder::append_rows(const csv::RowBatch& batch, size_t begin, size_t end) {
  for (size_t column = 0; column < slices_.size(); ++column) {
    if (convert_column(batch.column(column) + begin, end - begin, plain_values(slices_[column]),
                       invalid_[column])) {
      any_invalid_[column] = 1;
    }
  }
  rows_ += end - begin;
}

size_t ChunkBuilder::encoded_size() const noexcept {
  size_t size = kFraming;
  for (size_t column = 0; column < slices_.size(); ++column) {
    const qarn::ValueObject& values = std::get<qarn::PlainArray>(slices_[column].values).values;
    size += kFraming + values.fixed().size() + values.var().packed().size() + invalid_[column].bytes.size();
  }
  return size;
}

std::span<const qarn::ColumnSlice> ChunkBuilder::finish_slices() {
  for (size_t column = 0; column < slices_.size(); ++column) {
    if (any_invalid_[column]) slices_[column].is_invalid = std::move(invalid_[column]);
  }
  return slices_;
}

namespace {

// Reads the length of the packed element at `p`, and steps past its header.
uint64_t read_packed_length(const uint8_t*& p) noexcept {
  uint64_t length = 0;
  int shift = 0;
  while (*p & 0x80) {
    length |= uint64_t{*p++ & 0x7Fu} << shift;
    shift += 7;
  }
  return length | (uint64_t{*p++} << shift);
}

// Copies flags [begin, end) of `source` after those of `target`, which has
// room for them and holds them clear; whether any was set.
bool copy_set_bits(const qarn::BitArray& source, size_t begin, size_t end, qarn::BitArray& target,
                   uint64_t target_first) noexcept {
  const uint8_t* bytes = source.bytes.data();
  bool any = false;
  for (size_t row = begin; row < end;) {
    if ((row & 7) == 0 && row + 8 <= end && bytes[row >> 3] == 0) {
      row += 8;  // a whole byte of valid rows
      continue;
    }
    if (bytes[row >> 3] & (0x80u >> (row & 7))) {
      target.set(target_first + (row - begin));
      any = true;
    }
    ++row;
  }
  return any;
}

}  // namespace

void ChunkBuilder::append_converted(const ConvertedRows& rows, size_t begin, size_t end) {
  const ChunkBuilder& source = rows.columns_;
  for (size_t column = 0; column < slices_.size(); ++column) {
    const qarn::ValueObject& from = std::get<qarn::PlainArray>(source.slices_[column].values).values;
    qarn::ValueObject& to = plain_values(slices_[column]);
    if (const size_t width = qarn::fixed_width(to.type()); width != 0) {
      to.fixed().append(from.fixed().data() + begin * width, (end - begin) * width);
    } else {
      const std::vector<size_t>& starts = rows.starts_[column];
      const uint8_t* packed = from.var().packed().data();
      // A longer element never has a shorter length header, so the element
      // that takes the most bytes is the longest.
      size_t widest = begin;
      size_t widest_bytes = 0;
      for (size_t row = begin; row < end; ++row) {
        const size_t bytes = starts[row + 1] - starts[row];
        if (bytes > widest_bytes) {
          widest_bytes = bytes;
          widest = row;
        }
      }
      const uint8_t* header = packed + starts[widest];
      const uint64_t longest = end > begin ? read_packed_length(header) : 0;
      to.var().append_packed({packed + starts[begin], starts[end] - starts[begin]}, end - begin, longest);
    }
    qarn::BitArray& invalid = invalid_[column];
    const uint64_t first = invalid.bit_count;
    invalid.append_bits(end - begin, false);
    if (source.any_invalid_[column] && copy_set_bits(source.invalid_[column], begin, end, invalid, first)) {
      any_invalid_[column] = 1;
    }
  }
  rows_ += end - begin;
}

void ConvertedRows::convert(const csv::RowBatch& batch) {
  columns_.clear();
  rows_ = batch.row_count();
  for (size_t column = 0; column < starts_.size(); ++column) {
    qarn::ValueObject& values = plain_values(columns_.slices_[column]);
    qarn::BitArray& invalid = columns_.invalid_[column];
    bool any_invalid;
    if (qarn::fixed_width(values.type()) != 0) {
      any_invalid = convert_column(batch.column(column), rows_, values, invalid);
    } else {
      std::vector<size_t>& starts = starts_[column];
      starts.clear();
      starts.reserve(rows_ + 1);
      any_invalid = convert_strings(batch.column(column), rows_, values, invalid,
                                    [&](size_t start) { starts.push_back(start); });
      starts.push_back(values.var().packed().size());
    }
    columns_.any_invalid_[column] = any_invalid ? 1 : 0;
  }
  columns_.rows_ = rows_;
}

void ChunkBuilder::clear() {
  for (size_t column = 0; column < slices_.size(); ++column) {
    qarn::ColumnSlice& slice = slices_[column];
    if (slice.is_invalid) {
      invalid_[column] = std::move(*slice.is_invalid);
      slice.is_invalid.reset();
    }
    plain_values(slice).clear();
    invalid_[column].clear();
    any_invalid_[column] = 0;
  }
  rows_ = 0;
}

}  // namespace pipeline
