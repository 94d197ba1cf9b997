#include "pricing/option_side.hpp"

#include <cstddef>
#include <optional>
#include <string>

#include "core/unicode.hpp"

namespace korvex::pricing {

namespace {

// True when every byte is ASCII; such text lower-cases byte by byte.
bool is_ascii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

// Compares ASCII text, lower-cased on the fly, with an already lower-case word.
bool ascii_lower_equals(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

std::optional<OptionSide> match_lowered(std::string_view lowered) {
    if (lowered == "c" || lowered == "call") return OptionSide::Call;
    if (lowered == "p" || lowered == "put") return OptionSide::Put;
    return std::nullopt;
}

}  // namespace

Result<OptionSide> parse_option_side(std::string_view text) {
    // The common case, an ASCII side such as "c" or "Put", is decided without
    // building the lower-cased copy; only non-ASCII text and the error message
    // need the full Unicode mapping.
    if (is_ascii(text)) {
        if (ascii_lower_equals(text, "c") || ascii_lower_equals(text, "call")) return OptionSide::Call;
        if (ascii_lower_equals(text, "p") || ascii_lower_equals(text, "put")) return OptionSide::Put;
    }
    std::string lowered = unicode::to_lower(text);
    if (auto side = match_lowered(lowered)) return *side;
    return value_error("Unknown option type: '" + lowered + "'. Use 'call'/'c' or 'put'/'p'.");
}

}  // namespace korvex::pricing
