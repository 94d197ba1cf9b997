#include "calendar/tenor.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "core/unicode.hpp"

namespace korvex::calendar {

std::optional<double> parse_tenor_number(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;

    using unicode::ascii_lower_equals;
    if (ascii_lower_equals(text, "inf") || ascii_lower_equals(text, "infinity")) {
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    if (ascii_lower_equals(text, "nan")) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return negative ? -nan : nan;
    }

    // Validate the decimal form and note the decimal magnitude of its first
    // significant digit, which tells overflow from underflow below.
    std::size_t i = 0;
    const std::size_t n = text.size();
    std::size_t digits = 0;
    std::int64_t int_digits = 0;
    std::optional<std::int64_t> lead;  // power of ten of the first non-zero digit
    while (i < n && text[i] >= '0' && text[i] <= '9') {
        if (!lead && text[i] != '0') lead = int_digits;
        ++int_digits;
        ++digits;
        ++i;
    }
    if (i < n && text[i] == '.') {
        ++i;
        std::int64_t frac_pos = 0;
        while (i < n && text[i] >= '0' && text[i] <= '9') {
            ++frac_pos;
            if (!lead && text[i] != '0') lead = int_digits + frac_pos - 1;
            ++digits;
            ++i;
        }
    }
    if (digits == 0) return std::nullopt;
    std::int64_t exponent = 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            exp_negative = text[i] == '-';
            ++i;
        }
        if (i == n) return std::nullopt;
        while (i < n && text[i] >= '0' && text[i] <= '9') {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - '0');
            ++i;
        }
        if (exp_negative) exponent = -exponent;
    }
    if (i != n) return std::nullopt;

    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + n, value,
                                           std::chars_format::general);
    if (end != text.data() + n) throw InternalFault("float text accepted but not read");
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: the nearest double is
        // infinity or zero. lead is the first digit's place counted from the
        // left of the number, so its power of ten is int_digits - 1 - lead.
        const std::int64_t magnitude = (int_digits - 1 - lead.value_or(0)) + exponent;
        value = magnitude >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc()) {
        throw InternalFault("float text accepted but not read");
    }
    return negative ? -value : value;
}

Result<double> parse_tenor(std::string_view tenor) {
    const char unit = tenor.empty() ? '\0' : tenor.back();
    if (unit != 'd' && unit != 'w' && unit != 'm' && unit != 'y') {
        return value_error("Invalid tenor format: " + std::string(tenor));
    }
    const std::string_view number = tenor.substr(0, tenor.size() - 1);
    if (number.empty()) return value_error("cannot parse float from empty string");
    const auto n = parse_tenor_number(number);
    if (!n) return value_error("invalid float literal");
    switch (unit) {
        case 'd': return *n / 365.0;
        case 'w': return (*n * 7.0) / 365.0;
        case 'm': return (*n * 30.0) / 365.0;
        default: return *n;
    }
}

}  // namespace korvex::calendar
