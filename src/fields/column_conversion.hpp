// Turns the text fields of one column into the values of its type: a value
// array with one element per field, and the "IsInvalid" bits of the fields
// that do not fit the type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fields/column_type.hpp"
#include "fields/number_spelling.hpp"
#include "qarn/slice_writer.hpp"
#include "qarn/value.hpp"

namespace fields {

// The rows, counted from the first field converted, of the fields that held
// text their column's type could not take: what was lost, rather than left
// empty.
using MisfitRows = std::vector<uint32_t>;

// Appends `count` fields to a column of `type`, whose values are stored in
// `values`: every field yields an element; one that does not fit the type
// yields the type's default and sets its row's bit in `invalid`, and its row
// goes into `misfits` unless it was empty. Returns whether any was invalid.
// Numbers are read as `spelling` says; `respelt` holds their plain spelling
// meanwhile when it is not the plain one.
bool convert_column(const std::string_view* fields, size_t count, ColumnType type, qarn::ValueObject& values,
                    qarn::BitArray& invalid, MisfitRows& misfits);
bool convert_column(const std::string_view* fields, size_t count, ColumnType type, qarn::ValueObject& values,
                    qarn::BitArray& invalid, MisfitRows& misfits, const NumberSpelling& spelling,
                    RespeltFields& respelt);

// Where the elements of some rows of a `string` column begin: those whose
// row, counted from the first of all, is a multiple of `every`.
struct ElementMarks {
  size_t first_row;  // the row of the first field converted
  size_t every;
  std::vector<size_t>& starts;
};

// convert_column for a `string` column, adding to `marks.starts` where the
// elements of the marked rows among these begin.
bool convert_marked_strings(const std::string_view* fields, size_t count, qarn::ValueObject& values,
                            qarn::BitArray& invalid, ElementMarks marks);

}  // namespace fields
