#include "binding/decoded.hpp"

#include <cstring>

#include "common/load.hpp"

#include "binding/buffer.hpp"

namespace binding {

namespace {

using qarn::TypeId;

using common::load;

PyObject* text(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
}

PyObject* optional_value(const std::optional<qarn::MetadataValue>& value) {
  return value ? metadata_value(*value) : Py_NewRef(Py_None);
}

// Fills `list` (new, of the right length) by `make(i)`; false on failure.
template <class Make>
PyObject* build_list(size_t size, Make make) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return nullptr;
  for (size_t i = 0; i < size; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* table_properties(const qarn::FileHead& head) {
  return build_list(head.table_properties.size(), [&](size_t i) -> PyObject* {
    const qarn::MetadataProperty& property = head.table_properties[i];
    Ref name(text(property.name));
    Ref value(name ? metadata_value(property.value) : nullptr);
    Ref default_value(value ? optional_value(property.default_value) : nullptr);
    if (!default_value) return nullptr;
    return Py_BuildValue("(OiOO)", name.get(), static_cast<int>(property.value.type), value.get(),
                         default_value.get());
  });
}

PyObject* definitions(const qarn::FileHead& head) {
  return build_list(head.definitions.size(), [&](size_t i) -> PyObject* {
    const qarn::PropertyDefinition& definition = head.definitions[i];
    Ref name(text(definition.name));
    Ref default_value(name ? optional_value(definition.default_value) : nullptr);
    if (!default_value) return nullptr;
    return Py_BuildValue("(OiO)", name.get(), static_cast<int>(definition.type),
                         default_value.get());
  });
}

// Per column, one entry per definition: its value, or None.
PyObject* column_values(const qarn::FileHead& head) {
  const size_t columns = static_cast<size_t>(head.column_count);
  return build_list(columns, [&](size_t c) -> PyObject* {
    Ref list(PyList_New(static_cast<Py_ssize_t>(head.definitions.size())));
    if (!list) return nullptr;
    for (size_t d = 0; d < head.definitions.size(); ++d) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(d), Py_NewRef(Py_None));
    }
    for (const qarn::FileHead::ColumnValue& entry : head.values_of(c)) {
      PyObject* value = metadata_value(entry.value);
      if (value == nullptr) return nullptr;
      PyObject* previous = PyList_GET_ITEM(list.get(), entry.definition);
      PyList_SET_ITEM(list.get(), entry.definition, value);
      Py_DECREF(previous);
    }
    return list.release();
  });
}

PyObject* buffer_or_none(PyTypeObject* buffer_type, common::ByteBuffer& bytes, bool present) {
  return present ? new_buffer(buffer_type, std::move(bytes)) : Py_NewRef(Py_None);
}

// Sets `dict[key] = value`, taking over the reference; false on failure.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

}  // namespace

PyObject* metadata_value(const qarn::MetadataValue& value) {
  const char* p = value.bytes.data();
  switch (value.type) {
    case TypeId::Bool: return PyBool_FromLong(p[0]);
    case TypeId::Int: return PyLong_FromLong(load<int32_t>(p));
    case TypeId::Long: return PyLong_FromLongLong(load<int64_t>(p));
    case TypeId::Float: return PyFloat_FromDouble(static_cast<double>(load<float>(p)));
    case TypeId::Double: return PyFloat_FromDouble(load<double>(p));
    case TypeId::Unnamed06:
    case TypeId::Unnamed07:
    case TypeId::Unnamed08:
    case TypeId::Unnamed09: return PyLong_FromUnsignedLongLong(load<uint64_t>(p));
    case TypeId::String: return text(value.bytes);
    case TypeId::Bytes:
    case TypeId::Unnamed0D:
      return PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(value.bytes.size()));
  }
  Py_RETURN_NONE;
}

PyObject* head_dict(const qarn::FileHead& head) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const bool ok =
      set_item(dict.get(), "version",
               Py_BuildValue("(ii)", head.major_version, head.minor_version)) &&
      set_item(dict.get(), "table_properties", table_properties(head)) &&
      set_item(dict.get(), "definitions", definitions(head)) &&
      set_item(dict.get(), "column_values", column_values(head)) &&
      set_item(dict.get(), "names",
               build_list(head.column_names.size(), [&](size_t i) { return text(head.column_names[i]); })) &&
      set_item(dict.get(), "types", build_list(head.column_types.size(), [&](size_t i) {
                 return PyLong_FromLong(static_cast<long>(head.column_types[i]));
               }));
  return ok ? dict.release() : nullptr;
}

PyObject* value_column_tuple(PyTypeObject* buffer_type, qarn::ValueColumn& column) {
  const bool variable = qarn::is_variable_width(column.type());
  Ref fixed(buffer_or_none(buffer_type, column.fixed(), !variable));
  Ref offsets(fixed ? buffer_or_none(buffer_type, column.offsets(), variable) : nullptr);
  Ref data(offsets ? buffer_or_none(buffer_type, column.data(), variable) : nullptr);
  if (!data) return nullptr;
  return Py_BuildValue("(iOOOi)", static_cast<int>(column.type()), fixed.get(), offsets.get(),
                       data.get(), static_cast<int>(column.offset_width()));
}

PyObject* properties_list(PyTypeObject* buffer_type, std::vector<qarn::SliceProperty>& properties) {
  return build_list(properties.size(), [&](size_t i) -> PyObject* {
    qarn::SliceProperty& property = properties[i];
    Ref name(text(property.name));
    Ref values(name ? value_column_tuple(buffer_type, property.values) : nullptr);
    if (!values) return nullptr;
    return Py_BuildValue("(OiO)", name.get(), static_cast<int>(property.encoding), values.get());
  });
}

bool add_slices(PyObject* dict, PyTypeObject* buffer_type, qarn::DecodedSlices& slices) {
  Ref properties(PyDict_New());
  if (!properties) return false;
  for (auto& [key, list] : slices.slice_properties) {
    Ref where(Py_BuildValue("(KK)", static_cast<unsigned long long>(key.first),
                            static_cast<unsigned long long>(key.second)));
    Ref entry(where ? properties_list(buffer_type, list) : nullptr);
    if (!entry || PyDict_SetItem(properties.get(), where.get(), entry.get()) < 0) return false;
  }
  return set_item(dict, "slice_rows", build_list(slices.slice_rows.size(), [&](size_t i) {
                    return PyLong_FromUnsignedLongLong(slices.slice_rows[i]);
                  })) &&
         set_item(dict, "columns", build_list(slices.columns.size(), [&](size_t c) -> PyObject* {
                    std::optional<qarn::DecodedColumn>& column = slices.columns[c];
                    if (!column) return Py_NewRef(Py_None);
                    Ref values(value_column_tuple(buffer_type, column->values));
                    Ref invalid(values ? buffer_or_none(buffer_type, column->invalid.flags(),
                                                        column->invalid.any())
                                       : nullptr);
                    if (!invalid) return nullptr;
                    return PyTuple_Pack(2, values.get(), invalid.get());
                  })) &&
         set_item(dict, "slice_properties", properties.release()) &&
         set_item(dict, "slice_has_invalid",
                  PyBytes_FromStringAndSize(
                      reinterpret_cast<const char*>(slices.slice_has_invalid.data()),
                      static_cast<Py_ssize_t>(slices.slice_has_invalid.size())));
}

PyObject* table_dict(PyTypeObject* buffer_type, qarn::DecodedTable& table) {
  Ref dict(head_dict(table.head));
  if (!dict || !add_slices(dict.get(), buffer_type, table.slices)) return nullptr;
  return dict.release();
}

}  // namespace binding
