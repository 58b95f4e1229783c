// Floating-point values as text that reads back to the same bits, spelled as
// Python's repr() spells a float: the fewest significant digits that round
// trip; plain decimal notation from 1e-4 up to (not including) 1e16, with
// ".0" added to a whole number; scientific notation with a signed exponent
// of at least two digits outside that range (1e+16, 1.5e-05, 5e-324).
#pragma once

#include <cstddef>
#include <string_view>

namespace csv_output {

// Room for the longest text either function writes.
inline constexpr size_t kFloatTextSize = 32;

// Finite values only; `buffer` holds kFloatTextSize bytes.
std::string_view float_text(char* buffer, double value);
// A 32-bit float, with the fewest digits that read back to the same float.
std::string_view float_text(char* buffer, float value);

}  // namespace csv_output
