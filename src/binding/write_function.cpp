// write_table: columns in Arrow's or numpy's memory layout as the bytes of
// a QARN file, or of a run of its table slices, encoded without the
// interpreter lock straight into the `bytes` object returned.
#include <memory>
#include <string>
#include <vector>

#include "binding/bytes_conversion.hpp"
#include "binding/counts.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "table_input/table_encoder.hpp"

namespace binding {

namespace {

// The buffers the pieces point into, held until the encoding is done.
using HeldViews = std::vector<std::unique_ptr<BufferView>>;

bool to_span(PyObject* object, HeldViews& held, std::span<const uint8_t>& span) {
  if (object == Py_None) return true;
  auto view = std::make_unique<BufferView>();
  if (!view->acquire(object)) return false;
  span = view->bytes();
  held.push_back(std::move(view));
  return true;
}

bool to_piece(PyObject* object, HeldViews& held, table_input::Piece& piece) {
  PyObject *offset, *length, *validity, *values, *data;
  if (!PyTuple_Check(object) || !PyArg_ParseTuple(object, "OOOOO", &offset, &length, &validity, &values, &data)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a piece is a tuple (offset, length, validity, values, data)");
    return false;
  }
  return to_count(offset, piece.offset) && to_count(length, piece.length) && to_span(validity, held, piece.validity) &&
         to_span(values, held, piece.values) && to_span(data, held, piece.data);
}

bool to_column(PyObject* object, HeldViews& held, table_input::ColumnInput& column) {
  unsigned char kind = 0;
  int utc = 0;
  PyObject* pieces = nullptr;
  if (!PyTuple_Check(object) || !PyArg_ParseTuple(object, "bpO!", &kind, &utc, &PyList_Type, &pieces)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a column is a tuple (kind, utc, [pieces])");
    return false;
  }
  if (kind >= table_input::kSourceKindCount) {
    PyErr_Format(PyExc_ValueError, "unknown source kind %d", static_cast<int>(kind));
    return false;
  }
  column.kind = static_cast<table_input::SourceKind>(kind);
  column.utc = utc != 0;
  // A tuple of the pieces holds them while a buffer export may run Python
  // code that changes the list.
  const Ref items(PyList_AsTuple(pieces));
  if (!items) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  column.pieces.resize(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!to_piece(PyTuple_GET_ITEM(items.get(), i), held, column.pieces[static_cast<size_t>(i)])) return false;
  }
  return true;
}

bool to_names(PyObject* object, std::vector<std::string>& names) {
  if (!PyList_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "names must be a list of str");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(object, i), &size);
    if (text == nullptr) return false;
    names.emplace_back(text, static_cast<size_t>(size));
  }
  return true;
}

// About the bytes the rows take in the file, so that the output grows once.
size_t estimate(std::span<const table_input::ColumnInput> columns, uint64_t rows, uint64_t chunk_size) {
  uint64_t total = 64 + (rows / chunk_size + 1) * (16 + 32 * columns.size());
  for (const table_input::ColumnInput& column : columns) {
    total += rows * 8 + rows / 8;
    if (!table_input::is_variable(column.kind)) continue;
    for (const table_input::Piece& piece : column.pieces) total += piece.data.size();
  }
  return static_cast<size_t>(total);
}

}  // namespace

PyObject* write_table(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"names", "columns", "rows", "chunk_size", "first_row", "head", "end", nullptr};
  PyObject *names_object, *columns_object, *rows_object, *chunk_object, *first_object;
  int head = 0, end = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!OOO$pp:write_table", const_cast<char**>(keywords),
                                   &names_object, &PyList_Type, &columns_object, &rows_object, &chunk_object,
                                   &first_object, &head, &end)) {
    return nullptr;
  }
  uint64_t rows = 0, chunk_size = 0, first_row = 0;
  std::vector<std::string> names;
  if (!to_count(rows_object, rows) || !to_count(chunk_object, chunk_size) || !to_count(first_object, first_row) ||
      !to_names(names_object, names)) {
    return nullptr;
  }
  if (chunk_size == 0) {
    PyErr_SetString(PyExc_ValueError, "chunk_size must be at least 1");
    return nullptr;
  }
  // Held as a tuple, as the pieces are (to_column).
  const Ref column_items(PyList_AsTuple(columns_object));
  if (!column_items) return nullptr;
  const Py_ssize_t column_count = PyTuple_GET_SIZE(column_items.get());
  if (static_cast<size_t>(column_count) != names.size()) {
    PyErr_SetString(PyExc_ValueError, "one name per column");
    return nullptr;
  }
  HeldViews held;
  std::vector<table_input::ColumnInput> columns(static_cast<size_t>(column_count));
  for (Py_ssize_t i = 0; i < column_count; ++i) {
    if (!to_column(PyTuple_GET_ITEM(column_items.get(), i), held, columns[static_cast<size_t>(i)])) return nullptr;
  }
  const NativeState& state = native_state(module);
  return convert_to_bytes(
      Lock::Released,
      [&](common::ByteBuffer& out) -> convert::ConversionStatus {
        const auto failure = [&](const table_input::InputError& error) {
          const std::string& name = error.column < names.size() ? names[error.column] : std::string();
          return convert::ConversionFailure{table_input::input_message(error, name)};
        };
        if (auto err = table_input::check_columns(columns, rows)) return failure(*err);
        out.reserve(estimate(columns, rows, chunk_size));
        qarn::Writer writer(out);
        if (head) {
          if (auto err = table_input::write_table_head(writer, names, columns)) {
            return convert::ConversionFailure{"QARN write error: " + qarn::message(*err)};
          }
        }
        table_input::TableEncoder encoder(columns, first_row);
        // Rows of no columns hold nothing a table slice could carry.
        for (uint64_t done = 0; done < rows && !columns.empty();) {
          const uint64_t slice = std::min(chunk_size, rows - done);
          if (auto err = encoder.write_slice(writer, slice)) return failure(*err);
          done += slice;
        }
        if (end) writer.write_section_header(qarn::SectionId::TableEnd);
        return std::nullopt;
      },
      [&] { return state.panics(); });
}

}  // namespace binding
