// The property names the format gives a meaning to, as they stand in files.
#pragma once

#include <string_view>

namespace qarn::property {

// Table properties.
inline constexpr std::string_view kTableColumns = "TableColumns";  // int: the number of columns

// Column properties, which every column carries.
inline constexpr std::string_view kName = "Name";          // string: the column's name
inline constexpr std::string_view kDataType = "DataType";  // bytes: one byte, the column's type id

// Value properties of a column slice: one value per row.
inline constexpr std::string_view kIsInvalid = "IsInvalid";                // bits: the row's value is invalid
inline constexpr std::string_view kErrorCode = "ErrorCode";                // why it is
inline constexpr std::string_view kHasReplacedValue = "HasReplacedValue";  // bits: the value was replaced

}  // namespace qarn::property
