// Lets Ctrl-C (or any signal with a Python handler) stop a conversion that
// runs without the interpreter lock and calls no Python code of its own:
// between table slices, the thread that started it takes the lock back for
// a moment and runs the pending handlers. What a handler raises
// (KeyboardInterrupt) is kept and raised once the conversion has stopped.
#pragma once

#include "binding/python_ref.hpp"

#include <chrono>
#include <thread>

#include "binding/stream_ends.hpp"
#include "convert/driver.hpp"

namespace binding {

class SignalCheck final : public convert::StopCheck {
 public:
  // Made with the lock held, on the thread that converts.
  SignalCheck() noexcept;
  bool stop_requested() override;
  // Sets what the handler raised again and returns null; needs the lock.
  PyObject* raise() noexcept { return error_.raise(); }

 private:
  std::thread::id caller_;
  bool on_main_thread_;
  std::chrono::steady_clock::time_point next_check_{};
  KeptError error_;
};

}  // namespace binding
