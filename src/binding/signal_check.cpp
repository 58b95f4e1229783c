#include "binding/signal_check.hpp"

namespace binding {

namespace {

// Often enough that an interrupt is felt at once, seldom enough that taking
// the lock back costs little even while other threads run Python code,
// which may keep it for a switch interval (5 ms by default).
constexpr std::chrono::milliseconds kBetweenChecks{50};

// Whether this thread is the main thread of the main interpreter, the only
// one that runs signal handlers (and the one whose lock can be taken back
// by PyGILState_Ensure); false when that cannot be told. Needs the lock.
bool is_main_thread() noexcept {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
  Ref threading(PyImport_ImportModule("threading"));
  Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return main_ident == PyThread_get_thread_ident();
}

}  // namespace

SignalCheck::SignalCheck() noexcept
    : caller_(std::this_thread::get_id()), on_main_thread_(is_main_thread()) {}

bool SignalCheck::stop_requested() {
  // Python runs signal handlers on its main thread only, and the lock is
  // taken back on the thread that released it.
  if (!on_main_thread_ || std::this_thread::get_id() != caller_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_check_) return false;
  next_check_ = now + kBetweenChecks;
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() != 0;
  if (raised) error_.keep();
  PyGILState_Release(state);
  return raised;
}

}  // namespace binding
