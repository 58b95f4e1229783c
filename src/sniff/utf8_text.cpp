#include "sniff/utf8_text.hpp"

#include <algorithm>
#include <cstring>

#include "common/utf8.hpp"
#include "sniff/unicode_classes.hpp"

namespace sniff {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// How long the valid sequence at `at` is, or 0 with `subpart` set to the
// length of its maximal subpart (the bytes that one U+FFFD replaces).
size_t sequence_length(std::string_view text, size_t at, size_t& subpart) noexcept {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    subpart = 1;
    return 0;
  }
  size_t i = 1;
  for (; i < length && at + i < text.size(); ++i) {
    const unsigned char next = byte(at + i);
    if (i == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) break;
  }
  if (i == length) return length;
  subpart = i;
  return 0;
}

bool is_line_end(char c) noexcept { return c == '\n' || c == '\r'; }
bool is_ascii_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::string with_replacements(std::string_view bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t valid = common::utf8_valid_prefix(data, bytes.size());
  if (valid == bytes.size()) return std::string(bytes);
  std::string out(bytes.substr(0, valid));
  size_t at = valid;
  while (at < bytes.size()) {
    if (static_cast<unsigned char>(bytes[at]) < 0x80) {
      out += bytes[at++];
      continue;
    }
    size_t subpart = 0;
    const size_t length = sequence_length(bytes, at, subpart);
    if (length > 0) {
      out.append(bytes.substr(at, length));
      at += length;
    } else {
      out.append(kReplacement);
      at += subpart;
    }
  }
  return out;
}

std::string_view strip(std::string_view text) noexcept {
  // Most fields have no white space at either end, and most are ASCII.
  if (text.empty() || (static_cast<unsigned char>(text.front()) > ' ' && static_cast<unsigned char>(text.front()) < 0x80 &&
                       static_cast<unsigned char>(text.back()) > ' ' && static_cast<unsigned char>(text.back()) < 0x80)) {
    return text;
  }
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    if (!is_space(next_code_point(text, next))) break;
    begin = next;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t previous = end;
    if (!is_space(previous_code_point(text, previous))) break;
    end = previous;
  }
  return text.substr(begin, end - begin);
}

bool is_blank_bytes(std::string_view text) noexcept { return std::all_of(text.begin(), text.end(), is_ascii_space); }

std::string_view strip_bytes(std::string_view text) noexcept {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_ascii_space(text[begin])) ++begin;
  while (end > begin && is_ascii_space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

size_t lines_before(std::string_view text, size_t offset) noexcept {
  size_t lines = 0;
  for (size_t at = find_line_end(text, 0); at < offset; at = find_line_end(text, at + 1)) {
    ++lines;
    // A CR LF counts once, as its CR: the LF is skipped when before `offset`.
    if (text[at] == '\r' && at + 1 < offset && text[at + 1] == '\n') ++at;
  }
  return lines;
}

size_t find_line_end(std::string_view text, size_t from) noexcept {
  if (from >= text.size()) return std::string_view::npos;
  const char* start = text.data() + from;
  const size_t length = text.size() - from;
  const void* lf = std::memchr(start, '\n', length);
  const size_t before_lf = lf == nullptr ? length : static_cast<size_t>(static_cast<const char*>(lf) - start);
  const void* cr = std::memchr(start, '\r', before_lf);
  if (cr != nullptr) return from + static_cast<size_t>(static_cast<const char*>(cr) - start);
  return lf == nullptr ? std::string_view::npos : from + before_lf;
}

size_t find_last_line_end(std::string_view text) noexcept {
  const void* lf = memrchr(text.data(), '\n', text.size());
  const size_t after_lf = lf == nullptr ? 0 : static_cast<size_t>(static_cast<const char*>(lf) - text.data()) + 1;
  const void* cr = memrchr(text.data() + after_lf, '\r', text.size() - after_lf);
  if (cr != nullptr) return static_cast<size_t>(static_cast<const char*>(cr) - text.data());
  return lf == nullptr ? std::string_view::npos : after_lf - 1;
}

size_t lines_from(std::string_view text, size_t start) noexcept {
  const size_t total = lines_before(text, text.size()) + (text.empty() || is_line_end(text.back()) ? 0 : 1);
  return total - lines_before(text, start);
}

std::string_view whole_lines(std::string_view text) noexcept {
  const size_t last = find_last_line_end(text);
  return last == std::string_view::npos ? text.substr(0, 0) : text.substr(0, last + 1);
}

std::string_view after_first_line(std::string_view text) noexcept {
  const size_t first = find_line_end(text, 0);
  return first == std::string_view::npos ? text.substr(text.size()) : text.substr(first + 1);
}

}  // namespace sniff
