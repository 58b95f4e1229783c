// The Python module `qarn._native`: the native parts of the `qarn` package.
// Reading QARN files (whole, one slice at a time, or only checking them),
// writing decoded tables back as CSV, and turning decoded strings into
// Python objects. The work runs without the interpreter lock wherever it
// touches no Python object.
#include <deque>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/bytes_output.hpp"
#include "binding/decoded.hpp"
#include "binding/python_ref.hpp"
#include "convert/parallel_driver.hpp"
#include "qarn/read_error.hpp"
#include "qarn/table_reader.hpp"
#include "csv_output/table_to_csv.hpp"

namespace {

using binding::BufferView;
using binding::Ref;

struct ModuleState {
  PyObject* format_error;
  PyTypeObject* buffer_type;
  PyTypeObject* slice_reader_type;
};

extern PyModuleDef g_module_def;  // defined with the module below

ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

ModuleState& state_of_type(PyTypeObject* type) {
  return state_of(PyType_GetModuleByDef(type, &g_module_def));
}

// ---------------------------------------------------------------- errors

PyObject* raise_format_error(const ModuleState& state, const qarn::ReadError& error) {
  const std::string message = qarn::read_message(error);
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  Ref exception(text ? PyObject_CallOneArg(state.format_error, text.get()) : nullptr);
  Ref offset(exception ? PyLong_FromUnsignedLongLong(error.offset) : nullptr);
  if (!offset || PyObject_SetAttrString(exception.get(), "offset", offset.get()) < 0) return nullptr;
  PyErr_SetObject(state.format_error, exception.get());
  return nullptr;
}

// Runs `work` without the interpreter lock; a failure to allocate becomes
// MemoryError once the lock is back. False with a Python error set.
template <class Work>
bool run_unlocked(Work&& work) {
  bool out_of_memory = false;
  {
    binding::WithoutInterpreterLock unlocked;
    try {
      work();
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    } catch (const std::length_error&) {
      out_of_memory = true;
    }
  }
  if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// Column flags from a bytes-like object, or none (all columns) for None.
bool read_selection(PyObject* object, std::vector<uint8_t>& selected) {
  if (object == nullptr || object == Py_None) return true;
  BufferView view;
  if (!view.acquire(object)) return false;
  selected.assign(view.bytes().begin(), view.bytes().end());
  return true;
}

// ------------------------------------------------------------- functions

PyObject* read(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "selected", nullptr};
  PyObject* source = nullptr;
  PyObject* selection = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:read", const_cast<char**>(keywords), &source,
                                   &selection)) {
    return nullptr;
  }
  const ModuleState& state = state_of(module);
  BufferView view;
  std::vector<uint8_t> selected;
  if (!view.acquire(source) || !read_selection(selection, selected)) return nullptr;
  try {
    qarn::DecodedTable table;
    qarn::ReadStatus status;
    if (!run_unlocked([&] { status = qarn::read_table(view.bytes(), selected, table); })) {
      return nullptr;
    }
    if (status) return raise_format_error(state, *status);
    return binding::table_dict(state.buffer_type, table);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* read_head(PyObject* module, PyObject* source) {
  const ModuleState& state = state_of(module);
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  try {
    qarn::FileReader reader(view.bytes());
    qarn::FileHead head;
    if (auto err = reader.read_head(head)) return raise_format_error(state, *err);
    return binding::head_dict(head);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

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

PyObject* summarize(PyObject* module, PyObject* source) {
  const ModuleState& state = state_of(module);
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  try {
    qarn::FileSummary summary;
    qarn::ReadStatus status;
    if (!run_unlocked([&] { status = qarn::summarize_file(view.bytes(), summary); })) return nullptr;
    if (status) return raise_format_error(state, *status);
    Ref dict(binding::head_dict(summary.head));
    Ref metadata_bytes(dict ? PyLong_FromUnsignedLongLong(summary.metadata_bytes) : nullptr);
    if (!metadata_bytes || PyDict_SetItemString(dict.get(), "metadata_bytes", metadata_bytes.get()) < 0 ||
        !set_counts(dict.get(), "slice_rows", summary.slice_rows) ||
        !set_counts(dict.get(), "invalid_counts", summary.invalid_counts) ||
        !set_counts(dict.get(), "column_bytes", summary.column_bytes)) {
      return nullptr;
    }
    return dict.release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* validate(PyObject* module, PyObject* source) {
  const ModuleState& state = state_of(module);
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  qarn::ReadStatus status;
  if (!run_unlocked([&] { status = qarn::validate_file(view.bytes()); })) return nullptr;
  if (status) return raise_format_error(state, *status);
  Py_RETURN_NONE;
}

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

// Offsets (int32 or int64 by `width`) must rise from 0 and stay within the data.
bool check_offsets(const uint8_t* raw, size_t width, uint64_t rows, size_t data_size) {
  int64_t previous = 0;
  for (uint64_t i = 0; i <= rows; ++i) {
    int64_t offset;
    if (width == sizeof(int32_t)) {
      int32_t narrow;
      std::memcpy(&narrow, raw + 4 * i, sizeof narrow);
      offset = narrow;
    } else {
      std::memcpy(&offset, raw + 8 * i, sizeof offset);
    }
    if (offset < previous || static_cast<uint64_t>(offset) > data_size || (i == 0 && offset != 0)) {
      PyErr_SetString(PyExc_ValueError, "column offsets out of order");
      return false;
    }
    previous = offset;
  }
  return true;
}

bool valid_width(int width) {
  if (width == 4 || width == 8) return true;
  PyErr_SetString(PyExc_ValueError, "offsets are 4 or 8 bytes wide");
  return false;
}

bool parse_csv_column(PyObject* item, uint64_t rows, std::deque<BufferView>& views,
                      csv_output::CsvColumn& column) {
  int type_id = 0;
  int width = 8;
  PyObject *fixed, *offsets, *data, *invalid;
  if (!PyArg_ParseTuple(item, "iOOOiO:column", &type_id, &fixed, &offsets, &data, &width, &invalid) ||
      !valid_width(width)) {
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
    if (bytes == nullptr || !check_offsets(bytes, static_cast<size_t>(width), rows, data_size)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "variable-width column without offsets");
      return false;
    }
    column.offsets = bytes;
    column.offset_width = static_cast<size_t>(width);
  } else if (column.fixed == nullptr && rows > 0) {
    PyErr_SetString(PyExc_ValueError, "fixed-width column without values");
    return false;
  }
  return true;
}

PyObject* to_csv(PyObject* module, PyObject* args) {
  PyObject* names_object = nullptr;
  PyObject* columns_object = nullptr;
  unsigned long long rows = 0;
  if (!PyArg_ParseTuple(args, "O!O!K:to_csv", &PyList_Type, &names_object, &PyList_Type,
                        &columns_object, &rows)) {
    return nullptr;
  }
  const Py_ssize_t count = PyList_GET_SIZE(names_object);
  if (PyList_GET_SIZE(columns_object) != count) {
    PyErr_SetString(PyExc_ValueError, "one column per name");
    return nullptr;
  }
  // The sizes below are rows times at most 16 bytes; beyond this they would wrap.
  if (rows >= SIZE_MAX / 16) {
    PyErr_SetString(PyExc_ValueError, "more rows than memory can hold");
    return nullptr;
  }
  try {
    std::vector<std::string_view> names;
    std::vector<csv_output::CsvColumn> columns(static_cast<size_t>(count));
    std::deque<BufferView> views;
    for (Py_ssize_t i = 0; i < count; ++i) {
      Py_ssize_t length = 0;
      const char* name = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(names_object, i), &length);
      if (name == nullptr) return nullptr;
      names.emplace_back(name, static_cast<size_t>(length));
      if (!parse_csv_column(PyList_GET_ITEM(columns_object, i), rows, views,
                            columns[static_cast<size_t>(i)])) {
        return nullptr;
      }
    }
    common::ByteBuffer out;
    if (!run_unlocked([&] { csv_output::table_to_csv(names, columns, rows, out); })) return nullptr;
    return binding::new_buffer(state_of(module).buffer_type, std::move(out));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
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
  const size_t entries = offsets.bytes().size() / static_cast<size_t>(width);
  const uint64_t count = entries == 0 ? 0 : entries - 1;
  if (!check_offsets(offsets.bytes().data(), static_cast<size_t>(width), count, data.bytes().size())) {
    return nullptr;
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  const uint8_t* raw = offsets.bytes().data();
  const char* base = reinterpret_cast<const char*>(data.bytes().data());
  auto offset = [&](uint64_t i) -> int64_t {
    if (width == 4) {
      int32_t narrow;
      std::memcpy(&narrow, raw + 4 * i, sizeof narrow);
      return narrow;
    }
    int64_t wide;
    std::memcpy(&wide, raw + 8 * i, sizeof wide);
    return wide;
  };
  int64_t begin = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const int64_t end = offset(i + 1);
    const auto length = static_cast<Py_ssize_t>(end - begin);
    PyObject* item = as_text ? PyUnicode_DecodeUTF8(base + begin, length, "strict")
                             : PyBytes_FromStringAndSize(base + begin, length);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    begin = end;
  }
  return list.release();
}

// ------------------------------------------------------------ conversion

// An int, or any object with __index__, as an unsigned 64-bit count.
bool to_count(PyObject* object, uint64_t& count) {
  Ref index(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  count = value;
  return true;
}

PyObject* convert(PyObject* /*module*/, PyObject* args) {
  PyObject *source, *chunk_object, *sample_object;
  unsigned int threads = 1;
  if (!PyArg_ParseTuple(args, "OOOI:convert", &source, &chunk_object, &sample_object, &threads)) {
    return nullptr;
  }
  uint64_t chunk_size = 0, sample_rows = 0;
  if (!to_count(chunk_object, chunk_size) || !to_count(sample_object, sample_rows)) return nullptr;
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  try {
    binding::WithoutInterpreterLock* unlocked = nullptr;
    binding::BytesOutput storage(unlocked);
    common::ByteBuffer out(storage);
    std::optional<convert::ConversionFailure> failure;
    bool out_of_memory = false;
    std::string broken;
    {
      binding::WithoutInterpreterLock scope;
      unlocked = &scope;
      try {
        failure = convert::convert_csv_to_qarn_parallel(view.bytes(), chunk_size, sample_rows,
                                                         threads, out);
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      } catch (const std::length_error&) {
        out_of_memory = true;
      } catch (const std::exception& error) {
        broken = error.what();
      }
      unlocked = nullptr;
    }
    if (out_of_memory) return PyErr_NoMemory();
    if (!broken.empty()) {
      PyErr_SetString(PyExc_RuntimeError, broken.c_str());
      return nullptr;
    }
    if (failure) {
      Ref text(PyUnicode_DecodeUTF8(failure->message.data(),
                                    static_cast<Py_ssize_t>(failure->message.size()), "replace"));
      if (text) PyErr_SetObject(PyExc_ValueError, text.get());
      return nullptr;
    }
    const size_t size = out.size();
    out.detach();
    return storage.finish(size);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// ---------------------------------------------------------- SliceReader

struct SliceReaderState {
  BufferView view;
  std::optional<qarn::SliceStream> stream;
  Ref head;
};

struct SliceReaderObject {
  PyObject_HEAD
  SliceReaderState state;  // constructed in place by slice_reader_new
};

void slice_reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<SliceReaderObject*>(self)->state.~SliceReaderState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* slice_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", nullptr};
  PyObject* source = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:SliceReader", const_cast<char**>(keywords),
                                   &source)) {
    return nullptr;
  }
  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* object = reinterpret_cast<SliceReaderObject*>(self.get());
  SliceReaderState* reader = new (&object->state) SliceReaderState();
  if (!reader->view.acquire(source)) return nullptr;
  try {
    qarn::SliceStream& stream = reader->stream.emplace(reader->view.bytes());
    if (auto err = stream.open()) return raise_format_error(state_of_type(type), *err);
    reader->head = Ref(binding::head_dict(stream.head()));
    if (!reader->head) return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return self.release();
}

PyObject* slice_reader_next(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"selected", nullptr};
  PyObject* selection = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:next_slice", const_cast<char**>(keywords),
                                   &selection)) {
    return nullptr;
  }
  SliceReaderState& reader = reinterpret_cast<SliceReaderObject*>(self)->state;
  const ModuleState& state = state_of_type(Py_TYPE(self));
  std::vector<uint8_t> selected;
  if (!read_selection(selection, selected)) return nullptr;
  try {
    // The interpreter lock stays held: a slice is one chunk of rows, and a
    // reader shared by threads is then safe without a lock of its own.
    qarn::DecodedSlices slice;
    bool finished = false;
    if (auto err = reader.stream->next(selected, slice, finished)) {
      return raise_format_error(state, *err);
    }
    if (finished) Py_RETURN_NONE;
    Ref dict(PyDict_New());
    if (!dict || !binding::add_slices(dict.get(), state.buffer_type, slice)) return nullptr;
    return dict.release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* slice_reader_head(PyObject* self, void* /*closure*/) {
  return Py_NewRef(reinterpret_cast<SliceReaderObject*>(self)->state.head.get());
}

PyMethodDef g_slice_reader_methods[] = {
    {"next_slice", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(slice_reader_next)),
     METH_VARARGS | METH_KEYWORDS, "The next table slice as a dict, or None after the last."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_slice_reader_getset[] = {
    {"head", slice_reader_head, nullptr, "The file header and metadata as a dict.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slice_reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(slice_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_reader_dealloc)},
    {Py_tp_methods, g_slice_reader_methods},
    {Py_tp_getset, g_slice_reader_getset},
    {Py_tp_doc, const_cast<char*>("Reads a QARN file one table slice at a time.")},
    {0, nullptr},
};

PyType_Spec g_slice_reader_spec = {
    "qarn._native.SliceReader",
    sizeof(SliceReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_slice_reader_slots,
};

// ---------------------------------------------------------------- module

PyMethodDef g_functions[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(read)),
     METH_VARARGS | METH_KEYWORDS, "Reads a whole QARN file into a dict of metadata and columns."},
    {"read_head", read_head, METH_O, "Reads a QARN file's header and metadata."},
    {"validate", validate, METH_O, "Checks a whole QARN file; raises FormatError."},
    {"summarize", summarize, METH_O, "What a QARN file holds, without decoding its values."},
    {"to_csv", to_csv, METH_VARARGS, "Writes decoded columns as CSV into a Buffer."},
    {"elements", elements, METH_VARARGS, "The elements of a string or bytes column as a list."},
    {"convert", convert, METH_VARARGS,
     "Converts CSV to QARN on `threads` threads without the interpreter lock."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kFormatErrorDoc[] =
    "A QARN file that cannot be read: its message names the defect and the\n"
    "offset of the item that holds it, which is also the `offset` attribute.";

int module_exec(PyObject* module) {
  ModuleState& state = state_of(module);
  state.format_error =
      PyErr_NewExceptionWithDoc("qarn.FormatError", kFormatErrorDoc, PyExc_ValueError, nullptr);
  if (state.format_error == nullptr ||
      PyModule_AddObjectRef(module, "FormatError", state.format_error) < 0) {
    return -1;
  }
  state.buffer_type = binding::make_buffer_type(module);
  if (state.buffer_type == nullptr ||
      PyModule_AddType(module, state.buffer_type) < 0) {
    return -1;
  }
  state.slice_reader_type = reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &g_slice_reader_spec, nullptr));
  if (state.slice_reader_type == nullptr || PyModule_AddType(module, state.slice_reader_type) < 0) {
    return -1;
  }
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState& state = state_of(module);
  Py_VISIT(state.format_error);
  Py_VISIT(state.buffer_type);
  Py_VISIT(state.slice_reader_type);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState& state = state_of(module);
  Py_CLEAR(state.format_error);
  Py_CLEAR(state.buffer_type);
  Py_CLEAR(state.slice_reader_type);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "qarn._native",
    "The native parts of the qarn package.",
    sizeof(ModuleState),
    g_functions,
    g_module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&g_module_def); }
