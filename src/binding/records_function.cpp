// records: the first records of a sample of CSV text as the converter's
// reader reads them in a dialect, for guessing a file's dialect. Either each
// record's field count, which is cheap enough to try many dialects, or its
// fields as text, for the few dialects worth a closer look.
#include <string>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/dialect_options.hpp"
#include "binding/failures.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "csv_input/csv_reader.hpp"

namespace binding {

namespace {

struct SampleRecord {
  size_t start = 0;  // the record's first byte, past blank and comment lines
  size_t field_count = 0;
  std::vector<std::string> fields;  // only when asked for
};

std::vector<SampleRecord> read_records(std::span<const uint8_t> text, const csv::Dialect& dialect, size_t limit,
                                       bool with_fields) {
  std::vector<SampleRecord> records;
  if (limit == 0) return records;
  csv::TableLayout layout;
  layout.dialect = dialect;
  const csv::CsvReader reader(text, layout);
  if (!with_fields) {
    reader.visit_field_counts(0, [&](size_t where, size_t fields) {
      records.push_back(SampleRecord{where, fields, {}});
      return records.size() < limit;
    });
    return records;
  }
  reader.visit_records(0, [&](size_t where, std::vector<std::string>& fields) {
    records.push_back(SampleRecord{where, fields.size(), std::move(fields)});
    return records.size() < limit;
  });
  return records;
}

// A sample may end inside a character, and a field of a wrong dialect may
// split one: such bytes become U+FFFD rather than an error.
PyObject* text_object(const std::string& field) {
  return PyUnicode_DecodeUTF8(field.data(), static_cast<Py_ssize_t>(field.size()), "replace");
}

PyObject* record_object(const SampleRecord& record, bool with_fields) {
  if (!with_fields) return Py_BuildValue("(nn)", record.start, record.field_count);
  Ref fields(PyList_New(static_cast<Py_ssize_t>(record.fields.size())));
  if (!fields) return nullptr;
  for (size_t i = 0; i < record.fields.size(); ++i) {
    PyObject* field = text_object(record.fields[i]);
    if (field == nullptr) return nullptr;
    PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), field);
  }
  return Py_BuildValue("(nO)", record.start, fields.get());
}

}  // namespace

PyObject* records(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"",           "",           "fields",      "delimiter",          "quotechar",
                                   "escapechar", "doublequote", "newlines_in_values", "comment", nullptr};
  PyObject* source = nullptr;
  Py_ssize_t limit = 0;
  int with_fields = 0;
  DialectOptions options;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On|$pOOOOOO:records", const_cast<char**>(keywords), &source,
                                   &limit, &with_fields, &options.delimiter, &options.quotechar,
                                   &options.escapechar, &options.doublequote, &options.newlines_in_values,
                                   &options.comment)) {
    return nullptr;
  }
  if (limit < 0) {
    PyErr_SetString(PyExc_ValueError, "limit must be 0 or more");
    return nullptr;
  }
  csv::Dialect dialect;
  if (!parse_dialect(options, dialect)) return nullptr;
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  const NativeState& state = native_state(module);
  return guarded(state.panics(), [&]() -> PyObject* {
    std::vector<SampleRecord> found;
    if (!run_unlocked(state.panics(), [&] {
          found = read_records(view.bytes(), dialect, static_cast<size_t>(limit), with_fields != 0);
        })) {
      return nullptr;
    }
    Ref list(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < found.size(); ++i) {
      PyObject* record = record_object(found[i], with_fields != 0);
      if (record == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record);
    }
    return list.release();
  });
}

}  // namespace binding
