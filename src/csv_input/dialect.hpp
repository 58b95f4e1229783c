// The bytes that give CSV text its structure. The block masks, the
// tokeniser, unescaping, line counts in positions and the cuts between
// parallel segments all compare against these members, so that a reader of
// other delimiters or quotes is a different value, not different code.
#pragma once

#include <cstdint>

namespace csv {

// The default is the comma dialect the converter reads. Each byte must be
// ASCII: the reader takes a run of records that is valid UTF-8 as a whole to
// hold only valid fields, which is true only if no structural byte can fall
// inside a character.
struct Dialect {
  uint8_t delimiter = ',';
  uint8_t quote = '"';             // as a field's first byte, quotes it; doubled inside, is content
  uint8_t carriage_return = '\r';  // ends a record; an LF right after it ends nothing more
  uint8_t line_feed = '\n';        // ends a record, and a line in error positions
};

}  // namespace csv
