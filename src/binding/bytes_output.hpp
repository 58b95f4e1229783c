// Output written straight into the `bytes` object that is returned, grown in
// place, so that a finished file is never copied. When the conversion runs
// without the interpreter lock, each growth takes it back for a moment.
#pragma once

#include <new>
#include <utility>

#include "binding/python_ref.hpp"
#include "common/byte_buffer.hpp"

namespace binding {

class BytesOutput final : public common::BufferStorage {
 public:
  BytesOutput() noexcept = default;
  BytesOutput(const BytesOutput&) = delete;
  BytesOutput& operator=(const BytesOutput&) = delete;
  ~BytesOutput() { Py_XDECREF(object_); }  // with the lock held

  uint8_t* resize(uint8_t* /*data*/, size_t capacity) override {
    if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    const bool grown = unlocked_ == nullptr ? grow(capacity)
                                            : unlocked_->locked([&] { return grow(capacity); });
    if (!grown) throw std::bad_alloc();
    return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(object_));
  }

  uint8_t* replace_empty(uint8_t* /*data*/, size_t capacity) noexcept override {
    if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX)) return nullptr;
    auto replace = [&]() noexcept {
      Py_CLEAR(object_);
      object_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
      if (object_ == nullptr) PyErr_Clear();  // the buffer simply grows as it fills instead
    };
    if (unlocked_ == nullptr) {
      replace();
    } else {
      unlocked_->locked(replace);
    }
    return object_ == nullptr ? nullptr : reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(object_));
  }

  // The object itself goes with this storage, with the lock held.
  void release(uint8_t* /*data*/) noexcept override {}

  // While the buffer grows in `scope`, which has released the lock; null
  // once the lock is held again.
  void grow_unlocked_in(WithoutInterpreterLock* scope) noexcept { unlocked_ = scope; }

  // The object cut to the written size; the caller owns the reference.
  // Needs the lock.
  PyObject* finish(size_t size) {
    if (object_ == nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
    if (_PyBytes_Resize(&object_, static_cast<Py_ssize_t>(size)) < 0) {
      object_ = nullptr;
      return nullptr;
    }
    return std::exchange(object_, nullptr);
  }

 private:
  bool grow(size_t capacity) {
    const auto size = static_cast<Py_ssize_t>(capacity);
    if (object_ == nullptr) {
      object_ = PyBytes_FromStringAndSize(nullptr, size);
    } else if (_PyBytes_Resize(&object_, size) < 0) {
      object_ = nullptr;  // a failed resize has released the object
    }
    if (object_ == nullptr) PyErr_Clear();  // reported as MemoryError by the caller
    return object_ != nullptr;
  }

  WithoutInterpreterLock* unlocked_ = nullptr;
  PyObject* object_ = nullptr;
};

}  // namespace binding
