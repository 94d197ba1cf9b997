#include "core/unicode.hpp"

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>
#include <unicode/locid.h>

#include "core/icu_setup.hpp"

namespace korvex::unicode {

std::string to_lower(std::string_view utf8) {
    // ASCII needs no tables: the full mapping of an ASCII text is its ASCII
    // lower case. This keeps the common "c"/"put" path free of ICU.
    if (is_ascii(utf8)) {
        std::string out(utf8);
        for (char& c : out) c = ascii_lower(c);
        return out;
    }
    icu_setup::use_linked_data_only();
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

std::string_view trim_white_space(std::string_view s) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    const auto n = static_cast<int32_t>(s.size());
    int32_t begin = 0;
    while (begin < n) {
        int32_t i = begin;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        begin = i;
    }
    int32_t end = n;
    while (end > begin) {
        int32_t i = end;
        UChar32 c;
        U8_PREV(p, begin, i, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = i;
    }
    return s.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

}  // namespace korvex::unicode
