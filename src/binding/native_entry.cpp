// The Python module `qarn._native`: the native parts of the `qarn` package.
// Reading QARN files (whole, one slice at a time, or only checking them),
// writing decoded tables back as CSV, writing tables from Arrow or numpy
// buffers, turning decoded strings into Python
// objects, and converting CSV on several threads. This file holds the
// module itself: its state, its types and its method table.
#include "binding/buffer.hpp"
#include "binding/failures.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"

namespace binding {

namespace {

PyMethodDef g_functions[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(read)),
     METH_VARARGS | METH_KEYWORDS, "Reads a whole QARN file into a dict of metadata and columns."},
    {"read_head", read_head, METH_O, "Reads a QARN file's header and metadata."},
    {"validate", validate, METH_O, "Checks a whole QARN file; raises FormatError."},
    {"summarize", summarize, METH_O, "What a QARN file holds, without decoding its values."},
    {"to_csv", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(to_csv)),
     METH_VARARGS | METH_KEYWORDS, "Writes decoded columns as CSV into a Buffer, in the dialect asked for."},
    {"elements", elements, METH_VARARGS, "The elements of a string or bytes column as a list."},
    {"string_views", string_views, METH_VARARGS,
     "Decoded string columns as Arrow string views, laid out on `threads` threads."},
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(convert)),
     METH_VARARGS | METH_KEYWORDS,
     "Converts CSV in a dialect to QARN on `threads` threads without the interpreter lock."},
    {"write_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(write_table)),
     METH_VARARGS | METH_KEYWORDS,
     "Columns in Arrow's or numpy's memory layout as QARN bytes: the head, table slices, the end."},
    {"sniff_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(sniff_text)),
     METH_VARARGS | METH_KEYWORDS, "The dialect of a sample of UTF-8 CSV text, as a dict."},
    {"sniff_pattern", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(sniff_pattern)),
     METH_VARARGS | METH_KEYWORDS, "One of the sniffer's matchers on bytes, for its tests."},
    {"utf8_valid", utf8_valid, METH_O, "Whether a buffer holds valid UTF-8."},
    {"transcode", transcode, METH_VARARGS,
     "Single-byte encoded text as UTF-8 bytes, or the offset of its first undefined byte."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kFormatErrorDoc[] =
    "A QARN file that cannot be read: its message names the defect and the\n"
    "offset of the item that holds it, which is also the `offset` attribute.";

int module_exec(PyObject* module) {
  NativeState& state = native_state(module);
  state.format_error =
      PyErr_NewExceptionWithDoc("qarn.FormatError", kFormatErrorDoc, PyExc_ValueError, nullptr);
  if (state.format_error == nullptr ||
      PyModule_AddObjectRef(module, "FormatError", state.format_error) < 0) {
    return -1;
  }
  state.panic = new_panic_class("qarn.PanicException");
  if (state.panic == nullptr || PyModule_AddObjectRef(module, "PanicException", state.panic) < 0) {
    return -1;
  }
  state.buffer_type = make_buffer_type(module);
  if (state.buffer_type == nullptr ||
      PyModule_AddType(module, state.buffer_type) < 0) {
    return -1;
  }
  state.slice_reader_type = make_slice_reader_type(module);
  if (state.slice_reader_type == nullptr || PyModule_AddType(module, state.slice_reader_type) < 0) {
    return -1;
  }
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  NativeState& state = native_state(module);
  Py_VISIT(state.format_error);
  Py_VISIT(state.panic);
  Py_VISIT(state.buffer_type);
  Py_VISIT(state.slice_reader_type);
  return 0;
}

int module_clear(PyObject* module) {
  NativeState& state = native_state(module);
  Py_CLEAR(state.format_error);
  Py_CLEAR(state.panic);
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

}  // namespace

PyModuleDef g_native_module_def = {
    PyModuleDef_HEAD_INIT,
    "qarn._native",
    "The native parts of the qarn package.",
    sizeof(NativeState),
    g_functions,
    g_module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace binding

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&binding::g_native_module_def); }
