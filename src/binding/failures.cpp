#include "binding/failures.hpp"

namespace binding {

namespace {

constexpr const char kPanicDoc[] =
    "Raised when the conversion core fails internally (a broken invariant).\n"
    "\n"
    "Derived from BaseException, so that `except Exception` does not swallow it.";

}  // namespace

PyObject* new_panic_class(const char* qualified_name) {
  return PyErr_NewExceptionWithDoc(qualified_name, kPanicDoc, PyExc_BaseException, nullptr);
}

PyObject* raise_panic(const PanicPolicy& policy, std::string_view message) {
  if (policy.panic_class == nullptr) return nullptr;
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  if (policy.echo_to_stderr) PySys_FormatStderr("%U\n", text.get());
  PyErr_SetObject(policy.panic_class, text.get());
  return nullptr;
}

void Thrown::note_broken(const char* what) noexcept {
  try {
    message_ = what;
  } catch (...) {
    out_of_memory_ = true;  // not even the message fits
  }
}

PyObject* Thrown::raise(const PanicPolicy& policy) const {
  if (out_of_memory_) return PyErr_NoMemory();
  return raise_panic(policy, message_);
}

}  // namespace binding
