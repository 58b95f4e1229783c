// string_views: the decoded string and bytes columns of a table in
// Arrow's view layout, written into buffers the caller allocated, on
// several threads without the interpreter lock, for handing to polars
// without a copy of their data.
#include <algorithm>
#include <deque>
#include <vector>

#include "binding/native_functions.hpp"
#include "binding/native_state.hpp"
#include "common/spread.hpp"
#include "qarn/string_views.hpp"

namespace binding {

namespace {

struct ViewedColumn {
  qarn::OffsetsView offsets;
  std::span<const uint8_t> data;
  uint64_t rows = 0;
  uint8_t* views = nullptr;  // rows * kStringViewBytes
};

// Rows [first, end) of one column: a piece of a thread's work.
struct ViewPiece {
  size_t column;
  uint64_t first;
  uint64_t end;
};

// Fewer rows than this in all are laid out on one thread: starting
// another would cost more than it saves.
constexpr uint64_t kRowsWorthAThread = 1 << 16;

// The rows of all columns cut into `threads` runs of about equal length,
// each a list of pieces.
std::vector<std::vector<ViewPiece>> share_rows(const std::deque<ViewedColumn>& columns, unsigned threads) {
  uint64_t total = 0;
  for (const ViewedColumn& column : columns) total += column.rows;
  const uint64_t count = std::clamp<uint64_t>(total / kRowsWorthAThread, 1, threads);
  const uint64_t quota = (total + count - 1) / count;
  std::vector<std::vector<ViewPiece>> shares(count);
  size_t share = 0;
  uint64_t taken = 0;  // rows of the current share
  for (size_t c = 0; c < columns.size(); ++c) {
    for (uint64_t first = 0; first < columns[c].rows;) {
      if (taken == quota) {
        ++share;
        taken = 0;
      }
      const uint64_t end = std::min(columns[c].rows, first + (quota - taken));
      shares[share].push_back({c, first, end});
      taken += end - first;
      first = end;
    }
  }
  return shares;
}

bool lay_out(std::deque<ViewedColumn>& columns, const std::vector<ViewPiece>& pieces) noexcept {
  bool sound = true;
  for (const ViewPiece& piece : pieces) {
    ViewedColumn& column = columns[piece.column];
    sound &= qarn::write_string_views(column.offsets, column.data, piece.first, piece.end,
                                      column.views + piece.first * qarn::kStringViewBytes);
  }
  return sound;
}

// Lays out every share, each on a thread of its own (the first on the
// calling one, and any whose thread cannot be started after it). False
// when some offsets were out of order.
bool lay_out_shares(std::deque<ViewedColumn>& columns, const std::vector<std::vector<ViewPiece>>& shares) {
  std::vector<char> sound(shares.size(), 1);
  common::run_spread(shares.size(), [&](size_t k) { sound[k] = lay_out(columns, shares[k]); });
  return std::all_of(sound.begin(), sound.end(), [](char ok) { return ok != 0; });
}

// One (offsets, data, offset width, views) tuple as a column to lay out;
// false with a Python error set.
bool parse_viewed_column(PyObject* item, std::deque<BufferView>& held, ViewedColumn& column) {
  PyObject *offsets_object, *data_object, *views_object;
  int width = 0;
  if (!PyArg_ParseTuple(item, "OOiO:column", &offsets_object, &data_object, &width, &views_object)) return false;
  if (width != 4 && width != 8) {
    PyErr_SetString(PyExc_ValueError, "offsets are 4 or 8 bytes wide");
    return false;
  }
  BufferView& offsets = held.emplace_back();
  BufferView& data = held.emplace_back();
  BufferView& views = held.emplace_back();
  if (!offsets.acquire(offsets_object) || !data.acquire(data_object) ||
      !views.acquire(views_object, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) {
    return false;
  }
  const size_t entries = offsets.bytes().size() / static_cast<size_t>(width);
  if (entries == 0 || data.bytes().size() > qarn::kMostViewedData) {
    PyErr_SetString(PyExc_ValueError, "no offsets, or more data than views can address");
    return false;
  }
  column.rows = entries - 1;
  if (views.bytes().size() / qarn::kStringViewBytes < column.rows) {
    PyErr_SetString(PyExc_ValueError, "views buffer shorter than its rows");
    return false;
  }
  column.offsets = qarn::OffsetsView(offsets.bytes().data(), static_cast<size_t>(width));
  column.data = data.bytes();
  column.views = views.writable_bytes().data();
  return true;
}

}  // namespace

PyObject* string_views(PyObject* module, PyObject* args) {
  PyObject* columns_object = nullptr;
  Py_ssize_t threads = 1;
  if (!PyArg_ParseTuple(args, "O!n:string_views", &PyList_Type, &columns_object, &threads)) return nullptr;
  if (threads < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return nullptr;
  }
  const NativeState& state = native_state(module);
  return guarded(state.panics(), [&]() -> PyObject* {
    // A tuple of the items, which holds them while a buffer export may run
    // Python code that changes the list.
    const Ref items(PyList_AsTuple(columns_object));
    if (!items) return nullptr;
    std::deque<BufferView> held;
    std::deque<ViewedColumn> columns;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      if (!parse_viewed_column(PyTuple_GET_ITEM(items.get(), i), held, columns.emplace_back())) return nullptr;
    }
    const auto most = static_cast<unsigned>(std::min<Py_ssize_t>(threads, 1024));
    bool sound = true;
    if (!run_unlocked(state.panics(), [&] { sound = lay_out_shares(columns, share_rows(columns, most)); })) {
      return nullptr;
    }
    if (!sound) {
      PyErr_SetString(PyExc_ValueError, "column offsets out of order");
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace binding
