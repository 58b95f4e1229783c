// Numbers written with a decimal comma or with their digits grouped
// ("1,5", "2,639,808", "1.000,25"), read by rewriting each such field into
// the plain spelling that the field grammars take, so that one grammar
// decides both the column types and the stored values.
//
// The spelt grammar is the plain one with the decimal mark in place of '.'
// and, where a thousands separator is set, the integer part of a number
// (the digits before the mark or the exponent) either ungrouped, or 1 to 3
// digits followed by groups of exactly 3 digits, each preceded by the
// separator. Removing the separators and writing '.' for the mark gives the
// plain text, read as that text would be: the sign, leading zeros, the
// exponent and the words inf, infinity and nan keep their rules. Anything
// else that holds the separator or a '.' that is not the mark is no number.
//
// Plain tables never come here: the rewriting costs a copy of each field.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace fields {

struct NumberSpelling {
  char decimal = '.';
  char thousands = 0;  // 0: digits are not grouped
  // Where not empty, the columns (by position) whose digits may be grouped;
  // the others' are not.
  std::vector<bool> grouped_columns;

  [[nodiscard]] bool plain() const noexcept { return decimal == '.' && thousands == 0; }
  // How the numbers of column `column` are spelt.
  [[nodiscard]] NumberSpelling of_column(size_t column) const {
    const bool grouped = grouped_columns.empty() || (column < grouped_columns.size() && grouped_columns[column]);
    return {decimal, grouped ? thousands : char{0}, {}};
  }
};

// Writes `text`, a number spelt as `spelling` says, in the plain spelling to
// `out` (room for text.size() bytes: rewriting never lengthens it) and
// returns its length; returns text.size() + 1 when the text cannot be a
// number in that spelling. The plain text still has to pass the grammar.
size_t respell_number(std::string_view text, const NumberSpelling& spelling, char* out) noexcept;

// The fields of one column in the plain spelling, for the number grammars:
// a field that is no number in the spelling becomes one that is none in
// the plain spelling either, an empty field stays empty. The fields may be
// read past their end as row batch fields may.
class RespeltFields {
 public:
  // The `count` rewritten fields, valid until the next call.
  const std::string_view* respell(const std::string_view* fields, size_t count, const NumberSpelling& spelling);

 private:
  std::vector<char> bytes_;
  std::vector<std::string_view> fields_;
};

}  // namespace fields
