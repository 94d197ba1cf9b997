// Tenor texts ("3m", "1.5y", "2w", "10d") and the float grammar they use.
#pragma once

#include <optional>
#include <string_view>

#include "core/error.hpp"

namespace korvex::calendar {

// The number of a tenor: an optional sign, then inf / infinity / nan in any
// letter case, or decimal digits with at most one point (at least one digit
// in all) and an optional exponent. No blanks, separators or hexadecimal.
// The value is the nearest double; nothing when the text is not of that form.
std::optional<double> parse_tenor_number(std::string_view text);

// A tenor in 365-day years: the number, then one unit letter, d (n / 365),
// w (7n / 365), m (30n / 365) or y (n). Errors are ValueErrors whose texts
// callers match: "Invalid tenor format: <tenor>", "cannot parse float from
// empty string", "invalid float literal".
Result<double> parse_tenor(std::string_view tenor);

}  // namespace korvex::calendar
