#include "binding/stream_ends.hpp"

#include <algorithm>
#include <climits>

namespace binding {

namespace {

// Calls `call(view)` with a memoryview of `bytes` that is released after the
// call, so that a callable that keeps it cannot reach the buffer once it is
// reused. A view taken from it (a slice, or an array over it) survives its
// release: `kept` then says so, with an error set, and the buffer must be
// given up. Returns the call's result, or null with an error set.
PyObject* call_with_view(PyObject* call, char* bytes, size_t size, int flags, bool& kept) {
  kept = false;
  Ref view(PyMemoryView_FromMemory(bytes, static_cast<Py_ssize_t>(size), flags));
  if (!view) return nullptr;
  // The views taken from this one share its managed buffer, which counts them.
  Ref managed(Py_NewRef(reinterpret_cast<PyObject*>(reinterpret_cast<PyMemoryViewObject*>(view.get())->mbuf)));
  Ref result(PyObject_CallOneArg(call, view.get()));
  PyObject* raised = result ? nullptr : PyErr_GetRaisedException();
  Ref released(PyObject_CallMethod(view.get(), "release", nullptr));
  view = Ref();
  if (!released || reinterpret_cast<_PyManagedBufferObject*>(managed.get())->exports > 0) {
    kept = true;
    Py_XDECREF(raised);
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "the buffer given to the file object was kept past the call; "
                                      "its readinto() or write() must copy what it keeps");
    return nullptr;
  }
  if (raised != nullptr) {
    PyErr_SetRaisedException(raised);
    return nullptr;
  }
  return result.release();
}

// Runs `call`, which returns false with an error set, with the lock taken
// back if it was released; the error is kept.
template <class Call>
bool run_call(WithoutInterpreterLock* unlocked, KeptError& error, Call call) {
  const auto run = [&] {
    const bool ok = call();
    if (!ok) error.keep();
    return ok;
  };
  return unlocked == nullptr ? run() : unlocked->locked(run);
}

// A count that a call returned, from 0 to `most`; -1 with an error set.
Py_ssize_t returned_count(PyObject* result, size_t most, const char* what) {
  const Py_ssize_t count = PyLong_AsSsize_t(result);
  if (count == -1 && PyErr_Occurred()) return -1;
  if (count < 0 || static_cast<size_t>(count) > most) {
    PyErr_Format(PyExc_ValueError, "%s returned %zd, out of range", what, count);
    return -1;
  }
  return count;
}

// Each call takes at most this much, which any Py_ssize_t holds.
constexpr size_t kMostPerCall = size_t{1} << 30;

}  // namespace

bool CallableSource::read(std::span<uint8_t> into, size_t& got) {
  const auto call = [&] {
    const size_t size = std::min(into.size(), kMostPerCall);
    Ref result(call_with_view(readinto_, reinterpret_cast<char*>(into.data()), size, PyBUF_WRITE, kept_));
    if (!result) return false;
    if (result.get() == Py_None) {
      // A non-blocking file with nothing to read yet.
      PyErr_SetString(PyExc_BlockingIOError, "the input is non-blocking and had no data ready");
      return false;
    }
    const Py_ssize_t count = returned_count(result.get(), size, "readinto()");
    if (count < 0) return false;
    got = static_cast<size_t>(count);
    return true;
  };
  return run_call(unlocked_, error_, call);
}

bool CallableSink::write(std::span<const uint8_t> bytes) {
  const auto call = [&] {
    size_t done = 0;
    while (done < bytes.size()) {
      const size_t size = std::min(bytes.size() - done, kMostPerCall);
      char* at = const_cast<char*>(reinterpret_cast<const char*>(bytes.data() + done));
      Ref result(call_with_view(write_, at, size, PyBUF_READ, kept_));
      if (!result) return false;
      if (result.get() == Py_None) {  // a writer that takes all and says nothing
        done += size;
        continue;
      }
      const Py_ssize_t count = returned_count(result.get(), size, "write()");
      if (count < 0) return false;
      if (count == 0) {
        PyErr_SetString(PyExc_BlockingIOError, "the target took no bytes");
        return false;
      }
      done += static_cast<size_t>(count);
    }
    return true;
  };
  return run_call(unlocked_, error_, call);
}

}  // namespace binding
