#include "csv_output/csv_writer.hpp"

#include <emmintrin.h>

#include <cstring>

namespace csv_output {

namespace {

bool is_special(unsigned char c) noexcept { return c == ',' || c == '"' || c == '\r' || c == '\n'; }

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

bool has_special_bytes(std::string_view text) noexcept {
  const char* p = text.data();
  size_t n = text.size();
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; n >= 16; p += 16, n -= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(block, comma), _mm_cmpeq_epi8(block, quote)),
        _mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
    if (_mm_movemask_epi8(hits) != 0) return true;
  }
  for (; n > 0; ++p, --n) {
    if (is_special(static_cast<unsigned char>(*p))) return true;
  }
  return false;
}

void CsvWriter::quoted(std::string_view text) {
  out_.push_back('"');
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '"') continue;
    out_.append(text.substr(start, i + 1 - start));  // the quote itself, then its double
    out_.push_back('"');
    start = i + 1;
  }
  out_.append(text.substr(start));
  out_.push_back('"');
}

void CsvWriter::field(std::string_view text) {
  separate();
  // An empty record of a one-column table would be a blank line, which the
  // reader skips.
  if (text.empty() ? column_count_ == 1 : has_special_bytes(text)) {
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
