// convert: CSV to QARN on several threads, without the interpreter lock,
// into the `bytes` object that is returned, in any dialect and table layout.
#include <string>

#include "binding/bytes_conversion.hpp"
#include "binding/counts.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "convert/parallel_driver.hpp"

namespace binding {

namespace {

// A one-character str of an ASCII character as its byte, or None (when
// `none_allowed`) as no byte; false with ValueError or TypeError set.
bool to_dialect_byte(PyObject* object, const char* name, bool none_allowed, uint8_t& byte, bool& present) {
  present = object != Py_None;
  if (!present) {
    if (none_allowed) return true;
    PyErr_Format(PyExc_TypeError, "%s must be a 1-character string, not None", name);
    return false;
  }
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be a 1-character string, not %.100s", name, Py_TYPE(object)->tp_name);
    return false;
  }
  if (PyUnicode_GetLength(object) != 1 || PyUnicode_ReadChar(object, 0) >= 0x80) {
    PyErr_Format(PyExc_ValueError, "%s must be a single ASCII character, not %R", name, object);
    return false;
  }
  byte = static_cast<uint8_t>(PyUnicode_ReadChar(object, 0));
  return true;
}

// A list or tuple of str as the column names, each as UTF-8.
bool to_column_names(PyObject* object, std::optional<std::vector<std::string>>& names) {
  if (object == Py_None) return true;
  Ref sequence(PySequence_Fast(object, "column_names must be a list of strings"));
  if (!sequence) return false;
  std::vector<std::string>& out = names.emplace();
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "column_names must be strings, not %.100s", Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) return false;
    out.emplace_back(text, static_cast<size_t>(size));
  }
  return true;
}

}  // namespace

PyObject* convert(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "chunk_size", "sample_rows", "threads", "delimiter", "quotechar",
                                   "escapechar", "doublequote", "newlines_in_values", "comment",
                                   "skip_rows", "header", "column_names", nullptr};
  PyObject *source, *chunk_object, *sample_object;
  unsigned int threads = 1;
  // Options not given keep the defaults of the comma dialect.
  PyObject *delimiter = nullptr, *quotechar = nullptr, *escapechar = Py_None, *comment = Py_None;
  PyObject *skip_object = nullptr, *names_object = Py_None;
  int doublequote = 1, newlines_in_values = 1, header = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOI|$OOOppOOpO:convert", const_cast<char**>(keywords),
                                   &source, &chunk_object, &sample_object, &threads, &delimiter, &quotechar,
                                   &escapechar, &doublequote, &newlines_in_values, &comment, &skip_object,
                                   &header, &names_object)) {
    return nullptr;
  }
  uint64_t chunk_size = 0, sample_rows = 0;
  if (!to_count(chunk_object, chunk_size) || !to_count(sample_object, sample_rows)) return nullptr;
  convert::ConvertOptions options;
  csv::TableLayout& layout = options.layout;
  csv::Dialect& dialect = layout.dialect;
  bool has_delimiter = true;
  if ((delimiter != nullptr && !to_dialect_byte(delimiter, "delimiter", false, dialect.delimiter, has_delimiter)) ||
      (quotechar != nullptr && !to_dialect_byte(quotechar, "quotechar", true, dialect.quote, dialect.quoting)) ||
      !to_dialect_byte(escapechar, "escapechar", true, dialect.escape, dialect.escaping) ||
      !to_dialect_byte(comment, "comment", true, dialect.comment, dialect.comments) ||
      (skip_object != nullptr && !to_count(skip_object, layout.skip_rows)) ||
      !to_column_names(names_object, options.column_names)) {
    return nullptr;
  }
  if (!dialect.quoting) dialect.quote = '"';  // not special, but a byte the scan compares against
  dialect.doublequote = doublequote != 0;
  dialect.newlines_in_values = newlines_in_values != 0;
  layout.header = header != 0;
  if (auto problem = csv::dialect_problem(dialect)) {
    PyErr_SetString(PyExc_ValueError, problem->c_str());
    return nullptr;
  }
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  const NativeState& state = native_state(module);
  return convert_to_bytes(
      Lock::Released,
      [&](common::ByteBuffer& out) {
        return convert::convert_csv_to_qarn_parallel(view.bytes(), chunk_size, sample_rows, threads, out,
                                                     options);
      },
      [&] { return state.panics(); });
}

}  // namespace binding
