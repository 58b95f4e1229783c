// What a column's values have in common (a type, a shape of text, or
// nothing), and how a row's fields compare with their columns: the votes
// that tell a header row from data, and notes from rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sniff/cell_kind.hpp"
#include "sniff/sample_records.hpp"

namespace sniff {

struct Kind {
  enum class Of : uint8_t { Nothing, Type, Shape };
  Of of = Of::Nothing;
  Cell cell = Cell::Text;  // the type, for Of::Type
  std::string shape;       // for Of::Shape (see `shape`)

  [[nodiscard]] bool typed() const noexcept { return of == Of::Type; }
  bool operator==(const Kind&) const = default;
};

using Kinds = std::vector<Kind>;

// Each column's kind, from the records of usual length among
// records[begin, end) after the few that may be header rows (none
// when `skip_header` is false): a type most of its values have, or a shape
// of text with digits or signs that most have.
Kinds column_kinds(const Records& records, const std::vector<size_t>& counts, size_t begin, size_t end,
                   size_t columns, bool skip_header = true);

// Text where a column holds values of a type.
bool header_like(const Fields& fields, const Kinds& kinds);
// Every field of a typed column is such a value or missing.
bool fits(const Fields& fields, const Kinds& kinds);

struct Votes {
  long unlike = 0;  // fields unlike their column's values
  long like = 0;
};
// A type counts twice what a shape of text does: a number in a column of
// numbers says more than a word over codes.
Votes votes(const Fields& fields, const Kinds& kinds);
// Above 0, the row reads as a header; below, as data.
inline long header_leaning(const Fields& fields, const Kinds& kinds) {
  const Votes v = votes(fields, kinds);
  return v.unlike - v.like;
}

}  // namespace sniff
