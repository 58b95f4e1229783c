#include "fields/number_spelling.hpp"

#include <cstdint>
#include <cstring>

#include "common/load.hpp"
#include "common/word_bytes.hpp"
#include "csv_input/row_batch.hpp"

namespace fields {

namespace {

// What a field that is no number becomes: no number in any grammar, and
// not empty, so that it still counts as a value that did not fit.
constexpr char kNoNumber = '#';

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Fields this long or shorter are rewritten a word at a time: three words
// from a field's start stay within its padding.
constexpr size_t kWordRewrite = 24;

// respell_number for a spelling with a decimal mark other than '.' and no
// thousands separator, where the rewrite is the field with its marks made
// '.', and no number when it holds a '.': a word at a time, for a field of
// up to kWordRewrite bytes. Writes whole words to `out`, which has room.
size_t respell_decimal_words(std::string_view text, char decimal, char* out) noexcept {
  const uint64_t swap = common::kEachByte * static_cast<uint8_t>(decimal ^ '.');
  uint64_t stray_points = 0;
  for (size_t at = 0; at < text.size(); at += 8) {
    const uint64_t word = common::load<uint64_t>(text.data() + at);
    const size_t left = text.size() - at;
    const uint64_t inside = left >= 8 ? common::kHighBits : common::kHighBits & ~(~uint64_t{0} << (8 * left));
    stray_points |= common::bytes_equal(word, '.') & inside;
    const uint64_t is_mark = common::bytes_equal(word, static_cast<uint8_t>(decimal)) & inside;
    const uint64_t rewritten = word ^ ((is_mark >> 7) * 0xFF & swap);
    std::memcpy(out + at, &rewritten, 8);
  }
  return stray_points != 0 ? text.size() + 1 : text.size();
}

}  // namespace

size_t respell_number(std::string_view text, const NumberSpelling& spelling, char* out) noexcept {
  const size_t failed = text.size() + 1;
  const char* p = text.data();
  const char* const end = p + text.size();
  char* q = out;
  if (p != end && (*p == '+' || *p == '-')) *q++ = *p++;

  // The integer part: digits, and the separators between their groups.
  const char separator = spelling.thousands;
  size_t run = 0;        // digits since the start or the last separator
  bool grouped = false;  // a separator was seen
  for (; p != end; ++p) {
    if (is_digit(*p)) {
      *q++ = *p;
      ++run;
    } else if (separator != 0 && *p == separator) {
      // The first group has 1 to 3 digits, every later one 3.
      if (grouped ? run != 3 : run == 0 || run > 3) return failed;
      grouped = true;
      run = 0;
    } else {
      break;
    }
  }
  if (grouped && run != 3) return failed;

  // The rest: the mark becomes '.', a separator or another '.' is no number.
  for (; p != end; ++p) {
    const char c = *p;
    if (c == spelling.decimal) {
      *q++ = '.';
    } else if (c == '.' || (separator != 0 && c == separator)) {
      return failed;
    } else {
      *q++ = c;
    }
  }
  return static_cast<size_t>(q - out);
}

const std::string_view* RespeltFields::respell(const std::string_view* fields, size_t count,
                                               const NumberSpelling& spelling) {
  // Every rewritten field fits in its own length plus one byte, so the
  // buffer never moves once sized and the views into it stay valid.
  // Whole words are written past a field's end, up to 7 bytes, and zeros
  // after the last one.
  size_t room = 2 * csv::kFieldPadding;
  for (size_t i = 0; i < count; ++i) room += fields[i].size() + 1;
  if (bytes_.size() < room) bytes_.resize(room);
  fields_.resize(count);
  char* at = bytes_.data();
  const bool by_words = spelling.thousands == 0;
  for (size_t i = 0; i < count; ++i) {
    const std::string_view text = fields[i];
    if (text.empty()) {
      fields_[i] = text;
      continue;
    }
    size_t length = by_words && text.size() <= kWordRewrite ? respell_decimal_words(text, spelling.decimal, at)
                                                            : respell_number(text, spelling, at);
    if (length > text.size()) {
      at[0] = kNoNumber;
      length = 1;
    }
    fields_[i] = {at, length};
    at += length;
  }
  std::memset(at, 0, csv::kFieldPadding);
  return fields_.data();
}

}  // namespace fields
