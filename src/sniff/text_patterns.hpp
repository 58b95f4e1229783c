// Patterns looked for in a sample's bytes: quotes at the start of fields,
// quotes that are part of values rather than around them, and the runs of
// blank lines that split a sample into blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace sniff {

// The characters before a quote that make it open a field: a line end or a
// usual delimiter.
inline constexpr std::string_view kFieldStartBytes = "\n\r,;\t| :";

// Whether `quote` follows one of `before` somewhere in the text.
bool follows_any(std::string_view text, std::string_view before, char quote) noexcept;

// Whether, in lines that each begin with a LF, a quote at a field's start
// (after the LF or the delimiter) is followed on its line by text of the
// same field after its closing quote, or by no closing quote at all.
bool quote_closes_before_text(std::string_view lines, char delimiter, char quote) noexcept;

// Whether every quote that opens a field closes (a doubled quote being one
// inside) right before the delimiter, a line end or the end of the text,
// and some field so quoted holds a line end.
bool quoted_line_ends_close(std::string_view text, char delimiter, char quote) noexcept;

// Whether every quote that opens a field closes (a doubled quote being one
// inside) right before the delimiter, a line end or the end of the text.
bool quoted_fields_close(std::string_view text, char delimiter, char quote) noexcept;

// How the quotes that spaces at a field's start would let open fields
// (were the spaces skipped) read: all close right before a separator, over
// line ends only where `line_ends_inside` (Clean); some close before more
// text on their own line, as in `"Lyon" brand` (Tails); or some never
// close, close on a later line before more text, or hold a line end where
// none may (Stray: an apostrophe, a stray quote).
enum class SpacedQuotes : uint8_t { Clean, Tails, Stray };
SpacedQuotes spaced_quotes(std::string_view text, char delimiter, char quote, bool line_ends_inside) noexcept;

// Whether a quoted field in the text (which begins with a LF; lines may
// end in CR alone) needs its quotes: it holds the delimiter, a line end, or
// a doubled or escaped quote.
// Without `strays_too`, only fields the quote closes count: a quote that
// never closes, or closes before more text, needs nothing.
bool quotes_needed(std::string_view text, char delimiter, char quote, bool strays_too = true) noexcept;

// Where each run of blank lines (line ends with nothing but spaces and tabs
// between them, a line end first) ends, among the first `end` bytes.
std::vector<size_t> blank_line_ends(std::string_view text, size_t end);

}  // namespace sniff
