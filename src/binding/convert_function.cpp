// convert: CSV to QARN on several threads, without the interpreter lock,
// into the `bytes` object that is returned, in any dialect and table layout.
#include <string>

#include "binding/bytes_conversion.hpp"
#include "binding/counts.hpp"
#include "binding/dialect_options.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "convert/parallel_driver.hpp"

namespace binding {

namespace {

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
  DialectOptions dialect;  // options not given keep the comma dialect's
  PyObject *skip_object = nullptr, *header = nullptr, *names_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOI|$OOOOOOOOO:convert", const_cast<char**>(keywords),
                                   &source, &chunk_object, &sample_object, &threads, &dialect.delimiter,
                                   &dialect.quotechar, &dialect.escapechar, &dialect.doublequote,
                                   &dialect.newlines_in_values, &dialect.comment, &skip_object, &header,
                                   &names_object)) {
    return nullptr;
  }
  uint64_t chunk_size = 0, sample_rows = 0;
  convert::ConvertOptions options;
  csv::TableLayout& layout = options.layout;
  if (!to_count(chunk_object, chunk_size) || !to_count(sample_object, sample_rows) ||
      !parse_dialect(dialect, layout.dialect) || !flag(header, "header", layout.header) ||
      (skip_object != nullptr && !to_count(skip_object, layout.skip_rows)) ||
      !to_column_names(names_object, options.column_names)) {
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
