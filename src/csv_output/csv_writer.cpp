#include "csv_output/csv_writer.hpp"

#include <emmintrin.h>

#include <cstdint>

namespace csv_output {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

__m128i broadcast(uint8_t byte) noexcept { return _mm_set1_epi8(static_cast<char>(byte)); }

// Whether the byte can occur in what plain_field writes: decimal and
// hexadecimal digits, signs, points, exponents, and the words true, false,
// nan and inf.
bool occurs_in_plain_text(uint8_t byte) noexcept {
  return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         byte == '+' || byte == '-' || byte == '.';
}

// The escape's comparison costs a little, so dialects without one skip it.
template <bool kEscaping>
bool scan_for_special_bytes(std::string_view text, const SpecialBytes& special) noexcept {
  const csv::Dialect& dialect = special.dialect;
  const auto is_special = [&](uint8_t c) {
    return c == dialect.delimiter || c == special.quote_byte || c == dialect.carriage_return ||
           c == dialect.line_feed || (kEscaping && c == special.escape_byte);
  };
  const char* p = text.data();
  size_t n = text.size();
  for (; n >= 16; p += 16, n -= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(block, special.delimiter), _mm_cmpeq_epi8(block, special.quote)),
        _mm_or_si128(_mm_cmpeq_epi8(block, special.carriage_return), _mm_cmpeq_epi8(block, special.line_feed)));
    if constexpr (kEscaping) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, special.escape));
    if (_mm_movemask_epi8(hits) != 0) return true;
  }
  for (; n > 0; ++p, --n) {
    if (is_special(static_cast<uint8_t>(*p))) return true;
  }
  return false;
}

// Appends `text` with a byte put before each byte `c` for which
// `prefix_of(c)` gives one (as an int, negative for none).
template <class PrefixOf>
void append_prefixed(common::ByteBuffer& out, std::string_view text, PrefixOf prefix_of) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const int prefix = prefix_of(static_cast<uint8_t>(text[i]));
    if (prefix < 0) continue;
    out.append(text.substr(start, i - start));
    out.push_back(static_cast<uint8_t>(prefix));
    start = i;  // the byte itself goes out with the next run
  }
  out.append(text.substr(start));
}

}  // namespace

SpecialBytes::SpecialBytes(const csv::Dialect& dialect_bytes) noexcept
    : dialect(dialect_bytes),
      quote_byte(dialect_bytes.quoting ? dialect_bytes.quote : dialect_bytes.delimiter),
      escape_byte(dialect_bytes.escaping ? dialect_bytes.escape : dialect_bytes.delimiter),
      delimiter(broadcast(dialect_bytes.delimiter)),
      quote(broadcast(quote_byte)),
      escape(broadcast(escape_byte)),
      carriage_return(broadcast(dialect_bytes.carriage_return)),
      line_feed(broadcast(dialect_bytes.line_feed)) {}

bool has_special_bytes(std::string_view text, const SpecialBytes& special) noexcept {
  return special.dialect.escaping ? scan_for_special_bytes<true>(text, special)
                                  : scan_for_special_bytes<false>(text, special);
}

CsvWriter::CsvWriter(common::ByteBuffer& out, size_t column_count, const csv::Dialect& dialect,
                     std::string_view line_end) noexcept
    : out_(out), column_count_(column_count), special_(dialect),
      line_end_{static_cast<uint8_t>(line_end[0]),
                static_cast<uint8_t>(line_end.size() > 1 ? line_end[1] : line_end[0])},
      line_end_size_(static_cast<uint8_t>(line_end.size() > 1 ? 2 : 1)),
      plain_is_safe_(!occurs_in_plain_text(special_.dialect.delimiter) &&
                     !occurs_in_plain_text(special_.quote_byte) && !occurs_in_plain_text(special_.escape_byte)) {}

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

// Quoted, with the escape before each escape and, when quotes are not
// doubled, before each quote; a doubled quote otherwise.
void CsvWriter::quoted_with_escapes(std::string_view text) {
  const csv::Dialect& dialect = special_.dialect;
  if (!dialect.escaping) {
    // Quotes are not doubled (or quoted() would write this), and nothing can escape them.
    if (text.find(static_cast<char>(dialect.quote)) != std::string_view::npos) {
      fail(FieldProblem::QuoteNeedsEscape);
    }
    out_.push_back(dialect.quote);
    out_.append(text);
    out_.push_back(dialect.quote);
    return;
  }
  // A doubled quote is the quote put before a quote.
  const int quote_prefix = dialect.doublequote ? dialect.quote : dialect.escape;
  out_.push_back(dialect.quote);
  append_prefixed(out_, text, [&](uint8_t c) {
    return c == dialect.quote ? quote_prefix : c == dialect.escape ? int{dialect.escape} : -1;
  });
  out_.push_back(dialect.quote);
}

// Bare, with the escape before each byte that would end the field or the
// record, before each escape, and before a leading byte-order mark.
void CsvWriter::escaped(std::string_view text, bool leading_mark) {
  const csv::Dialect& dialect = special_.dialect;
  if (leading_mark) out_.push_back(dialect.escape);
  append_prefixed(out_, text, [&](uint8_t c) {
    const bool marked =
        c == dialect.delimiter || c == dialect.carriage_return || c == dialect.line_feed || c == dialect.escape;
    return marked ? int{dialect.escape} : -1;
  });
}

void CsvWriter::protect(std::string_view text, bool leading_mark) {
  const csv::Dialect& dialect = special_.dialect;
  if (dialect.quoting) {
    if (dialect.doublequote && !dialect.escaping) {
      quoted(text);  // the comma dialect's way
    } else {
      quoted_with_escapes(text);
    }
  } else if (dialect.escaping && !text.empty()) {
    escaped(text, leading_mark);
  } else {
    fail(text.empty()                          ? FieldProblem::BlankLine
         : has_special_bytes(text, special_) ? FieldProblem::NeedsEscape
                                               : FieldProblem::ByteOrderMark);
    out_.append(text);
  }
}

void CsvWriter::field(std::string_view text) {
  separate();
  // An empty record of a one-column table would be a blank line, which the
  // reader skips.
  if (text.empty() ? column_count_ == 1
                   : special_.dialect.escaping ? scan_for_special_bytes<true>(text, special_)
                                               : scan_for_special_bytes<false>(text, special_)) {
    protect(text, false);
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
  protect(text, true);
}

}  // namespace csv_output
