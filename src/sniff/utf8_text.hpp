// Fields and samples as the sniffer reads them: fields as text whose
// undecodable bytes became U+FFFD, with Python's strip(), and lines of a
// sample counted as the reader counts them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sniff {

// `bytes` with every invalid or cut-short UTF-8 sequence replaced by U+FFFD,
// one for each maximal subpart, as Python's decode(errors="replace") does:
// a sample may end inside a character, and a wrong dialect may split one.
std::string with_replacements(std::string_view bytes);

// The code point at `at` of valid UTF-8, and `at` moved past it.
inline char32_t next_code_point(std::string_view text, size_t& at) noexcept {
  const auto byte = [&](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[i])); };
  const char32_t lead = byte(at);
  if (lead < 0x80) {
    at += 1;
    return lead;
  }
  if (lead < 0xE0) {
    const char32_t code = ((lead & 0x1F) << 6) | (byte(at + 1) & 0x3F);
    at += 2;
    return code;
  }
  if (lead < 0xF0) {
    const char32_t code = ((lead & 0x0F) << 12) | ((byte(at + 1) & 0x3F) << 6) | (byte(at + 2) & 0x3F);
    at += 3;
    return code;
  }
  const char32_t code = ((lead & 0x07) << 18) | ((byte(at + 1) & 0x3F) << 12) | ((byte(at + 2) & 0x3F) << 6) |
                        (byte(at + 3) & 0x3F);
  at += 4;
  return code;
}

// The code point that ends at `end` of valid UTF-8, and `end` moved to its start.
inline char32_t previous_code_point(std::string_view text, size_t& end) noexcept {
  size_t start = end - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  size_t at = start;
  const char32_t code = next_code_point(text, at);
  end = start;
  return code;
}

// Valid UTF-8 text without white space (str.isspace) at either end.
std::string_view strip(std::string_view text) noexcept;

// Whether only ASCII white space (bytes.strip()) is in the text.
bool is_blank_bytes(std::string_view text) noexcept;
// The text without ASCII white space at either end, as bytes.strip().
std::string_view strip_bytes(std::string_view text) noexcept;

// How many lines end before `offset`: each LF, CR or CR LF ends one.
size_t lines_before(std::string_view text, size_t offset) noexcept;
// How many lines the text holds from `start` on; a final line end starts none.
size_t lines_from(std::string_view text, size_t start) noexcept;
// The text up to its last line end: no line cut short.
std::string_view whole_lines(std::string_view text) noexcept;
// The text after its first line end: the lines of a part of an input that
// begins inside a line.
std::string_view after_first_line(std::string_view text) noexcept;
// The first LF or CR at or after `from`, or npos.
size_t find_line_end(std::string_view text, size_t from) noexcept;
// The last LF or CR, or npos.
size_t find_last_line_end(std::string_view text) noexcept;

// The text split at LF, CR and CR LF, as bytes.splitlines(): at most `limit` lines.
template <class Visit>
void split_lines(std::string_view text, size_t limit, const Visit& visit) {
  size_t at = 0;
  for (size_t lines = 0; at < text.size() && lines < limit; ++lines) {
    const size_t end = find_line_end(text, at);
    if (end == std::string_view::npos) {
      visit(text.substr(at));
      return;
    }
    visit(text.substr(at, end - at));
    at = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
}

}  // namespace sniff
