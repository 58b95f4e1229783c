#include "table_input/column_input.hpp"

#include "fields/column_type.hpp"

namespace table_input {

qarn::TypeId storage_type(SourceKind kind) noexcept {
  switch (kind) {
    case SourceKind::BoolBytes:
    case SourceKind::BoolBits: return qarn::TypeId::Bool;
    case SourceKind::Int8:
    case SourceKind::Int16:
    case SourceKind::Int32:
    case SourceKind::UInt8:
    case SourceKind::UInt16: return qarn::TypeId::Int;
    case SourceKind::Float32: return qarn::TypeId::Float;
    case SourceKind::Float64: return qarn::TypeId::Double;
    case SourceKind::String32:
    case SourceKind::String64: return qarn::TypeId::String;
    case SourceKind::Binary32:
    case SourceKind::Binary64: return qarn::TypeId::Bytes;
    case SourceKind::Int64:
    case SourceKind::UInt32:
    case SourceKind::UInt64:
    case SourceKind::Date32:
    case SourceKind::Date64:
    case SourceKind::TimestampS:
    case SourceKind::TimestampMs:
    case SourceKind::TimestampUs:
    case SourceKind::TimestampNs: return qarn::TypeId::Long;
  }
  return qarn::TypeId::Long;
}

std::string_view logical_type(SourceKind kind, bool utc) noexcept {
  switch (kind) {
    case SourceKind::Date32:
    case SourceKind::Date64: return fields::logical_type(fields::ColumnType::Date);
    case SourceKind::TimestampS:
    case SourceKind::TimestampMs:
    case SourceKind::TimestampUs:
    case SourceKind::TimestampNs:
      return fields::logical_type(utc ? fields::ColumnType::TimestampUtc : fields::ColumnType::Timestamp);
    default: return {};
  }
}

size_t source_width(SourceKind kind) noexcept {
  switch (kind) {
    case SourceKind::BoolBytes:
    case SourceKind::Int8:
    case SourceKind::UInt8: return 1;
    case SourceKind::Int16:
    case SourceKind::UInt16: return 2;
    case SourceKind::Int32:
    case SourceKind::UInt32:
    case SourceKind::Float32:
    case SourceKind::Date32: return 4;
    case SourceKind::Int64:
    case SourceKind::UInt64:
    case SourceKind::Float64:
    case SourceKind::Date64:
    case SourceKind::TimestampS:
    case SourceKind::TimestampMs:
    case SourceKind::TimestampUs:
    case SourceKind::TimestampNs: return 8;
    default: return 0;
  }
}

}  // namespace table_input
