#include "fields/column_conversion.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "common/bits.hpp"
#include "common/cpu.hpp"
#include "common/load.hpp"
#include "fields/fast_parse.hpp"
#include "fields/date_grammar.hpp"
#include "fields/fast_parse_avx512.hpp"
#include "fields/grammar.hpp"
#include "qarn/packed_length.hpp"

namespace fields {

namespace {

// Flags a field that its type could not take, and lists it as a misfit
// unless it was empty. Out of line: the loops that call it keep their
// registers for the common case.
[[gnu::noinline]] void note_invalid(std::string_view text, size_t row, uint64_t first_row, qarn::BitArray& invalid,
                                   MisfitRows& misfits) {
  invalid.set(first_row + row);
  if (!text.empty()) misfits.push_back(static_cast<uint32_t>(row));
}

// Fixed-width columns: parse each field, store its value or the default.
// `parse(text, value)` reports whether the text is valid.
template <class Stored, class Parse>
bool convert_fixed(const std::string_view* fields, size_t count, qarn::ValueObject& values,
                   qarn::BitArray& invalid, MisfitRows& misfits, Parse parse) {
  const uint64_t first_row = invalid.bit_count;
  invalid.append_bits(count, false);
  uint8_t* out = values.fixed().extend(count * sizeof(Stored));
  const auto convert_one = [&](size_t i) {
    Stored value{};
    const bool valid = parse(fields[i], value);
    value = valid ? value : Stored{};
    std::memcpy(out + i * sizeof(Stored), &value, sizeof(Stored));
    return !valid;
  };
  // The invalid ones are flagged eight at a time, without a branch on each
  // field: columns with many empty fields would mispredict, and a call per
  // field cost a fifth of converting a sparse table.
  unsigned any = 0;
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    unsigned flags = 0;
    for (size_t k = 0; k < 8; ++k) flags |= unsigned{convert_one(i + k)} << (7 - k);
    if (flags == 0) continue;
    common::set_eight_flags(invalid.bytes.data(), first_row + i, flags);
    any = 1;
    for (size_t k = 0; k < 8; ++k) {
      if ((flags >> (7 - k) & 1) != 0 && !fields[i + k].empty()) misfits.push_back(static_cast<uint32_t>(i + k));
    }
  }
  for (; i < count; ++i) {
    if (!convert_one(i)) continue;
    note_invalid(fields[i], i, first_row, invalid, misfits);
    any = 1;
  }
  return any != 0;
}

// `string` columns keep every field byte for byte; only the empty field is invalid.
static_assert(common::kWideCopy <= csv::kFieldPadding);

// Appends the fields as elements, flagging the empty ones in `invalid` from
// flag `first_flag` on; those flags are appended already, and clear.
bool append_strings(const std::string_view* fields, size_t count, qarn::VarValues& elements,
                    qarn::BitArray& invalid, uint64_t first_flag) {
  elements.append_all_readable(fields, count);
  // Eight flags at a time, without a branch on each field: columns with
  // many empty fields would mispredict.
  unsigned any = 0;
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    unsigned flags = 0;
    for (size_t k = 0; k < 8; ++k) flags |= unsigned{fields[i + k].empty()} << (7 - k);
    if (flags != 0) common::set_eight_flags(invalid.bytes.data(), first_flag + i, flags);
    any |= flags;
  }
  for (; i < count; ++i) {
    if (!fields[i].empty()) continue;
    invalid.set(first_flag + i);
    any = 1;
  }
  return any != 0;
}

bool convert_strings(const std::string_view* fields, size_t count, qarn::ValueObject& values,
                     qarn::BitArray& invalid) {
  const uint64_t first_row = invalid.bit_count;
  invalid.append_bits(count, false);
  return append_strings(fields, count, values.var(), invalid, first_row);
}

}  // namespace

bool convert_marked_strings(const std::string_view* fields, size_t count, qarn::ValueObject& values,
                            qarn::BitArray& invalid, ElementMarks marks) {
  const uint64_t first_flag = invalid.bit_count;
  invalid.append_bits(count, false);
  qarn::VarValues& elements = values.var();
  bool any_invalid = false;
  for (size_t done = 0; done < count;) {
    const size_t row = marks.first_row + done;
    if (row % marks.every == 0) marks.starts.push_back(elements.packed().size());
    const size_t part = std::min(count - done, marks.every - row % marks.every);
    any_invalid |= append_strings(fields + done, part, elements, invalid, first_flag + done);
    done += part;
  }
  return any_invalid;
}

namespace {

// Fixed-width columns with a quick reader that has no branch and makes no
// call, so that its constants stay in registers: `quick(text, value)`
// reports whether it took the text. The rows it leaves are read after each
// block of them by `full(text, value)`, which reports whether the text is
// valid.
template <class Stored, class Quick, class Full>
QARN_TARGET_AVX512_COMPRESS bool convert_quick(const std::string_view* fields, size_t count,
                                           qarn::ValueObject& values, qarn::BitArray& invalid,
                                           MisfitRows& misfits, Quick quick, Full full) {
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
        note_invalid(fields[row], row, first_row, invalid, misfits);
        any_invalid = true;
      }
      std::memcpy(out + row * sizeof(Stored), &value, sizeof(Stored));
    }
  }
  return any_invalid;
}

QARN_TARGET_AVX512_COMPRESS bool convert_doubles_avx512(const std::string_view* fields, size_t count,
                                                    qarn::ValueObject& values, qarn::BitArray& invalid,
                                                    MisfitRows& misfits) {
  return convert_quick<double>(
      fields, count, values, invalid, misfits,
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
                                                     qarn::ValueObject& values, qarn::BitArray& invalid,
                                                     MisfitRows& misfits) {
  return convert_quick<Int>(
      fields, count, values, invalid, misfits,
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

// The double grammar, rounded once to the nearest float: the text is read
// again as a float rather than the double narrowed, which could round twice.
bool parse_float(std::string_view text, float& out) {
  double value;
  if (!grammar_detail::scan_double(text, value)) return false;
  if (!std::isfinite(value) || value == 0) {
    out = static_cast<float>(value);  // infinities, NaN and zeros keep their sign
    return true;
  }
  const char* begin = text.data() + (text.front() == '+' ? 1 : 0);
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), out);
  if (error == std::errc::result_out_of_range) {
    out = std::copysign(std::fabs(value) > 1 ? HUGE_VALF : 0.0f, static_cast<float>(value));
  }
  return true;
}

}  // namespace

// Floats, dates and timestamps: out of line, so that their parsers do not
// take the inlining room of the common types' loops above.
[[gnu::noinline]] bool convert_other_fixed(const std::string_view* fields, size_t count, ColumnType type,
                                           qarn::ValueObject& values, qarn::BitArray& invalid, MisfitRows& misfits) {
  switch (type) {
    case ColumnType::Float:
      return convert_fixed<float>(fields, count, values, invalid, misfits, parse_float);
    case ColumnType::Date:
      return convert_fixed<int64_t>(fields, count, values, invalid, misfits, parse_date);
    case ColumnType::Timestamp:
      // Wall times: one with an offset names an instant, which is not one.
      return convert_fixed<int64_t>(fields, count, values, invalid, misfits, [](std::string_view text, int64_t& out) {
        bool offset;
        return parse_timestamp(text, out, offset) && !offset;
      });
    default:  // TimestampUtc: the caller passes only the types above
      return convert_fixed<int64_t>(fields, count, values, invalid, misfits, [](std::string_view text, int64_t& out) {
        bool offset;
        return parse_timestamp(text, out, offset);
      });
  }
}

bool convert_column(const std::string_view* fields, size_t count, ColumnType type, qarn::ValueObject& values,
                    qarn::BitArray& invalid, MisfitRows& misfits) {
  switch (type) {
    case ColumnType::Bool:
      return convert_fixed<uint8_t>(fields, count, values, invalid, misfits,
                                    [](std::string_view text, uint8_t& out) { return fast::parse_bool(text, out); });
    case ColumnType::Int:
      if (long_integers(fields, count)) return convert_integers_avx512<int32_t>(fields, count, values, invalid, misfits);
      return convert_fixed<int32_t>(fields, count, values, invalid, misfits,
                                    [](std::string_view text, int32_t& out) { return fast::parse_integer(text, out); });
    case ColumnType::Long:
      if (long_integers(fields, count)) return convert_integers_avx512<int64_t>(fields, count, values, invalid, misfits);
      return convert_fixed<int64_t>(fields, count, values, invalid, misfits,
                                    [](std::string_view text, int64_t& out) { return fast::parse_integer(text, out); });
    case ColumnType::Float:
    case ColumnType::Date:
    case ColumnType::Timestamp:
    case ColumnType::TimestampUtc:
      return convert_other_fixed(fields, count, type, values, invalid, misfits);
    case ColumnType::Double:
      if (fast::spellings_vary(fields, count)) {
        if (common::cpu_has_avx512_compress()) return convert_doubles_avx512(fields, count, values, invalid, misfits);
        return convert_fixed<double>(fields, count, values, invalid, misfits, [](std::string_view text, double& out) {
          return fast::parse_double<fast::MaskedDigits>(text, out);
        });
      }
      return convert_fixed<double>(fields, count, values, invalid, misfits, [](std::string_view text, double& out) {
        return fast::parse_double(text, out);
      });
    case ColumnType::String:
      break;
  }
  return convert_strings(fields, count, values, invalid);
}

bool convert_column(const std::string_view* fields, size_t count, ColumnType type, qarn::ValueObject& values,
                    qarn::BitArray& invalid, MisfitRows& misfits, const NumberSpelling& spelling,
                    RespeltFields& respelt) {
  const bool number = type == ColumnType::Int || type == ColumnType::Long || type == ColumnType::Float ||
                      type == ColumnType::Double;
  if (number && !spelling.plain()) fields = respelt.respell(fields, count, spelling);
  return convert_column(fields, count, type, values, invalid, misfits);
}

}  // namespace fields
