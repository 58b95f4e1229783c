#include "binding/dialect_options.hpp"

namespace binding {

namespace {

// A character option: its byte and whether it is used (None: not used);
// left as it is when not given (null).
bool character(PyObject* value, const char* option, bool may_be_none, uint8_t& byte, bool& used) {
  if (value == nullptr) return true;
  if (value == Py_None && may_be_none) {
    used = false;
    return true;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a string%s, not %.100s", option, may_be_none ? " or None" : "",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (PyUnicode_GET_LENGTH(value) != 1 || PyUnicode_READ_CHAR(value, 0) >= 0x80) {
    PyErr_Format(PyExc_ValueError, "%s must be a single ASCII character, not %R", option, value);
    return false;
  }
  byte = static_cast<uint8_t>(PyUnicode_READ_CHAR(value, 0));
  used = true;
  return true;
}

}  // namespace

bool flag(PyObject* value, const char* option, bool& result) {
  if (value == nullptr) return true;
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be True or False, not %.100s", option, Py_TYPE(value)->tp_name);
    return false;
  }
  result = value == Py_True;
  return true;
}

bool parse_dialect(const DialectOptions& options, csv::Dialect& dialect) {
  bool delimiter_used = true;
  if (!character(options.delimiter, "delimiter", false, dialect.delimiter, delimiter_used) ||
      !character(options.quotechar, "quotechar", true, dialect.quote, dialect.quoting) ||
      !character(options.escapechar, "escapechar", true, dialect.escape, dialect.escaping) ||
      !character(options.comment, "comment", true, dialect.comment, dialect.comments) ||
      !flag(options.doublequote, "doublequote", dialect.doublequote) ||
      !flag(options.newlines_in_values, "newlines_in_values", dialect.newlines_in_values) ||
      !flag(options.skipinitialspace, "skipinitialspace", dialect.skip_initial_space)) {
    return false;
  }
  if (auto problem = csv::dialect_problem(dialect)) {
    PyErr_SetString(PyExc_ValueError, problem->c_str());
    return false;
  }
  return true;
}

}  // namespace binding
