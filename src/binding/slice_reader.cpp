// qarn._native.SliceReader: a QARN file read one table slice at a time,
// holding the source's buffer for as long as the reader lives.
#include <new>
#include <optional>
#include <vector>

#include "binding/decoded.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "qarn/table_reader.hpp"

namespace binding {

namespace {

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
  const NativeState& state = native_state(type);
  PyObject* opened = guarded(state.panics(), [&]() -> PyObject* {
    qarn::SliceStream& stream = reader->stream.emplace(reader->view.bytes());
    if (auto err = stream.open()) return raise_format_error(state, *err);
    return head_dict(stream.head());
  });
  if (opened == nullptr) return nullptr;
  reader->head = Ref(opened);
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
  const NativeState& state = native_state(Py_TYPE(self));
  std::vector<uint8_t> selected;
  if (!read_selection(selection, selected)) return nullptr;
  // The interpreter lock stays held: a slice is one chunk of rows, and a
  // reader shared by threads is then safe without a lock of its own.
  return guarded(state.panics(), [&]() -> PyObject* {
    qarn::DecodedSlices slice;
    bool finished = false;
    if (auto err = reader.stream->next(selected, slice, finished)) return raise_format_error(state, *err);
    if (finished) Py_RETURN_NONE;
    Ref dict(PyDict_New());
    if (!dict || !add_slices(dict.get(), state.buffer_type, slice)) return nullptr;
    return dict.release();
  });
}

PyObject* slice_reader_head(PyObject* self, void* /*closure*/) {
  return Py_NewRef(reinterpret_cast<SliceReaderObject*>(self)->state.head.get());
}

PyObject* slice_reader_position(PyObject* self, void* /*closure*/) {
  const SliceReaderState& reader = reinterpret_cast<SliceReaderObject*>(self)->state;
  return PyLong_FromUnsignedLongLong(reader.stream->position());
}

PyMethodDef g_slice_reader_methods[] = {
    {"next_slice", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(slice_reader_next)),
     METH_VARARGS | METH_KEYWORDS, "The next table slice as a dict, or None after the last."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_slice_reader_getset[] = {
    {"head", slice_reader_head, nullptr, "The file header and metadata as a dict.", nullptr},
    {"position", slice_reader_position, nullptr, "Bytes of the source read so far.", nullptr},
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

}  // namespace

PyTypeObject* make_slice_reader_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &g_slice_reader_spec, nullptr));
}

}  // namespace binding
