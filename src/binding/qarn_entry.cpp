// The Python module `_qarn`: binds and converts the arguments of
// csv_to_qarn, runs one conversion and turns its result or failure into
// Python objects. Everything else is in the conversion core, which knows
// nothing of Python.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "binding/bytes_conversion.hpp"
#include "binding/counts.hpp"
#include "binding/failures.hpp"
#include "convert/driver.hpp"

namespace {

constexpr const char kCsvToQarnDoc[] =
    "csv_to_qarn(csv_bytes, chunk_size=10000, sample_rows=1000)\n"
    "--\n"
    "\n"
    "Convert CSV bytes to QARN bytes.\n"
    "\n"
    "Args:\n"
    "    csv_bytes: Raw UTF-8 encoded CSV data (with header row).\n"
    "    chunk_size: Number of rows per QARN table slice (default 10 000).\n"
    "    sample_rows: Number of rows to sample for column type inference (default 1 000).\n"
    "\n"
    "Returns:\n"
    "    QARN file contents as bytes.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the CSV cannot be parsed or the QARN cannot be written.";

constexpr uint64_t kDefaultChunkSize = 10000;
constexpr uint64_t kDefaultSampleRows = 1000;

// Process-wide state of the module entry: the interpreter that owns the
// module, the module object itself, and the exception class for internal
// failures. Each is written once.
std::atomic<int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;
PyObject* g_panic_exception = nullptr;

// ---------------------------------------------------------------- failures

// The class is made on the first panic, so that a module that never fails
// internally never makes it.
binding::PanicPolicy panic_policy() {
  if (g_panic_exception == nullptr) g_panic_exception = binding::new_panic_class("_qarn.PanicException");
  return {g_panic_exception, /*echo_to_stderr=*/true};
}

// A conversion failure whose exception type is exactly TypeError is replaced
// by "argument '<name>': <message>", keeping the original's __cause__; any
// other failure stays as it is.
void prefix_type_error(const char* parameter) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyObject* text = PyUnicode_FromFormat("argument '%s': %S", parameter, raised);
  PyObject* replacement = text ? PyObject_CallOneArg(PyExc_TypeError, text) : nullptr;
  Py_XDECREF(text);
  if (replacement == nullptr) {
    Py_DECREF(raised);
    return;  // the failure to build the replacement is raised instead
  }
  if (PyObject* cause = PyException_GetCause(raised)) PyException_SetCause(replacement, cause);
  Py_DECREF(raised);
  PyErr_SetRaisedException(replacement);
}

// --------------------------------------------------------------- arguments

enum Parameter { kCsvBytes = 0, kChunkSize = 1, kSampleRows = 2, kParameterCount = 3 };
constexpr const char* kParameterNames[kParameterCount] = {"csv_bytes", "chunk_size",
                                                          "sample_rows"};

// Fills `slots` from positional arguments and keyword names, with the
// interpreter's usual wording for each binding error.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* (&slots)[kParameterCount]) {
  if (nargs > kParameterCount) {
    PyErr_Format(PyExc_TypeError,
                 "csv_to_qarn() takes from 1 to 3 positional arguments but %zd were given", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    int matched = -1;
    for (int p = 0; p < kParameterCount; ++p) {
      if (PyUnicode_CompareWithASCIIString(name, kParameterNames[p]) == 0) {
        matched = p;
        break;
      }
    }
    if (matched < 0) {
      PyErr_Format(PyExc_TypeError, "csv_to_qarn() got an unexpected keyword argument '%U'", name);
      return false;
    }
    if (slots[matched] != nullptr) {
      PyErr_Format(PyExc_TypeError, "csv_to_qarn() got multiple values for argument '%s'",
                   kParameterNames[matched]);
      return false;
    }
    slots[matched] = args[nargs + k];
  }
  if (slots[kCsvBytes] == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "csv_to_qarn() missing 1 required positional argument: 'csv_bytes'");
    return false;
  }
  return true;
}

// Accepts bytes and its subclasses only; the view is the object's own buffer.
bool convert_csv_bytes(PyObject* object, std::span<const uint8_t>& view) {
  if (!PyBytes_Check(object)) {
    PyObject* type_name = PyType_GetQualName(Py_TYPE(object));
    if (type_name != nullptr) {
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyBytes'", type_name);
      Py_DECREF(type_name);
    }
    prefix_type_error(kParameterNames[kCsvBytes]);
    return false;
  }
  view = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(object)),
                                  static_cast<size_t>(PyBytes_GET_SIZE(object)));
  return true;
}

bool convert_count(PyObject* object, Parameter parameter, uint64_t& count) {
  if (binding::to_count(object, count)) return true;
  prefix_type_error(kParameterNames[parameter]);
  return false;
}

PyObject* csv_to_qarn(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  PyObject* slots[kParameterCount] = {nullptr, nullptr, nullptr};
  if (!bind_arguments(args, nargs, kwnames, slots)) return nullptr;

  std::span<const uint8_t> csv;
  if (!convert_csv_bytes(slots[kCsvBytes], csv)) return nullptr;
  uint64_t chunk_size = kDefaultChunkSize;
  if (slots[kChunkSize] != nullptr && !convert_count(slots[kChunkSize], kChunkSize, chunk_size)) {
    return nullptr;
  }
  uint64_t sample_rows = kDefaultSampleRows;
  if (slots[kSampleRows] != nullptr &&
      !convert_count(slots[kSampleRows], kSampleRows, sample_rows)) {
    return nullptr;
  }
  // The bytes object is referenced by the caller and the interpreter lock is
  // held throughout, so its buffer is read in place.
  return binding::convert_to_bytes(
      binding::Lock::Held,
      [&](common::ByteBuffer& out) { return convert::convert_csv_to_qarn(csv, chunk_size, sample_rows, out); },
      panic_policy);
}

// ------------------------------------------------------------------ module

PyMethodDef g_csv_to_qarn_def = {
    "csv_to_qarn",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(csv_to_qarn)),
    METH_FASTCALL | METH_KEYWORDS,
    kCsvToQarnDoc,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_qarn",
    "",  // an empty docstring, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds the function to the module and its name to `__all__`.
bool populate(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return false;
  PyObject* function = PyCFunction_NewEx(&g_csv_to_qarn_def, module, module_name);
  Py_DECREF(module_name);
  if (function == nullptr) return false;
  bool ok = false;
  PyObject* all = nullptr;
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  if (name != nullptr && PyObject_GetOptionalAttrString(module, "__all__", &all) >= 0) {
    if (all == nullptr) {
      all = PyList_New(0);
      if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) < 0) Py_CLEAR(all);
    }
    ok = all != nullptr && PyList_Append(all, name) == 0 &&
         PyObject_SetAttr(module, name, function) == 0;
  }
  Py_XDECREF(all);
  Py_XDECREF(name);
  Py_DECREF(function);
  return ok;
}

}  // namespace

PyMODINIT_FUNC PyInit__qarn(void) {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  int64_t owner = -1;
  if (!g_owner_interpreter.compare_exchange_strong(owner, current) && owner != current) {
    PyErr_SetString(PyExc_ImportError,
                    "_qarn does not support sub-interpreters: it can only be imported in the "
                    "interpreter that first imported it");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  PyObject* module = PyModule_Create2(&g_module_def, 1013);
  if (module == nullptr) return nullptr;
  if (!populate(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  g_module = Py_NewRef(module);
  return module;
}
