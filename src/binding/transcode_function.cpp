// transcode: text in a single-byte encoding as UTF-8, from the table that
// the caller built from the encoding's codec, without the interpreter lock;
// the input itself when it is all ASCII. utf8_valid: whether text is UTF-8,
// without decoding it.
#include "binding/buffer.hpp"
#include "binding/failures.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "common/utf8.hpp"
#include "csv_input/transcode.hpp"

namespace binding {

namespace {

// The table as 256 entries of 4 bytes: the UTF-8 size (0: undefined), then
// up to 3 bytes of UTF-8. The bytes below 0x80 must stand for themselves.
bool to_table(std::span<const uint8_t> bytes, csv::TranscodeTable& table) {
  if (bytes.size() != 4 * table.size()) {
    PyErr_SetString(PyExc_ValueError, "the transcoding table must hold 1024 bytes");
    return false;
  }
  for (size_t byte = 0; byte < table.size(); ++byte) {
    const uint8_t* entry = bytes.data() + 4 * byte;
    const bool ascii_kept = byte >= 0x80 || (entry[0] == 1 && entry[1] == byte);
    if (entry[0] > 3 || !ascii_kept) {
      PyErr_Format(PyExc_ValueError, "bad transcoding table entry for byte 0x%02x", static_cast<unsigned>(byte));
      return false;
    }
    table[byte] = csv::Utf8Bytes{entry[0], {entry[1], entry[2], entry[3]}};
  }
  return true;
}

}  // namespace

PyObject* utf8_valid(PyObject* module, PyObject* source) {
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  bool valid = false;
  if (!run_unlocked(native_state(module).panics(),
                    [&] { valid = common::is_valid_utf8(view.bytes().data(), view.bytes().size()); })) {
    return nullptr;
  }
  return PyBool_FromLong(valid ? 1 : 0);
}

PyObject* transcode(PyObject* module, PyObject* args) {
  PyObject *source, *table_object;
  if (!PyArg_ParseTuple(args, "OO:transcode", &source, &table_object)) return nullptr;
  BufferView view, table_view;
  if (!view.acquire(source) || !table_view.acquire(table_object)) return nullptr;
  csv::TranscodeTable table;
  if (!to_table(table_view.bytes(), table)) return nullptr;
  const PanicPolicy policy = native_state(module).panics();
  // ASCII is the same text in UTF-8: the input itself, not a copy.
  bool ascii = false;
  if (!run_unlocked(policy, [&] { ascii = common::is_ascii(view.bytes().data(), view.bytes().size()); })) return nullptr;
  if (ascii) return Py_NewRef(source);
  // Made as large as the text could be, then cut to what it is: in place.
  PyObject* out = PyBytes_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(csv::transcode_capacity(view.bytes().size(), table)));
  if (out == nullptr) return nullptr;
  auto* target = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out));
  csv::Transcoded text;
  if (!run_unlocked(policy, [&] { text = csv::transcode(view.bytes(), table, target); })) {
    Py_DECREF(out);
    return nullptr;
  }
  if (!text.defined) {
    Py_DECREF(out);
    return PyLong_FromSize_t(text.undefined_at);
  }
  if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(text.size)) < 0) return nullptr;
  return out;
}

}  // namespace binding
