#include "binding/counts.hpp"

namespace binding {

bool to_count(PyObject* object, uint64_t& count) {
  // An int (or a subclass, bool included) is taken as it is, without a call
  // of __index__.
  Ref index(PyLong_Check(object) ? Py_NewRef(object) : PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  count = value;
  return true;
}

}  // namespace binding
