// read, read_head, summarize and validate: a QARN file held in a Python
// buffer, read without the interpreter lock and handed back as dicts of
// plain values and Buffers.
#include <algorithm>
#include <optional>
#include <vector>

#include "binding/decoded.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "binding/python_blocks.hpp"
#include "qarn/table_reader.hpp"

namespace binding {

namespace {

// Sets `dict[key]` to a list of unsigned integers; false on failure.
bool set_counts(PyObject* dict, const char* key, const std::vector<uint64_t>& counts) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(counts.size())));
  if (!list) return false;
  for (size_t i = 0; i < counts.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLongLong(counts[i]);
    if (item == nullptr) return false;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return PyDict_SetItemString(dict, key, list.get()) == 0;
}

PyObject* summary_dict(const qarn::FileSummary& summary) {
  Ref dict(head_dict(summary.head));
  Ref metadata_bytes(dict ? PyLong_FromUnsignedLongLong(summary.metadata_bytes) : nullptr);
  if (!metadata_bytes || PyDict_SetItemString(dict.get(), "metadata_bytes", metadata_bytes.get()) < 0 ||
      !set_counts(dict.get(), "slice_rows", summary.slice_rows) ||
      !set_counts(dict.get(), "invalid_counts", summary.invalid_counts) ||
      !set_counts(dict.get(), "column_bytes", summary.column_bytes)) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* raise_format_error(const NativeState& state, const qarn::ReadError& error) {
  const std::string message = qarn::read_message(error);
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  Ref exception(text ? PyObject_CallOneArg(state.format_error, text.get()) : nullptr);
  Ref offset(exception ? PyLong_FromUnsignedLongLong(error.offset) : nullptr);
  if (!offset || PyObject_SetAttrString(exception.get(), "offset", offset.get()) < 0) return nullptr;
  PyErr_SetObject(state.format_error, exception.get());
  return nullptr;
}

bool read_selection(PyObject* object, std::vector<uint8_t>& selected) {
  if (object == nullptr || object == Py_None) return true;
  BufferView view;
  if (!view.acquire(object)) return false;
  selected.assign(view.bytes().begin(), view.bytes().end());
  return true;
}

PyObject* read(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "selected", "allocate", "threads", "views", nullptr};
  PyObject* source = nullptr;
  PyObject* selection = Py_None;
  PyObject* allocate = Py_None;
  Py_ssize_t threads = 1;
  int views = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOnp:read", const_cast<char**>(keywords), &source,
                                   &selection, &allocate, &threads, &views)) {
    return nullptr;
  }
  if (threads < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return nullptr;
  }
  const NativeState& state = native_state(module);
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  return guarded(state.panics(), [&]() -> PyObject* {
    std::vector<uint8_t> selected;
    if (!read_selection(selection, selected)) return nullptr;
    // Declared before the table, whose blocks it must outlive.
    std::optional<PythonBlocks> blocks;
    if (allocate != Py_None) blocks.emplace(allocate);
    qarn::DecodedTable table;
    qarn::ReadStatus status;
    if (!run_unlocked(state.panics(), [&] {
          status = qarn::read_table(view.bytes(), selected, table, blocks ? &*blocks : nullptr,
                                    qarn::ReadThreads{static_cast<unsigned>(std::min<Py_ssize_t>(threads, 1024))},
                                    views ? qarn::StringLayout::Views : qarn::StringLayout::Offsets);
        })) {
      return nullptr;
    }
    if (status) return raise_format_error(state, *status);
    return table_dict(state.buffer_type, table);
  });
}

PyObject* read_head(PyObject* module, PyObject* source) {
  const NativeState& state = native_state(module);
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  return guarded(state.panics(), [&]() -> PyObject* {
    qarn::FileReader reader(view.bytes());
    qarn::FileHead head;
    if (auto err = reader.read_head(head)) return raise_format_error(state, *err);
    Ref dict(head_dict(head));
    // Where the metadata ends: the head alone, and a table end after it,
    // is a file of the same columns and no rows.
    Ref head_bytes(dict ? PyLong_FromUnsignedLongLong(reader.offset()) : nullptr);
    if (!head_bytes || PyDict_SetItemString(dict.get(), "head_bytes", head_bytes.get()) < 0) return nullptr;
    return dict.release();
  });
}

PyObject* summarize(PyObject* module, PyObject* source) {
  const NativeState& state = native_state(module);
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  return guarded(state.panics(), [&]() -> PyObject* {
    qarn::FileSummary summary;
    qarn::ReadStatus status;
    if (!run_unlocked(state.panics(), [&] { status = qarn::summarize_file(view.bytes(), summary); })) {
      return nullptr;
    }
    if (status) return raise_format_error(state, *status);
    return summary_dict(summary);
  });
}

PyObject* validate(PyObject* module, PyObject* source) {
  const NativeState& state = native_state(module);
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  qarn::ReadStatus status;
  if (!run_unlocked(state.panics(), [&] { status = qarn::validate_file(view.bytes()); })) return nullptr;
  if (status) return raise_format_error(state, *status);
  Py_RETURN_NONE;
}

}  // namespace binding
