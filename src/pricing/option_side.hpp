#pragma once

#include <string_view>

#include "core/error.hpp"

namespace korvex::pricing {

enum class OptionSide { Call, Put };

// "c"/"call" or "p"/"put" after full Unicode lower-casing, nothing trimmed.
Result<OptionSide> parse_option_side(std::string_view text);

}  // namespace korvex::pricing
