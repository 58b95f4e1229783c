// The functions of the module `qarn._native`, as its method table takes
// them. Each binds its arguments, runs the native work (without the
// interpreter lock where it touches no Python object) and turns the result
// into Python objects; see `_native.pyi` for their Python signatures.
#pragma once

#include "binding/python_ref.hpp"

#include <cstdint>
#include <vector>

namespace binding {

// Reading QARN files (read_functions.cpp).
PyObject* read(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* read_head(PyObject* module, PyObject* source);
PyObject* summarize(PyObject* module, PyObject* source);
PyObject* validate(PyObject* module, PyObject* source);

// Decoded columns back to CSV, strings to Python objects or to views (csv_functions.cpp).
PyObject* to_csv(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* elements(PyObject* module, PyObject* args);

// Decoded string columns in Arrow's view layout, on several threads
// (views_function.cpp).
PyObject* string_views(PyObject* module, PyObject* args);

// CSV to QARN on several threads (convert_function.cpp).
PyObject* convert(PyObject* module, PyObject* args, PyObject* kwargs);

// The dialect of a sample of CSV text, and the sniffer's matchers for its
// tests (sniff_function.cpp).
PyObject* sniff_text(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* sniff_pattern(PyObject* module, PyObject* args, PyObject* kwargs);

// Single-byte encoded text as UTF-8 (transcode_function.cpp).
PyObject* transcode(PyObject* module, PyObject* args);
PyObject* utf8_valid(PyObject* module, PyObject* source);

// Columns in Arrow's or numpy's layout as QARN bytes (write_function.cpp).
PyObject* write_table(PyObject* module, PyObject* args, PyObject* kwargs);

// The SliceReader type (slice_reader.cpp).
PyTypeObject* make_slice_reader_type(PyObject* module);

// Column flags from a bytes-like object, or none (all columns) for None.
bool read_selection(PyObject* object, std::vector<uint8_t>& selected);

}  // namespace binding
