// Blocks for decoded columns from a Python allocator: when pyarrow is
// loaded, qarn.read asks Arrow's memory pool for them, so the columns it
// hands to Arrow, polars and pandas live where Arrow keeps its own buffers,
// are counted there, and reuse the pages a freed table leaves mapped
// instead of faulting in fresh ones.
#pragma once

#include <vector>

#include "binding/python_ref.hpp"

#include "common/byte_buffer.hpp"

namespace binding {

class PythonBlocks final : public common::BufferStorage {
 public:
  // `allocate(n)` returns an object exporting `n` writable bytes.
  explicit PythonBlocks(PyObject* allocate) noexcept : allocate_(allocate) {}
  PythonBlocks(const PythonBlocks&) = delete;
  PythonBlocks& operator=(const PythonBlocks&) = delete;
  ~PythonBlocks();

  // These take the interpreter lock themselves: decoding runs without it,
  // on one thread or several.
  uint8_t* resize(uint8_t* data, size_t capacity) override;
  uint8_t* replace_empty(uint8_t* data, size_t capacity) noexcept override;
  void release(uint8_t* data) noexcept override;

  // The block of `bytes` (one of ours) as a view that keeps its owner alive,
  // for a Buffer to export; `bytes` is left empty. Needs the lock.
  Py_buffer hand_over(common::ByteBuffer& bytes) noexcept;

 private:
  // Null, with the Python error cleared, when the allocator fails.
  uint8_t* allocate(size_t capacity) noexcept;
  // The entry of a block handed out (one there must be), and taking it out.
  std::vector<Py_buffer>::iterator find(const uint8_t* data) noexcept;
  Py_buffer take(uint8_t* data) noexcept;

  PyObject* allocate_;
  std::vector<Py_buffer> blocks_;  // views of the blocks handed out and not yet released
};

}  // namespace binding
