// Python objects for what the reader decodes: the metadata as plain values,
// and columns as Buffers that numpy and Arrow take without a copy.
#pragma once

#include "binding/python_ref.hpp"

#include "qarn/table_reader.hpp"

namespace binding {

// A value of the metadata as the Python value of its type.
PyObject* metadata_value(const qarn::MetadataValue& value);

// {"version", "table_properties", "definitions", "column_values", "names", "types"}.
PyObject* head_dict(const qarn::FileHead& head);

// (type id, fixed values, offsets, data, offset width): Buffers, or None
// where the type has no such part; offsets are int32 or int64 by the width
// (4 or 8). Takes over the column's bytes.
PyObject* value_column_tuple(PyTypeObject* buffer_type, qarn::ValueColumn& column);

// [(name, encoding, values tuple)] for a slice's value properties.
PyObject* properties_list(PyTypeObject* buffer_type, std::vector<qarn::SliceProperty>& properties);

// Adds to `dict` what the slices held: "slice_rows", "columns" (a
// list with None for columns not read, else (values tuple, invalid flags
// Buffer or None)), "slice_properties" ({(slice, column): list}) and
// "slice_has_invalid" (bytes, slices x columns). Takes over the columns'
// bytes. False with a Python error set on failure.
bool add_slices(PyObject* dict, PyTypeObject* buffer_type, qarn::DecodedSlices& slices);

// The head's entries and the slices'.
PyObject* table_dict(PyTypeObject* buffer_type, qarn::DecodedTable& table);

}  // namespace binding
