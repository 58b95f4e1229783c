// The bytes that give CSV text its structure. The block masks, the
// tokeniser, unescaping, line counts in positions and the cuts between
// parallel segments all compare against these members, so that a reader of
// other delimiters or quotes is a different value, not different code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>

namespace csv {

// The default is the comma dialect the converter reads. Each byte must be
// ASCII: the reader takes a run of records that is valid UTF-8 as a whole to
// hold only valid fields, which is true only if no structural byte can fall
// inside a character.
struct Dialect {
  uint8_t delimiter = ',';
  uint8_t quote = '"';             // as a field's first byte, quotes it; doubled inside, is content
  uint8_t escape = '\\';           // makes the byte after it content, anywhere in a record
  uint8_t comment = '#';           // as a record's first byte, makes its line a comment
  uint8_t carriage_return = '\r';  // ends a record; an LF right after it ends nothing more
  uint8_t line_feed = '\n';        // ends a record, and a line in error positions
  bool quoting = true;             // false: the quote byte is content everywhere
  bool escaping = false;           // whether `escape` is special
  bool comments = false;           // whether `comment` is special
  bool doublequote = true;         // false: a doubled quote closes the field, the second is content
  bool newlines_in_values = true;  // false: a line end inside quotes closes the field and the record
  bool skip_initial_space = false;  // spaces where a field or record would begin are skipped

  // Whether the block masks need the escape, comment or space bytes.
  [[nodiscard]] bool has_extra_bytes() const noexcept { return escaping || comments || skip_initial_space; }
  // Whether a space where a field would begin is skipped: the dialect skips
  // them, and no role but the delimiter's makes a space special.
  [[nodiscard]] bool skips_spaces() const noexcept {
    return skip_initial_space && !(quoting && quote == ' ') && !(escaping && escape == ' ') &&
           !(comments && comment == ' ');
  }
  // Whether a delimiter where a field would begin is skipped: a space
  // delimiter with skipped spaces, where runs of spaces separate fields.
  [[nodiscard]] bool skips_delimiters() const noexcept { return skip_initial_space && delimiter == ' '; }
};

// Why the dialect cannot be read, or nothing: every structural byte must be
// ASCII and differ from the others.
inline std::optional<std::string> dialect_problem(const Dialect& d) {
  struct Role {
    const char* name;
    uint8_t byte;
    bool used;
  };
  const Role roles[] = {
      {"delimiter", d.delimiter, true},        {"quotechar", d.quote, d.quoting},
      {"escapechar", d.escape, d.escaping},    {"comment", d.comment, d.comments},
      {"line end", d.carriage_return, true},   {"line end", d.line_feed, true},
  };
  for (const Role& role : roles) {
    if (role.used && role.byte >= 0x80) return std::string(role.name) + " must be an ASCII character";
  }
  for (size_t i = 0; i < std::size(roles); ++i) {
    for (size_t j = i + 1; j < std::size(roles); ++j) {
      if (roles[i].used && roles[j].used && roles[i].byte == roles[j].byte) {
        return std::string(roles[i].name) + " and " + roles[j].name + " must differ";
      }
    }
  }
  return std::nullopt;
}

}  // namespace csv
