// `qarn._native.Buffer`: a block of bytes made by the native code and
// handed to Python without a copy. It exports the buffer protocol, so numpy
// and Arrow wrap it in place, read-only.
#pragma once

#include "binding/python_ref.hpp"

#include "common/byte_buffer.hpp"

namespace binding {

// The type, made once per module.
PyTypeObject* make_buffer_type(PyObject* module);

// A new Buffer that takes over `bytes`; null with a Python error set.
PyObject* new_buffer(PyTypeObject* type, common::ByteBuffer&& bytes);

}  // namespace binding
