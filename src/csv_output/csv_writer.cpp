#include "csv_output/csv_writer.hpp"

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace csv_output {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

SpecialBytes::SpecialBytes(const csv::Dialect& dialect_bytes) noexcept
    : dialect(dialect_bytes),
      delimiter(_mm_set1_epi8(static_cast<char>(dialect_bytes.delimiter))),
      quote(_mm_set1_epi8(static_cast<char>(dialect_bytes.quote))),
      carriage_return(_mm_set1_epi8(static_cast<char>(dialect_bytes.carriage_return))),
      line_feed(_mm_set1_epi8(static_cast<char>(dialect_bytes.line_feed))) {}

bool has_special_bytes(std::string_view text, const SpecialBytes& special) noexcept {
  const csv::Dialect& dialect = special.dialect;
  const auto is_special = [&](uint8_t c) {
    return c == dialect.delimiter || c == dialect.quote || c == dialect.carriage_return || c == dialect.line_feed;
  };
  const char* p = text.data();
  size_t n = text.size();
  for (; n >= 16; p += 16, n -= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(block, special.delimiter), _mm_cmpeq_epi8(block, special.quote)),
        _mm_or_si128(_mm_cmpeq_epi8(block, special.carriage_return), _mm_cmpeq_epi8(block, special.line_feed)));
    if (_mm_movemask_epi8(hits) != 0) return true;
  }
  for (; n > 0; ++p, --n) {
    if (is_special(static_cast<uint8_t>(*p))) return true;
  }
  return false;
}

void CsvWriter::quoted(std::string_view text) {
  const uint8_t quote_byte = special_.dialect.quote;
  const auto quote = static_cast<char>(quote_byte);
  out_.push_back(quote_byte);
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != quote) continue;
    out_.append(text.substr(start, i + 1 - start));  // the quote itself, then its double
    out_.push_back(quote_byte);
    start = i + 1;
  }
  out_.append(text.substr(start));
  out_.push_back(quote_byte);
}

void CsvWriter::field(std::string_view text) {
  separate();
  // An empty record of a one-column table would be a blank line, which the
  // reader skips.
  if (text.empty() ? column_count_ == 1 : has_special_bytes(text, special_)) {
    quoted(text);
  } else {
    out_.append(text);
  }
}

void CsvWriter::first_field(std::string_view text) {
  if (!text.starts_with(kByteOrderMark)) {
    field(text);
    return;
  }
  separate();
  quoted(text);
}

}  // namespace csv_output
