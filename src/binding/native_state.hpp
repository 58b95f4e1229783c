// What the module `qarn._native` keeps, one per module object, and what its
// functions share: finding that state and raising the module's errors.
#pragma once

#include "binding/failures.hpp"
#include "binding/python_ref.hpp"
#include "qarn/read_error.hpp"

namespace binding {

struct NativeState {
  PyObject* format_error;  // qarn.FormatError
  PyObject* panic;         // qarn.PanicException
  PyTypeObject* buffer_type;
  PyTypeObject* slice_reader_type;

  [[nodiscard]] PanicPolicy panics() const noexcept { return {panic}; }
};

extern PyModuleDef g_native_module_def;

inline NativeState& native_state(PyObject* module) {
  return *static_cast<NativeState*>(PyModule_GetState(module));
}

// The state of the module that defined `type`.
inline NativeState& native_state(PyTypeObject* type) {
  return native_state(PyType_GetModuleByDef(type, &g_native_module_def));
}

// FormatError with the error's message and its `offset`; returns null.
PyObject* raise_format_error(const NativeState& state, const qarn::ReadError& error);

}  // namespace binding
