// to_csv and elements: decoded columns handed back from Python, written as
// CSV in the dialect asked for, or turned into Python strings and bytes.
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/dialect_options.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "csv_input/dialect.hpp"
#include "csv_output/csv_writer.hpp"
#include "csv_output/table_to_csv.hpp"
#include "fields/column_type.hpp"
#include "qarn/array_reader.hpp"

namespace binding {

namespace {

// A part of a column handed in from Python: None, or a buffer at least
// `needed` bytes long.
bool column_part(PyObject* object, size_t needed, std::deque<BufferView>& views,
                 const uint8_t*& data, size_t& size) {
  data = nullptr;
  size = 0;
  if (object == Py_None) return true;
  BufferView& view = views.emplace_back();
  if (!view.acquire(object)) return false;
  data = view.bytes().data();
  size = view.bytes().size();
  if (size < needed) {
    PyErr_SetString(PyExc_ValueError, "column buffer shorter than its rows");
    return false;
  }
  return true;
}

// Offsets must rise from 0 and stay within the data; otherwise ValueError.
bool check_offsets(const qarn::OffsetsView& offsets, uint64_t rows, size_t data_size) {
  if (offsets.well_formed(rows, data_size)) return true;
  PyErr_SetString(PyExc_ValueError, "column offsets out of order");
  return false;
}

bool valid_width(int width) {
  if (width == 4 || width == 8) return true;
  PyErr_SetString(PyExc_ValueError, "offsets are 4 or 8 bytes wide");
  return false;
}

// The "LogicalType" of a column, as text: only the dates and timestamps
// that conversion writes change how a column is written.
bool to_calendar(PyObject* logical_type, csv_output::Calendar& calendar) {
  using csv_output::Calendar;
  if (logical_type == Py_None) return true;
  if (!PyUnicode_Check(logical_type)) {
    PyErr_SetString(PyExc_TypeError, "a column's logical type is a str or None");
    return false;
  }
  using fields::ColumnType;
  static constexpr std::pair<ColumnType, Calendar> kMeanings[] = {{ColumnType::Date, Calendar::Date},
                                                                  {ColumnType::Timestamp, Calendar::Timestamp},
                                                                  {ColumnType::TimestampUtc, Calendar::TimestampUtc}};
  for (const auto& [type, meaning] : kMeanings) {
    // The names are literals, so their views end in NUL.
    if (PyUnicode_CompareWithASCIIString(logical_type, fields::logical_type(type).data()) == 0) calendar = meaning;
  }
  return true;
}

bool parse_csv_column(PyObject* item, uint64_t rows, std::deque<BufferView>& views,
                      csv_output::CsvColumn& column) {
  int type_id = 0;
  int width = 8;
  PyObject *fixed, *offsets, *data, *invalid, *logical_type = Py_None;
  if (!PyArg_ParseTuple(item, "iOOOiO|O:column", &type_id, &fixed, &offsets, &data, &width, &invalid,
                        &logical_type) ||
      !valid_width(width) || !to_calendar(logical_type, column.calendar)) {
    return false;
  }
  uint8_t type_byte = static_cast<uint8_t>(type_id);
  qarn::TypeId type{};
  if (type_id < 0 || type_id > 0xFF || qarn::to_type_id(type_byte, 0, type)) {
    PyErr_Format(PyExc_ValueError, "unknown type id %d", type_id);
    return false;
  }
  column.type = type;
  const bool variable = qarn::is_variable_width(type);
  const uint8_t* bytes = nullptr;
  size_t size = 0, data_size = 0;
  if (!column_part(fixed, variable ? 0 : rows * qarn::fixed_width(type), views, column.fixed, size) ||
      !column_part(offsets, variable ? (rows + 1) * static_cast<size_t>(width) : 0, views, bytes, size) ||
      !column_part(data, 0, views, column.data, data_size) ||
      !column_part(invalid, rows, views, column.invalid, size)) {
    return false;
  }
  if (variable) {
    if (bytes == nullptr) {
      PyErr_SetString(PyExc_ValueError, "variable-width column without offsets");
      return false;
    }
    column.offsets = qarn::OffsetsView(bytes, static_cast<size_t>(width));
    if (!check_offsets(column.offsets, rows, data_size)) return false;
  } else if (column.fixed == nullptr && rows > 0) {
    PyErr_SetString(PyExc_ValueError, "fixed-width column without values");
    return false;
  }
  return true;
}

bool line_end_option(PyObject* value, std::string_view& line_end) {
  if (value == nullptr) return true;
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "lineterminator must be a string, not %.100s", Py_TYPE(value)->tp_name);
    return false;
  }
  for (const std::string_view known : {"\n", "\r\n", "\r"}) {
    if (PyUnicode_CompareWithASCIIString(value, known.data()) == 0) {
      line_end = known;  // a literal, which outlives the layout
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "lineterminator must be '\\n', '\\r\\n' or '\\r', not %R", value);
  return false;
}

// The layout to_csv's keyword options ask for (each null when absent);
// false with a Python error set.
bool parse_layout(const DialectOptions& dialect, PyObject* lineterminator, PyObject* header,
                  csv_output::CsvLayout& layout) {
  return parse_dialect(dialect, layout.dialect) && line_end_option(lineterminator, layout.line_end) &&
         flag(header, "header", layout.header);
}

}  // namespace

PyObject* to_csv(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"", "", "", "delimiter", "quotechar", "escapechar", "doublequote",
                                   "lineterminator", "header", nullptr};
  PyObject* names_object = nullptr;
  PyObject* columns_object = nullptr;
  unsigned long long rows = 0;
  DialectOptions dialect;
  PyObject *lineterminator = nullptr, *header = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!K|$OOOOOO:to_csv", const_cast<char**>(keywords),
                                   &PyList_Type, &names_object, &PyList_Type, &columns_object, &rows,
                                   &dialect.delimiter, &dialect.quotechar, &dialect.escapechar,
                                   &dialect.doublequote, &lineterminator, &header)) {
    return nullptr;
  }
  csv_output::CsvLayout layout;
  if (!parse_layout(dialect, lineterminator, header, layout)) return nullptr;
  // Tuples of the items hold the names and columns while a buffer export
  // may run Python code that changes the lists.
  const Ref name_items(PyList_AsTuple(names_object));
  const Ref column_items(name_items ? PyList_AsTuple(columns_object) : nullptr);
  if (!column_items) return nullptr;
  const Py_ssize_t count = PyTuple_GET_SIZE(name_items.get());
  if (PyTuple_GET_SIZE(column_items.get()) != count) {
    PyErr_SetString(PyExc_ValueError, "one column per name");
    return nullptr;
  }
  // The sizes below are rows times at most 16 bytes; beyond this they would wrap.
  if (rows >= SIZE_MAX / 16) {
    PyErr_SetString(PyExc_ValueError, "more rows than memory can hold");
    return nullptr;
  }
  const NativeState& state = native_state(module);
  return guarded(state.panics(), [&]() -> PyObject* {
    std::vector<std::string_view> names;
    std::vector<csv_output::CsvColumn> columns(static_cast<size_t>(count));
    std::deque<BufferView> views;
    for (Py_ssize_t i = 0; i < count; ++i) {
      Py_ssize_t length = 0;
      const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(name_items.get(), i), &length);
      if (name == nullptr) return nullptr;
      names.emplace_back(name, static_cast<size_t>(length));
      if (!parse_csv_column(PyTuple_GET_ITEM(column_items.get(), i), rows, views,
                            columns[static_cast<size_t>(i)])) {
        return nullptr;
      }
    }
    common::ByteBuffer out;
    std::optional<std::string> problem;
    if (!run_unlocked(state.panics(),
                      [&] { problem = csv_output::table_to_csv(names, columns, rows, out, layout); })) {
      return nullptr;
    }
    if (problem) {
      PyErr_SetString(PyExc_ValueError, problem->c_str());
      return nullptr;
    }
    return new_buffer(state.buffer_type, std::move(out));
  });
}

PyObject* elements(PyObject* /*module*/, PyObject* args) {
  PyObject *offsets_object, *data_object;
  int width = 8;
  int as_text = 1;
  if (!PyArg_ParseTuple(args, "OOip:elements", &offsets_object, &data_object, &width, &as_text) ||
      !valid_width(width)) {
    return nullptr;
  }
  BufferView offsets, data;
  if (!offsets.acquire(offsets_object) || !data.acquire(data_object)) return nullptr;
  // No offsets at all stand for no elements.
  const size_t entries = offsets.bytes().size() / static_cast<size_t>(width);
  const uint64_t count = entries == 0 ? 0 : entries - 1;
  const qarn::OffsetsView view(offsets.bytes().data(), static_cast<size_t>(width));
  if (entries != 0 && !check_offsets(view, count, data.bytes().size())) return nullptr;
  Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (uint64_t i = 0; i < count; ++i) {
    const std::string_view element = view.element(data.bytes().data(), i);
    const auto length = static_cast<Py_ssize_t>(element.size());
    PyObject* item = as_text ? PyUnicode_DecodeUTF8(element.data(), length, "strict")
                             : PyBytes_FromStringAndSize(element.data(), length);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace binding
