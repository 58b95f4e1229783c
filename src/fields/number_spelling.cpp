#include "fields/number_spelling.hpp"

#include "csv_input/row_batch.hpp"

namespace fields {

namespace {

// What a field that is no number becomes: no number in any grammar, and
// not empty, so that it still counts as a value that did not fit.
constexpr char kNoNumber = '#';

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

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
  size_t room = csv::kFieldPadding;
  for (size_t i = 0; i < count; ++i) room += fields[i].size() + 1;
  bytes_.assign(room, 0);
  fields_.resize(count);
  char* at = bytes_.data();
  for (size_t i = 0; i < count; ++i) {
    const std::string_view text = fields[i];
    if (text.empty()) {
      fields_[i] = text;
      continue;
    }
    size_t length = respell_number(text, spelling, at);
    if (length > text.size()) {
      at[0] = kNoNumber;
      length = 1;
    }
    fields_[i] = {at, length};
    at += length;
  }
  return fields_.data();
}

}  // namespace fields
