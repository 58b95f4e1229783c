// convert: CSV to QARN on several threads, without the interpreter lock,
// into the `bytes` object that is returned.
#include "binding/bytes_conversion.hpp"
#include "binding/counts.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "convert/parallel_driver.hpp"

namespace binding {

PyObject* convert(PyObject* module, PyObject* args) {
  PyObject *source, *chunk_object, *sample_object;
  unsigned int threads = 1;
  if (!PyArg_ParseTuple(args, "OOOI:convert", &source, &chunk_object, &sample_object, &threads)) {
    return nullptr;
  }
  uint64_t chunk_size = 0, sample_rows = 0;
  if (!to_count(chunk_object, chunk_size) || !to_count(sample_object, sample_rows)) return nullptr;
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  const NativeState& state = native_state(module);
  return convert_to_bytes(
      Lock::Released,
      [&](common::ByteBuffer& out) {
        return convert::convert_csv_to_qarn_parallel(view.bytes(), chunk_size, sample_rows, threads, out);
      },
      [&] { return state.panics(); });
}

}  // namespace binding
