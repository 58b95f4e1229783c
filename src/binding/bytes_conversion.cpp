#include "binding/bytes_conversion.hpp"

namespace binding {

PyObject* raise_conversion_failure(const convert::ConversionFailure& failure) {
  // The message quotes no input bytes, but a wrong byte in it must not
  // turn a ValueError into a UnicodeDecodeError.
  Ref text(PyUnicode_DecodeUTF8(failure.message.data(), static_cast<Py_ssize_t>(failure.message.size()),
                                "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

}  // namespace binding
