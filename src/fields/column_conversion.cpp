#include "fields/column_conversion.hpp"

#include <algorithm>
#include <cstring>

#include "common/cpu.hpp"
#include "common/load.hpp"
#include "fields/fast_parse.hpp"
#include "fields/fast_parse_avx512.hpp"
#include "fields/grammar.hpp"

namespace fields {

namespace {

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
static_assert(common::kWideCopy <= csv::kFieldPadding);
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
        fast::DecimalDigits digits;
        const bool quick = fast::quick_digits(text, digits);
        return fast::exact_double_unbranched(digits, value) & quick;
      },
      [](std::string_view text, double& value) QARN_TARGET_AVX512_COMPRESS {
        return fast::parse_double_avx512(text, value);
      });
}

template <class Int>
QARN_TARGET_AVX512_COMPRESS bool convert_integers_avx512(const std::string_view* fields, size_t count,
                                                     qarn::ValueObject& values, qarn::BitArray& invalid) {
  return convert_quick<Int>(
      fields, count, values, invalid,
      [](std::string_view text, Int& value) QARN_TARGET_AVX512_COMPRESS {
        return fast::quick_integer(text, value);
      },
      [](std::string_view text, Int& value) { return fast::parse_integer(text, value); });
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
                                    [](std::string_view text, uint8_t& out) { return fast::parse_bool(text, out); });
    case qarn::TypeId::Int:
      if (long_integers(fields, count)) return convert_integers_avx512<int32_t>(fields, count, values, invalid);
      return convert_fixed<int32_t>(fields, count, values, invalid,
                                    [](std::string_view text, int32_t& out) { return fast::parse_integer(text, out); });
    case qarn::TypeId::Long:
      if (long_integers(fields, count)) return convert_integers_avx512<int64_t>(fields, count, values, invalid);
      return convert_fixed<int64_t>(fields, count, values, invalid,
                                    [](std::string_view text, int64_t& out) { return fast::parse_integer(text, out); });
    case qarn::TypeId::Double:
      if (fast::spellings_vary(fields, count)) {
        if (common::cpu_has_avx512_compress()) return convert_doubles_avx512(fields, count, values, invalid);
        return convert_fixed<double>(fields, count, values, invalid, [](std::string_view text, double& out) {
          return fast::parse_double<fast::MaskedDigits>(text, out);
        });
      }
      return convert_fixed<double>(fields, count, values, invalid, [](std::string_view text, double& out) {
        return fast::parse_double(text, out);
      });
    default:
      return convert_strings(fields, count, values, invalid, [](size_t) {});
  }
}

bool convert_strings_noting_starts(const std::string_view* fields, size_t count, qarn::ValueObject& values,
                                   qarn::BitArray& invalid, std::vector<size_t>& starts) {
  starts.clear();
  starts.reserve(count + 1);
  const bool any_invalid =
      convert_strings(fields, count, values, invalid, [&](size_t start) { starts.push_back(start); });
  starts.push_back(values.var().packed().size());
  return any_invalid;
}

}  // namespace fields
