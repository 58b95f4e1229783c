#include "binding/python_blocks.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace binding {

PythonBlocks::~PythonBlocks() {
  if (blocks_.empty()) return;
  InterpreterLock lock;
  for (Py_buffer& view : blocks_) PyBuffer_Release(&view);
}

uint8_t* PythonBlocks::allocate(size_t capacity) noexcept {
  InterpreterLock lock;
  Ref size(PyLong_FromSize_t(capacity));
  Ref owner(size ? PyObject_CallOneArg(allocate_, size.get()) : nullptr);
  Py_buffer view;
  if (!owner || PyObject_GetBuffer(owner.get(), &view, PyBUF_WRITABLE) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  if (static_cast<size_t>(view.len) < capacity) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  try {
    blocks_.push_back(view);
  } catch (const std::bad_alloc&) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  return static_cast<uint8_t*>(view.buf);
}

std::vector<Py_buffer>::iterator PythonBlocks::find(const uint8_t* data) noexcept {
  return std::find_if(blocks_.begin(), blocks_.end(), [&](const Py_buffer& view) { return view.buf == data; });
}

Py_buffer PythonBlocks::take(uint8_t* data) noexcept {
  const auto found = find(data);
  Py_buffer view = *found;
  *found = blocks_.back();
  blocks_.pop_back();
  return view;
}

uint8_t* PythonBlocks::resize(uint8_t* data, size_t capacity) {
  // Held throughout: columns decoded on other threads look up and change
  // the list of blocks too.
  InterpreterLock lock;
  uint8_t* block = allocate(capacity);
  if (block == nullptr) throw std::bad_alloc();
  if (data != nullptr) {
    std::memcpy(block, data, std::min(capacity, static_cast<size_t>(find(data)->len)));
    release(data);
  }
  return block;
}

uint8_t* PythonBlocks::replace_empty(uint8_t* data, size_t capacity) noexcept {
  if (data != nullptr) release(data);
  return allocate(capacity);
}

void PythonBlocks::release(uint8_t* data) noexcept {
  InterpreterLock lock;
  Py_buffer view = take(data);
  PyBuffer_Release(&view);
}

Py_buffer PythonBlocks::hand_over(common::ByteBuffer& bytes) noexcept {
  Py_buffer view = take(bytes.data());
  view.len = static_cast<Py_ssize_t>(bytes.size());
  bytes.detach();
  return view;
}

}  // namespace binding
