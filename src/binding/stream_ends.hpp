// The two ends of a streamed conversion as Python sees them: a callable that
// fills a writable buffer (a file object's `readinto`) as the source, and a
// callable that takes a buffer (its `write`) as the sink. The conversion
// calls them from the thread that released the interpreter lock, taking the
// lock back for each call; what a call raises is kept and raised again
// once the conversion has stopped.
#pragma once

#include "binding/python_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

#include "convert/byte_stream.hpp"

namespace binding {

// What a callable raised, kept across the conversion.
class KeptError {
 public:
  // Takes the error set now; needs the lock.
  void keep() noexcept { error_ = Ref(PyErr_GetRaisedException()); }
  // Sets it again and returns null; needs the lock.
  PyObject* raise() noexcept {
    PyErr_SetRaisedException(error_.release());
    return nullptr;
  }

 private:
  Ref error_;
};

class CallableSource final : public convert::ByteSource {
 public:
  explicit CallableSource(PyObject* readinto) noexcept : readinto_(readinto) {}
  // The scope that released the lock, taken back for each call.
  void call_within(WithoutInterpreterLock* unlocked) noexcept { unlocked_ = unlocked; }
  bool read(std::span<uint8_t> into, size_t& got) override;
  [[nodiscard]] bool into_kept() const noexcept override { return kept_; }
  PyObject* raise() noexcept { return error_.raise(); }

 private:
  PyObject* readinto_;
  WithoutInterpreterLock* unlocked_ = nullptr;
  KeptError error_;
  bool kept_ = false;
};

class CallableSink final : public convert::ByteSink {
 public:
  explicit CallableSink(PyObject* write) noexcept : write_(write) {}
  void call_within(WithoutInterpreterLock* unlocked) noexcept { unlocked_ = unlocked; }
  bool write(std::span<const uint8_t> bytes) override;
  [[nodiscard]] bool bytes_kept() const noexcept override { return kept_; }
  PyObject* raise() noexcept { return error_.raise(); }

 private:
  PyObject* write_;
  WithoutInterpreterLock* unlocked_ = nullptr;
  KeptError error_;
  bool kept_ = false;
};

}  // namespace binding
