// Unicode helpers backed by ICU: full lower-case mapping and White_Space.
#pragma once

#include <string>
#include <string_view>

namespace korvex::unicode {

// Full (not simple, not ASCII-only) Unicode lower-case mapping of UTF-8 text.
std::string to_lower(std::string_view utf8);

// Strips leading and trailing code points with the White_Space property.
std::string_view trim_white_space(std::string_view utf8);

}  // namespace korvex::unicode
