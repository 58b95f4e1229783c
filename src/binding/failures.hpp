// How a failure of the native code reaches Python.
//
// What the core reports as a value (a CSV error, a format error) is raised
// by the function that called it, as ValueError or FormatError. What it
// throws is one of two things: memory ran out (std::bad_alloc, or a
// container asked for more than memory can hold), raised as MemoryError; or
// an invariant broke, raised as PanicException, a class derived directly
// from BaseException so that `except Exception` does not swallow it. Both
// modules follow this policy; `_qarn` also writes a panic's message to
// standard error before raising it, as its callers expect.
#pragma once

#include "binding/python_ref.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace binding {

// A new PanicException class named `qualified_name` ("module.PanicException").
PyObject* new_panic_class(const char* qualified_name);

// Where a module's panics go: its class (null when it could not be made,
// with that error set), and whether the message is written to standard
// error first.
struct PanicPolicy {
  PyObject* panic_class;
  bool echo_to_stderr = false;
};

// Raises a panic with `message`; returns null for the caller to return.
PyObject* raise_panic(const PanicPolicy& policy, std::string_view message);

// What a piece of native work threw, kept until it can be raised: native
// work may run without the interpreter lock, and Python errors need it.
class Thrown {
 public:
  // Runs `work`; true when it returned, false when it threw.
  template <class Work>
  bool run(Work&& work) noexcept {
    try {
      work();
      return true;
    } catch (const std::bad_alloc&) {
      out_of_memory_ = true;
    } catch (const std::length_error&) {
      out_of_memory_ = true;
    } catch (const std::exception& error) {
      note_broken(error.what());
    } catch (...) {
      note_broken("internal failure of the native code");
    }
    return false;
  }

  // Sets MemoryError or a panic for what was thrown; returns null. Needs
  // the interpreter lock.
  PyObject* raise(const PanicPolicy& policy) const;

 private:
  void note_broken(const char* what) noexcept;

  bool out_of_memory_ = false;
  std::string message_;
};

// Runs `work`, which returns a new reference or null with a Python error
// set, with the lock held; what it throws becomes a Python exception.
template <class Work>
PyObject* guarded(const PanicPolicy& policy, Work&& work) noexcept {
  Thrown thrown;
  PyObject* result = nullptr;
  if (thrown.run([&] { result = work(); })) return result;
  return thrown.raise(policy);
}

// Runs `work` without the interpreter lock; what it throws is raised once
// the lock is back. False with a Python error set.
template <class Work>
bool run_unlocked(const PanicPolicy& policy, Work&& work) {
  Thrown thrown;
  bool returned;
  {
    WithoutInterpreterLock unlocked;
    returned = thrown.run(work);
  }
  if (returned) return true;
  thrown.raise(policy);
  return false;
}

}  // namespace binding
