// Counts handed in from Python (rows per slice, rows to sample).
#pragma once

#include "binding/python_ref.hpp"

#include <cstdint>

namespace binding {

// An int, or any object with __index__, as an unsigned 64-bit count: the
// interpreter's OverflowError for a negative one or one of 2**64 or more,
// its TypeError for an object that is not a whole number. False with that
// error set.
bool to_count(PyObject* object, uint64_t& count);

}  // namespace binding
