// libFuzzer target: Calendar::tenor_to_ttx on arbitrary bytes.
//
// Besides surviving every input (ASan, UBSan), each answer is checked
// against an independent reading of the tenor: the number grammar is
// matched by a separate recogniser here and the value of an accepted number
// is compared, bit for bit, with the C library's correctly rounded strtod.
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "calendar/calendar.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view tenor, const std::string& detail) {
    std::fprintf(stderr, "tenor check failed: %s\n  tenor (%zu bytes): ", what, tenor.size());
    for (unsigned char c : tenor) std::fprintf(stderr, "\\x%02x", c);
    std::fprintf(stderr, "\n  %s\n", detail.c_str());
    std::abort();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_word(std::string_view s, std::string_view word) {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] + 32) : s[i];
        if (c != word[i]) return false;
    }
    return true;
}

// [+-]? ( inf | infinity | nan | mantissa exponent? ), nothing else.
bool fits_grammar(std::string_view s) {
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    if (equals_word(s, "inf") || equals_word(s, "infinity") || equals_word(s, "nan")) return true;
    std::size_t i = 0;
    std::size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == s.size();
}

std::string describe(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g (bits %016llx)", v,
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(v)));
    return buf;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::setlocale(LC_ALL, "C");  // strtod reads '.' as the decimal point
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view tenor(reinterpret_cast<const char*>(data), size);
    const auto got = korvex::calendar::Calendar::tenor_to_ttx(tenor);

    const char unit = tenor.empty() ? '\0' : tenor.back();
    if (unit != 'd' && unit != 'w' && unit != 'm' && unit != 'y') {
        const std::string want = "Invalid tenor format: " + std::string(tenor);
        if (got || got.error().message != want) fail("expected the tenor-format error", tenor, got ? describe(*got) : got.error().message);
        return 0;
    }
    const std::string_view number = tenor.substr(0, tenor.size() - 1);
    if (number.empty()) {
        if (got || got.error().message != "cannot parse float from empty string")
            fail("expected the empty-number error", tenor, got ? describe(*got) : got.error().message);
        return 0;
    }
    if (!fits_grammar(number)) {
        if (got || got.error().message != "invalid float literal")
            fail("expected the invalid-literal error", tenor, got ? describe(*got) : got.error().message);
        return 0;
    }
    if (!got) fail("a number of the grammar was refused", tenor, got.error().message);

    // The grammar is a subset of strtod's, and both give the nearest double.
    const std::string text(number);
    char* end = nullptr;
    const double n = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) fail("strtod did not read the whole number", tenor, text);
    double want = 0.0;
    switch (unit) {
        case 'd': want = n / 365.0; break;
        case 'w': want = (n * 7.0) / 365.0; break;
        case 'm': want = (n * 30.0) / 365.0; break;
        default: want = n; break;
    }
    const bool same = std::isnan(want) ? (std::isnan(*got) && std::signbit(*got) == std::signbit(want))
                                       : std::bit_cast<std::uint64_t>(*got) == std::bit_cast<std::uint64_t>(want);
    if (!same) fail("value differs from strtod", tenor, "got " + describe(*got) + ", want " + describe(want));
    return 0;
}
