// Unicode helpers backed by ICU: full lower-case mapping and White_Space.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvex::unicode {

// ASCII letters map to their lower case; every other byte is kept.
constexpr char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when every byte is ASCII: such text lower-cases byte by byte.
constexpr bool is_ascii(std::string_view text) noexcept {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

// Whether `text`, with its ASCII letters lower-cased, equals the lower-case `word`.
constexpr bool ascii_lower_equals(std::string_view text, std::string_view word) noexcept {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (ascii_lower(text[i]) != word[i]) return false;
    }
    return true;
}

// Full (not simple, not ASCII-only) Unicode lower-case mapping of UTF-8 text.
std::string to_lower(std::string_view utf8);

// Strips leading and trailing code points with the White_Space property.
std::string_view trim_white_space(std::string_view utf8);

}  // namespace korvex::unicode
