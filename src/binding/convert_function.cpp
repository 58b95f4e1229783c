// convert: CSV to QARN on several threads, without the interpreter lock,
// into the `bytes` object that is returned, in any dialect and table layout.
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "binding/bytes_conversion.hpp"
#include "binding/counts.hpp"
#include "binding/dialect_options.hpp"
#include "binding/failures.hpp"
#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "binding/signal_check.hpp"
#include "binding/stream_ends.hpp"
#include "convert/mapped_input.hpp"
#include "convert/parallel_driver.hpp"
#include "convert/rejects.hpp"
#include "convert/stream_driver.hpp"
#include "fields/column_type.hpp"

namespace binding {

namespace {

// The column name rejects give a record's fields beyond the last column.
constexpr std::string_view kExtraFieldsName = "(extra fields)";

// With every record read for the types, the sample only sizes the output.
constexpr uint64_t kSampleForEveryRecord = 1000;

// A list or tuple of str, each as UTF-8; `option` names it in errors.
bool to_strings(PyObject* object, const char* option, std::optional<std::vector<std::string>>& strings) {
  if (object == Py_None) return true;
  Ref sequence(PySequence_Fast(object, "a list of strings was expected"));
  if (!sequence) return false;
  std::vector<std::string>& out = strings.emplace();
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s must be strings, not %.100s", option, Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) return false;
    out.emplace_back(text, static_cast<size_t>(size));
  }
  return true;
}

// A list of str as the texts that stand for missing values.
bool to_null_values(PyObject* object, std::optional<csv::NullValues>& null_values) {
  if (object == Py_None) return true;
  std::optional<std::vector<std::string>> texts;
  if (!to_strings(object, "null_values", texts)) return false;
  null_values.emplace(std::move(*texts));
  return true;
}

// The name of a type a column can be made to hold.
bool to_type(PyObject* object, fields::ColumnType& type) {
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return false;
    if (auto named = fields::column_type_named({text, static_cast<size_t>(size)})) {
      type = *named;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError,
               "a column type is one of bool, int, long, float, double, string, date, timestamp; not %R", object);
  return false;
}

// A list of (name or position, type name) pairs.
bool to_column_types(PyObject* object, std::vector<convert::ConvertOptions::ColumnType>& types) {
  if (object == Py_None) return true;
  Ref pairs(PySequence_Fast(object, "column_types must be a list of (column, type) pairs"));
  if (!pairs) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pairs.get()); ++i) {
    PyObject *column, *type_name;
    if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(pairs.get(), i), "OO:column_types", &column, &type_name)) {
      return false;
    }
    convert::ConvertOptions::ColumnType& chosen = types.emplace_back();
    if (!to_type(type_name, chosen.type)) return false;
    if (PyUnicode_Check(column)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(column, &size);
      if (text == nullptr) return false;
      chosen.name.emplace(text, static_cast<size_t>(size));
    } else {
      chosen.position = PyLong_AsLongLong(column);
      if (chosen.position == -1 && PyErr_Occurred()) return false;
    }
  }
  return true;
}

// The decimal mark and the thousands separator, each a str of one of the
// characters allowed for it (the separator may be None), unlike each other.
bool to_spelling(PyObject* decimal, PyObject* thousands, fields::NumberSpelling& spelling) {
  const auto one_of = [](PyObject* object, const char* option, const char* allowed, const char* shown,
                         char& out) {
    if (!PyUnicode_Check(object)) {
      PyErr_Format(PyExc_TypeError, "%s must be a string, not %.100s", option, Py_TYPE(object)->tp_name);
      return false;
    }
    const Py_UCS4 c = PyUnicode_GET_LENGTH(object) == 1 ? PyUnicode_READ_CHAR(object, 0) : 0;
    if (c == 0 || c >= 0x80 || std::strchr(allowed, static_cast<int>(c)) == nullptr) {
      PyErr_Format(PyExc_ValueError, "%s must be one of %s, not %R", option, shown, object);
      return false;
    }
    out = static_cast<char>(c);
    return true;
  };
  if (decimal != nullptr && !one_of(decimal, "decimal", ".,", "'.' ','", spelling.decimal)) return false;
  if (thousands != nullptr && thousands != Py_None &&
      !one_of(thousands, "thousands", ",. '", "',' '.' ' ' \"'\" or None", spelling.thousands)) {
    return false;
  }
  if (spelling.thousands == spelling.decimal) {
    PyErr_Format(PyExc_ValueError, "thousands must differ from decimal, which is '%c'", spelling.decimal);
    return false;
  }
  return true;
}

// Past any table's width; keeps a bad position from taking much memory.
constexpr Py_ssize_t kMostColumns = Py_ssize_t{1} << 24;

// The columns, by position, whose digits the thousands separator groups
// (None: all of them; no column: none).
bool to_grouped_columns(PyObject* positions, fields::NumberSpelling& spelling) {
  if (positions == Py_None) return true;
  Ref items(PySequence_Fast(positions, "thousands_columns must be a sequence of column positions"));
  if (!items) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  if (count == 0) spelling.thousands = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Py_ssize_t column = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(items.get(), i));
    if (column == -1 && PyErr_Occurred()) return false;
    if (column < 0 || column >= kMostColumns) {
      PyErr_Format(PyExc_ValueError, "thousands_columns holds %zd, not a column position", column);
      return false;
    }
    if (spelling.grouped_columns.size() <= static_cast<size_t>(column)) {
      spelling.grouped_columns.resize(static_cast<size_t>(column) + 1, false);
    }
    spelling.grouped_columns[static_cast<size_t>(column)] = true;
  }
  return true;
}

// (record, line, byte, column name, text) for each reject.
PyObject* rejects_list(const std::vector<convert::Reject>& rejects, const std::vector<std::string>& names) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(rejects.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < rejects.size(); ++i) {
    const convert::Reject& reject = rejects[i];
    const std::string_view column =
        reject.column == convert::kExtraFields ? kExtraFieldsName : std::string_view(names[static_cast<size_t>(reject.column)]);
    PyObject* item = Py_BuildValue("(KKKs#N)", static_cast<unsigned long long>(reject.record),
                                   static_cast<unsigned long long>(reject.line),
                                   static_cast<unsigned long long>(reject.byte), column.data(),
                                   static_cast<Py_ssize_t>(column.size()),
                                   PyUnicode_DecodeUTF8(reject.text.data(), static_cast<Py_ssize_t>(reject.text.size()),
                                                        "replace"));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Hands every reject to `sink`, a few thousand at a time as lists of tuples,
// so that however many there are, only a batch of them is held at once.
bool send_rejects(std::span<const uint8_t> csv, const convert::ConvertOptions& options,
                  const convert::ConversionReport& report, PyObject* sink, const NativeState& state) {
  constexpr uint64_t kRejectsPerCall = 4096;
  const fields::LostCells& lost = report.lost;
  if (lost.misfits() + lost.records_with_extra_fields == 0) return true;
  convert::RejectsCursor cursor;
  while (!cursor.done) {
    std::vector<convert::Reject> rejects;
    if (!run_unlocked(state.panics(), [&] { rejects = convert::find_rejects(csv, options, report, kRejectsPerCall, cursor); })) {
      return false;
    }
    if (rejects.empty()) continue;
    Ref list(rejects_list(rejects, report.names));
    Ref result(list ? PyObject_CallOneArg(sink, list.get()) : nullptr);
    if (!result) return false;
  }
  return true;
}

// The misfits of each column, as a list.
PyObject* misfits_list(const convert::ConversionReport& report) {
  const std::vector<uint64_t>& by_column = report.lost.misfits_by_column;
  Ref misfits(PyList_New(static_cast<Py_ssize_t>(report.names.size())));
  if (!misfits) return nullptr;
  for (size_t column = 0; column < report.names.size(); ++column) {
    PyObject* count = PyLong_FromUnsignedLongLong(column < by_column.size() ? by_column[column] : 0);
    if (count == nullptr) return nullptr;
    PyList_SET_ITEM(misfits.get(), static_cast<Py_ssize_t>(column), count);
  }
  return misfits.release();
}

// How a streamed conversion is run: into `sink` as it goes, from `source`
// (a readinto callable) a window at a time, or from the bytes `held` (a
// buffer, or the source's file mapped).
struct StreamRun {
  PyObject* sink_object;
  PyObject* source_object;  // null: the input is `held`
  size_t window_bytes;
  size_t segment_bytes;
};

// A conversion whose output goes to a sink. Returns (rows, invalid cells,
// misfits by column, records with extra fields, rejects or None).
PyObject* convert_streamed(const StreamRun& run, std::span<const uint8_t> held, uint64_t chunk_size,
                           uint64_t sample_rows, unsigned threads, const convert::ConvertOptions& options,
                           SignalCheck& signals, uint64_t most_rejects, PyObject* rejects_object,
                           const NativeState& state) {
  CallableSink sink(run.sink_object);
  CallableSource source(run.source_object);
  convert::ConversionReport report;
  std::vector<convert::Reject> rejects;
  convert::ConversionStatus failure;
  Thrown thrown;
  bool returned;
  {
    WithoutInterpreterLock unlocked;
    sink.call_within(&unlocked);
    source.call_within(&unlocked);
    returned = thrown.run([&] {
      if (run.source_object != nullptr) {
        failure = convert::convert_stream(source, chunk_size, sample_rows, threads, sink, options, &report,
                                          run.window_bytes, run.segment_bytes);
        return;
      }
      common::ByteBuffer out;
      failure = convert::convert_csv_to_qarn_parallel(held, chunk_size, sample_rows, threads, out, options,
                                                      run.segment_bytes, &report, &sink);
      const fields::LostCells& lost = report.lost;
      if (!failure && most_rejects > 0 && lost.misfits() + lost.records_with_extra_fields > 0) {
        rejects = convert::find_rejects(held, options, report, most_rejects);
      }
    });
  }
  if (!returned) return thrown.raise(state.panics());
  if (failure) {
    if (failure->side == convert::FailureSide::Output) return sink.raise();
    if (failure->side == convert::FailureSide::Input) return source.raise();
    if (failure->side == convert::FailureSide::Stopped) return signals.raise();
    return raise_conversion_failure(*failure);
  }
  if (run.source_object == nullptr && PyCallable_Check(rejects_object) &&
      !send_rejects(held, options, report, rejects_object, state)) {
    return nullptr;
  }
  Ref found(rejects_object == Py_None || PyCallable_Check(rejects_object) ? Py_NewRef(Py_None)
                                                                         : rejects_list(rejects, report.names));
  Ref misfits(found ? misfits_list(report) : nullptr);
  if (!misfits) return nullptr;
  return Py_BuildValue("(KKOKO)", static_cast<unsigned long long>(report.rows),
                       static_cast<unsigned long long>(report.invalid_cells), misfits.get(),
                       static_cast<unsigned long long>(report.lost.records_with_extra_fields), found.get());
}

// `file`, None or (descriptor, offset): the file that a callable source
// reads, from that offset on, mapped instead where it can be: read in place
// rather than copied a window at a time. Where it cannot (a pipe, or no
// address space to spare), `mapped` stays empty and the source is read.
bool map_file(PyObject* file, std::optional<convert::MappedInput>& mapped) {
  if (file == Py_None) return true;
  int descriptor = -1;
  unsigned long long offset = 0;
  if (!PyArg_ParseTuple(file, "iK:file", &descriptor, &offset)) return false;
  if (auto mapping = convert::MappedInput::map(descriptor, offset)) mapped.emplace(std::move(*mapping));
  return true;
}

}  // namespace

PyObject* convert(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "chunk_size", "sample_rows", "threads", "delimiter", "quotechar",
                                   "escapechar", "doublequote", "newlines_in_values", "skipinitialspace", "comment",
                                   "skip_rows", "header", "column_names", "null_values", "column_type",
                                   "column_types", "parse_dates", "decimal", "thousands", "thousands_columns",
                                   "report", "rejects", "sink", "window_bytes", "segment_bytes", "file", nullptr};
  PyObject *source, *chunk_object, *sample_object;
  unsigned int threads = 1;
  DialectOptions dialect;  // options not given keep the comma dialect's
  PyObject *skip_object = nullptr, *header = nullptr, *names_object = Py_None, *nulls_object = Py_None;
  PyObject *type_object = Py_None, *types_object = Py_None, *dates_object = nullptr, *report_object = nullptr;
  PyObject *rejects_object = Py_None, *decimal_object = nullptr, *thousands_object = nullptr;
  PyObject* grouped_object = Py_None;
  PyObject *sink_object = Py_None, *window_object = nullptr, *segment_object = nullptr, *file_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOI|$OOOOOOOOOOOOOOOOOOOOOOO:convert", const_cast<char**>(keywords),
                                   &source, &chunk_object, &sample_object, &threads, &dialect.delimiter,
                                   &dialect.quotechar, &dialect.escapechar, &dialect.doublequote,
                                   &dialect.newlines_in_values, &dialect.skipinitialspace, &dialect.comment,
                                   &skip_object, &header,
                                   &names_object, &nulls_object, &type_object, &types_object, &dates_object,
                                   &decimal_object, &thousands_object, &grouped_object, &report_object,
                                   &rejects_object,
                                   &sink_object, &window_object, &segment_object, &file_object)) {
    return nullptr;
  }
  uint64_t window_bytes = 0, segment_bytes = 0;
  if ((window_object != nullptr && !to_count(window_object, window_bytes)) ||
      (segment_object != nullptr && !to_count(segment_object, segment_bytes))) {
    return nullptr;
  }
  uint64_t chunk_size = 0, sample_rows = kSampleForEveryRecord;
  convert::ConvertOptions options;
  csv::TableLayout& layout = options.layout;
  std::optional<csv::NullValues> null_values;
  bool wants_report = false;
  uint64_t most_rejects = 0;
  options.infer_from_every_record = sample_object == Py_None;
  if (!to_count(chunk_object, chunk_size) || (sample_object != Py_None && !to_count(sample_object, sample_rows)) ||
      !parse_dialect(dialect, layout.dialect) || !flag(header, "header", layout.header) ||
      (skip_object != nullptr && !to_count(skip_object, layout.skip_rows)) ||
      !to_strings(names_object, "column_names", options.column_names) || !to_null_values(nulls_object, null_values) ||
      (type_object != Py_None && !to_type(type_object, options.every_column_type.emplace())) ||
      !to_column_types(types_object, options.column_types) || !flag(dates_object, "parse_dates", options.parse_dates) ||
      !to_spelling(decimal_object, thousands_object, options.spelling) ||
      !to_grouped_columns(grouped_object, options.spelling) ||
      !flag(report_object, "report", wants_report) ||
      (rejects_object != Py_None && !PyCallable_Check(rejects_object) && !to_count(rejects_object, most_rejects))) {
    return nullptr;
  }
  if (null_values) layout.null_values = &*null_values;
  SignalCheck signals;
  options.stop = &signals;
  const NativeState& state = native_state(module);
  BufferView view;
  if (sink_object != Py_None) {
    if (!PyCallable_Check(sink_object)) {
      PyErr_SetString(PyExc_TypeError, "sink must be callable");
      return nullptr;
    }
    // A callable source is a stream: its rejects cannot be looked for again.
    const bool streamed = PyCallable_Check(source) != 0;
    if (streamed && rejects_object != Py_None) {
      PyErr_SetString(PyExc_ValueError, "rejects need an input held in memory, not a stream");
      return nullptr;
    }
    if (!streamed && !view.acquire(source)) return nullptr;
    std::optional<convert::MappedInput> mapped;
    if (streamed && !map_file(file_object, mapped)) return nullptr;
    if (mapped) options.mapped = &*mapped;
    const StreamRun run{sink_object, streamed && !mapped ? source : nullptr, static_cast<size_t>(window_bytes),
                        static_cast<size_t>(segment_bytes)};
    return convert_streamed(run, mapped ? mapped->bytes() : view.bytes(), chunk_size, sample_rows, threads, options,
                            signals, most_rejects, rejects_object, state);
  }
  if (!view.acquire(source)) return nullptr;
  convert::ConversionReport report;
  std::vector<convert::Reject> rejects;
  bool stopped = false;
  Ref output(convert_to_bytes(
      Lock::Released,
      [&](common::ByteBuffer& out) -> convert::ConversionStatus {
        auto failure = convert::convert_csv_to_qarn_parallel(view.bytes(), chunk_size, sample_rows, threads, out,
                                                             options, 0, &report);
        stopped = failure && failure->side == convert::FailureSide::Stopped;
        const fields::LostCells& lost = report.lost;
        if (!failure && most_rejects > 0 && lost.misfits() + lost.records_with_extra_fields > 0) {
          rejects = convert::find_rejects(view.bytes(), options, report, most_rejects);
        }
        return failure;
      },
      [&] { return state.panics(); }));
  if (stopped) return signals.raise();
  if (!output || !wants_report) return output.release();
  if (PyCallable_Check(rejects_object) && !send_rejects(view.bytes(), options, report, rejects_object, state)) {
    return nullptr;
  }
  Ref found(rejects_object == Py_None || PyCallable_Check(rejects_object) ? Py_NewRef(Py_None)
                                                                         : rejects_list(rejects, report.names));
  Ref misfits(found ? misfits_list(report) : nullptr);
  if (!misfits) return nullptr;
  return Py_BuildValue("(OOKO)", output.get(), misfits.get(),
                       static_cast<unsigned long long>(report.lost.records_with_extra_fields), found.get());
}

}  // namespace binding
