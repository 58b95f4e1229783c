// The markers of missing values a sample uses: those of the default list
// (NA, NULL, ...) and, in columns of a type, a few more (-, ?, nil, the
// statistics offices' .. and :, ...).
// A set of them is a bit mask, in the order they are listed in a dialect.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "sniff/column_kind.hpp"
#include "sniff/utf8_text.hpp"

namespace sniff {

using MarkerSet = uint32_t;

// Each marker, bit i of a MarkerSet for the i-th: first the defaults, then
// those read as missing only among values of a type.
std::string_view marker_text(int i) noexcept;
inline constexpr int kMarkers = 19;
inline constexpr MarkerSet kDefaultMarkers = (1u << 10) - 1;

// The marker the text is, as one bit, or 0.
MarkerSet marker_of(std::string_view text) noexcept;

// Whether the field, stripped, is a marker read as missing only among
// values of a type (-, .., ?, ...), not one of the defaults.
inline bool typed_only_marker(std::string_view field) noexcept {
  return (marker_of(strip(field)) & ~kDefaultMarkers) != 0;
}

struct ColumnMarkers {
  MarkerSet missing = 0;  // read as missing: they keep their column's type
  MarkerSet text = 0;     // seen as values among other text, which must stay text
  MarkerSet codes = 0;    // values of a column of codes like them (NA, Namibia's): never missing
};

// The markers of missing values in the table's rows (`body`): in columns of
// a type, in columns that hold nothing else, or standing bare in a column
// of text whose writer quoted every text (R's exports). `quoted` says which
// fields of each row were quoted, where that is known (may be empty).
ColumnMarkers column_markers(const std::vector<Fields>& body, const Kinds& kinds,
                             const std::vector<std::optional<std::vector<bool>>>& quoted = {});

// The default markers that stand as whole fields in the text, quoted or not,
// after a space that follows the delimiter too when `spaced`.
MarkerSet markers_in(std::string_view text, char delimiter, bool spaced = false);

}  // namespace sniff
