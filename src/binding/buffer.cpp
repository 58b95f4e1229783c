#include "binding/buffer.hpp"

#include <new>
#include <utility>

#include "binding/python_blocks.hpp"

namespace binding {

namespace {

// Holds its bytes either itself or, for a block from a Python allocator,
// as a view of the block's owner.
struct BufferObject {
  PyObject_HEAD
  common::ByteBuffer bytes;  // constructed in place by new_buffer
  Py_buffer owned;           // `owned.obj` null when `bytes` holds them
};

// A zero-length buffer still needs an address to export.
uint8_t g_empty[1];

void buffer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  BufferObject* buffer = reinterpret_cast<BufferObject*>(self);
  buffer->bytes.~ByteBuffer();
  if (buffer->owned.obj != nullptr) PyBuffer_Release(&buffer->owned);
  type->tp_free(self);
  Py_DECREF(type);
}

// Read-only: numpy, Arrow and polars may all share one buffer, and Arrow
// and polars take their data never to change.
int buffer_get(PyObject* self, Py_buffer* view, int flags) {
  BufferObject* buffer = reinterpret_cast<BufferObject*>(self);
  if (buffer->owned.obj != nullptr) {
    return PyBuffer_FillInfo(view, self, buffer->owned.buf, buffer->owned.len, 1, flags);
  }
  common::ByteBuffer& bytes = buffer->bytes;
  void* data = bytes.data() != nullptr ? bytes.data() : g_empty;
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(bytes.size()), 1, flags);
}

Py_ssize_t buffer_length(PyObject* self) {
  BufferObject* buffer = reinterpret_cast<BufferObject*>(self);
  if (buffer->owned.obj != nullptr) return buffer->owned.len;
  return static_cast<Py_ssize_t>(buffer->bytes.size());
}

PyType_Slot g_buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_sq_length, reinterpret_cast<void*>(buffer_length)},
    {Py_tp_doc, const_cast<char*>("Bytes decoded by qarn, shared with numpy and Arrow without a copy.")},
    {0, nullptr},
};

PyType_Spec g_buffer_spec = {
    "qarn._native.Buffer",
    sizeof(BufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_buffer_slots,
};

}  // namespace

PyTypeObject* make_buffer_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &g_buffer_spec, nullptr));
}

PyObject* new_buffer(PyTypeObject* type, common::ByteBuffer&& bytes) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  BufferObject* buffer = reinterpret_cast<BufferObject*>(self);
  buffer->owned.obj = nullptr;
  // A block from a Python allocator goes over as a view of its owner: the
  // allocator lends it for one call only.
  if (auto* blocks = dynamic_cast<PythonBlocks*>(bytes.storage()); blocks && bytes.data()) {
    buffer->owned = blocks->hand_over(bytes);
  }
  new (&buffer->bytes) common::ByteBuffer(std::move(bytes));
  return self;
}

}  // namespace binding
