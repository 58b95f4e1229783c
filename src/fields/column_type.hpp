// What a column holds, as conversion sees it: one of the format's value
// types, or a date or timestamp stored as a `long` with a column property
// that says so, so that any reader of the format still sees integers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "qarn/value.hpp"

namespace fields {

enum class ColumnType : uint8_t {
  Bool,
  Int,
  Long,
  Float,
  Double,
  String,
  Date,          // days since 1970-01-01
  Timestamp,     // microseconds since 1970-01-01T00:00, wall time without a zone
  TimestampUtc,  // microseconds since 1970-01-01T00:00Z
};

// The type the values are stored as.
constexpr qarn::TypeId storage_type(ColumnType type) noexcept {
  switch (type) {
    case ColumnType::Bool: return qarn::TypeId::Bool;
    case ColumnType::Int: return qarn::TypeId::Int;
    case ColumnType::Float: return qarn::TypeId::Float;
    case ColumnType::Double: return qarn::TypeId::Double;
    case ColumnType::String: return qarn::TypeId::String;
    case ColumnType::Long:
    case ColumnType::Date:
    case ColumnType::Timestamp:
    case ColumnType::TimestampUtc: return qarn::TypeId::Long;
  }
  return qarn::TypeId::String;
}

// The column property that gives stored integers their meaning, and its
// values, spelt as Arrow names the types.
inline constexpr std::string_view kLogicalTypeProperty = "LogicalType";

// The property's value for a column of this type; empty for types that
// are what they are stored as.
constexpr std::string_view logical_type(ColumnType type) noexcept {
  switch (type) {
    case ColumnType::Date: return "date32[day]";
    case ColumnType::Timestamp: return "timestamp[us]";
    case ColumnType::TimestampUtc: return "timestamp[us, tz=UTC]";
    default: return {};
  }
}

// The names a caller chooses types by: "timestamp" is with or without a
// zone as the sample's values are.
inline std::optional<ColumnType> column_type_named(std::string_view name) noexcept {
  constexpr std::pair<std::string_view, ColumnType> kNames[] = {
      {"bool", ColumnType::Bool},     {"int", ColumnType::Int},       {"long", ColumnType::Long},
      {"float", ColumnType::Float},   {"double", ColumnType::Double}, {"string", ColumnType::String},
      {"date", ColumnType::Date},     {"timestamp", ColumnType::Timestamp},
  };
  for (const auto& [known, type] : kNames) {
    if (known == name) return type;
  }
  return std::nullopt;
}

}  // namespace fields
