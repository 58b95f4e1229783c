// The dialect options that reading and writing CSV take from Python, by the
// names of Python's csv module, checked and turned into a csv::Dialect.
#pragma once

#include "binding/python_ref.hpp"
#include "csv_input/dialect.hpp"

namespace binding {

// Each option is null when it was not given, which keeps the default.
struct DialectOptions {
  PyObject* delimiter = nullptr;           // one ASCII character
  PyObject* quotechar = nullptr;           // one ASCII character, or None: no quoting
  PyObject* escapechar = nullptr;          // one ASCII character, or None
  PyObject* comment = nullptr;             // one ASCII character, or None
  PyObject* doublequote = nullptr;         // True or False
  PyObject* newlines_in_values = nullptr;  // True or False
  PyObject* skipinitialspace = nullptr;    // True or False
};

// Sets the given options in `dialect` and checks that it can be read:
// TypeError or ValueError naming the option otherwise, and false.
bool parse_dialect(const DialectOptions& options, csv::Dialect& dialect);

// A True or False option, left as it is when not given (null).
bool flag(PyObject* value, const char* option, bool& result);

}  // namespace binding
