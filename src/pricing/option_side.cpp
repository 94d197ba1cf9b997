#include "pricing/option_side.hpp"

#include <optional>
#include <string>

#include "core/unicode.hpp"

namespace korvex::pricing {

namespace {

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
    using unicode::ascii_lower_equals;
    if (unicode::is_ascii(text)) {
        if (ascii_lower_equals(text, "c") || ascii_lower_equals(text, "call")) return OptionSide::Call;
        if (ascii_lower_equals(text, "p") || ascii_lower_equals(text, "put")) return OptionSide::Put;
    }
    std::string lowered = unicode::to_lower(text);
    if (auto side = match_lowered(lowered)) return *side;
    return value_error("Unknown option type: '" + lowered + "'. Use 'call'/'c' or 'put'/'p'.");
}

}  // namespace korvex::pricing
