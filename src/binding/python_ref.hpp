// Owning references to Python objects and views of Python buffers, for the
// binding code of the `qarn._native` module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>

namespace binding {

// One strong reference, released on destruction.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* object) noexcept : object_(object) {}  // steals
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  [[nodiscard]] explicit operator bool() const noexcept { return object_ != nullptr; }
  // Gives the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

// A contiguous read-only view of an object that exports a buffer, held for
// the view's lifetime: the exporter cannot resize or close it meanwhile.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with a Python error set when `object` exports no contiguous buffer.
  bool acquire(PyObject* object, int flags = PyBUF_C_CONTIGUOUS) {
    if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }

  // The bytes of a buffer acquired with PyBUF_WRITABLE.
  [[nodiscard]] std::span<uint8_t> writable_bytes() const noexcept {
    return {static_cast<uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }

  [[nodiscard]] std::span<const uint8_t> bytes() const noexcept {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Takes the interpreter lock for the scope, on any thread, whether it holds
// the lock already or released it.
class InterpreterLock {
 public:
  InterpreterLock() noexcept : state_(PyGILState_Ensure()) {}
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;
  ~InterpreterLock() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// Releases the interpreter lock for the scope.
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }

  // Runs `work` with the lock taken back for a moment, on the thread that
  // released it; released again afterwards, whether `work` throws or not.
  template <class Work>
  decltype(auto) locked(Work&& work) {
    PyEval_RestoreThread(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return work();
  }

 private:
  PyThreadState* state_;
};

}  // namespace binding
