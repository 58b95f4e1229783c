// sniff_text: the dialect of a sample of UTF-8 CSV text, guessed without the
// interpreter lock; and sniff_pattern, the sniffer's hand-written matchers
// one at a time, for the tests that hold them to the patterns they follow.
#include <bit>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/failures.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "sniff/cell_kind.hpp"
#include "sniff/sniff_text.hpp"
#include "sniff/text_patterns.hpp"
#include "sniff/utf8_text.hpp"

namespace binding {

namespace {

std::string_view text_of(const BufferView& view) {
  const std::span<const uint8_t> bytes = view.bytes();
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A character as a str, or None for 0.
PyObject* character_or_none(char c) {
  if (c == 0) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(&c, 1);
}

PyObject* markers_object(sniff::MarkerSet markers) {
  Ref out(PyTuple_New(std::popcount(markers)));
  if (!out) return nullptr;
  Py_ssize_t at = 0;
  for (int i = 0; i < sniff::kMarkers; ++i) {
    if ((markers & (1u << i)) == 0) continue;
    const std::string_view text = sniff::marker_text(i);
    PyObject* item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), at++, item);
  }
  return out.release();
}

// A list of positions in a text or a table.
PyObject* positions_list(const std::vector<size_t>& positions) {
  Ref out(PyList_New(static_cast<Py_ssize_t>(positions.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < positions.size(); ++i) {
    PyObject* item = PyLong_FromSize_t(positions[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

PyObject* sniffed_object(const sniff::Sniffed& s) {
  Ref delimiter(character_or_none(s.candidate.delimiter));
  Ref quote(character_or_none(s.candidate.quote));
  Ref escape(character_or_none(s.candidate.escape ? '\\' : 0));
  Ref comment(character_or_none(s.comment));
  Ref markers(markers_object(s.null_values));
  Ref decimal(character_or_none(s.number_marks.decimal));
  Ref thousands(character_or_none(s.number_marks.thousands));
  const std::vector<size_t>& grouped = s.number_marks.thousands_columns;
  Ref thousands_columns(grouped.empty() ? Py_NewRef(Py_None) : positions_list(grouped));
  if (!delimiter || !quote || !escape || !comment || !markers || !decimal || !thousands || !thousands_columns) {
    return nullptr;
  }
  return Py_BuildValue("{sOsOsOsOsOsOsOsnsnsOsnsdsdsOsOsOsO}", "delimiter", delimiter.get(), "quotechar", quote.get(),
                       "escapechar", escape.get(), "newlines_in_values",
                       s.candidate.newlines_in_values ? Py_True : Py_False, "skipinitialspace",
                       s.candidate.skip_initial_space ? Py_True : Py_False, "comment", comment.get(), "header",
                       s.header ? Py_True : Py_False, "skip_rows", static_cast<Py_ssize_t>(s.skip_rows),
                       "skip_footer", static_cast<Py_ssize_t>(s.skip_footer), "null_values", markers.get(),
                       "columns", static_cast<Py_ssize_t>(s.columns), "margin", s.margin, "consistency",
                       s.consistency, "header_certain", s.header_certain ? Py_True : Py_False, "decimal", decimal.get(),
                       "thousands", thousands.get(), "thousands_columns", thousands_columns.get());
}

// One ASCII character from a str option.
bool ascii_character(PyObject* value, const char* option, char& byte) {
  if (!PyUnicode_Check(value) || PyUnicode_GET_LENGTH(value) != 1 || PyUnicode_READ_CHAR(value, 0) >= 0x80) {
    PyErr_Format(PyExc_ValueError, "%s must be a single ASCII character", option);
    return false;
  }
  byte = static_cast<char>(PyUnicode_READ_CHAR(value, 0));
  return true;
}

PyObject* boolean(bool value) { return PyBool_FromLong(value ? 1 : 0); }

}  // namespace

PyObject* sniff_text(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"", "whole", "tail", nullptr};
  PyObject* source = nullptr;
  int whole = 0;
  PyObject* tail_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pO:sniff_text", const_cast<char**>(keywords), &source, &whole,
                                   &tail_object)) {
    return nullptr;
  }
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  BufferView tail_view;
  if (tail_object != Py_None && !tail_view.acquire(tail_object)) return nullptr;
  const NativeState& state = native_state(module);
  return guarded(state.panics(), [&]() -> PyObject* {
    std::optional<std::string_view> tail;
    if (tail_object != Py_None) tail = text_of(tail_view);
    sniff::Sniffed found;
    if (!run_unlocked(state.panics(), [&] { found = sniff::sniff_text(text_of(view), whole != 0, tail); })) {
      return nullptr;
    }
    return sniffed_object(found);
  });
}

PyObject* sniff_pattern(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"", "", "delimiter", "quote", nullptr};
  const char* name = nullptr;
  PyObject* source = nullptr;
  PyObject* delimiter_object = nullptr;
  PyObject* quote_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO|$OO:sniff_pattern", const_cast<char**>(keywords), &name,
                                   &source, &delimiter_object, &quote_object)) {
    return nullptr;
  }
  char delimiter = ',';
  char quote = '"';
  if ((delimiter_object != nullptr && !ascii_character(delimiter_object, "delimiter", delimiter)) ||
      (quote_object != nullptr && !ascii_character(quote_object, "quote", quote))) {
    return nullptr;
  }
  BufferView view;
  if (!view.acquire(source)) return nullptr;
  const std::string_view text = text_of(view);
  const std::string_view pattern = name;
  return guarded(native_state(module).panics(), [&]() -> PyObject* {
    // The grammars of fields read text that is valid UTF-8.
    const std::string field = sniff::with_replacements(text);
    if (pattern == "text") return PyUnicode_FromStringAndSize(field.data(), static_cast<Py_ssize_t>(field.size()));
    if (pattern == "shape") {
      const std::string found = sniff::shape(field);
      return PyUnicode_FromStringAndSize(found.data(), static_cast<Py_ssize_t>(found.size()));
    }
    if (pattern == "cell") return PyUnicode_FromString(sniff::cell_name(sniff::classify(field)));
    if (pattern == "number") return boolean(sniff::is_number_text(field));
    if (pattern == "date") return boolean(sniff::is_date_text(field));
    if (pattern == "fraction") return boolean(sniff::has_fraction(field));
    if (pattern == "field_start") return boolean(sniff::follows_any(text, sniff::kFieldStartBytes, quote));
    if (pattern == "quote_then_text") return boolean(sniff::quote_closes_before_text(text, delimiter, quote));
    if (pattern == "quotes_needed") return boolean(sniff::quotes_needed(text, delimiter, quote));
    if (pattern == "blank_lines") {
      return positions_list(sniff::blank_line_ends(text, text.size()));
    }
    PyErr_Format(PyExc_ValueError, "no pattern named %s", name);
    return nullptr;
  });
}

}  // namespace binding
