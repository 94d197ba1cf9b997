// libFuzzer target: the calendar document parser and the calendar built
// from it, on arbitrary bytes.
//
// Every input is read as a whole calendar document (Calendar::from_document).
// A document that is accepted must give consistent weight tables, and
// business time must be measurable in its zone across the whole supported
// range of instants without an internal fault. Every input that is valid
// UTF-8 is also read as one interval label, and label_bucket is compared
// with a plain reading of the label rules (its fast path for the usual
// "HH:MM - HH:MM" form must agree with the general one).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <simdjson.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "calendar/calendar.hpp"
#include "calendar/calendar_document.hpp"

namespace {

using korvex::UtcInstant;
using korvex::calendar::Calendar;

[[noreturn]] void fail(const char* what, std::string_view input, const std::string& detail) {
    std::fprintf(stderr, "calendar check failed: %s\n  %s\n  input (%zu bytes): ", what, detail.c_str(),
                 input.size());
    for (unsigned char c : input.substr(0, 512)) std::fprintf(stderr, "\\x%02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

// Unicode White_Space trimmed from both ends, decoding UTF-8 with ICU.
std::string_view trim(std::string_view s) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    const auto n = static_cast<std::int32_t>(s.size());
    std::int32_t begin = 0;
    while (begin < n) {
        std::int32_t next = begin;
        UChar32 c;
        U8_NEXT(p, next, n, c);
        if (c < 0 || !u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) break;
        begin = next;
    }
    std::int32_t end = n;
    while (end > begin) {
        std::int32_t prev = end;
        UChar32 c;
        U8_PREV(p, begin, prev, c);
        if (c < 0 || !u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) break;
        end = prev;
    }
    return s.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

// An optional '+', then decimal digits only, within 64 bits; else 0.
unsigned __int128 read_piece(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return 0;
    unsigned __int128 v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > UINT64_MAX) return 0;
    }
    return v;
}

std::optional<int> reference_bucket(std::string_view label) {
    const std::string_view start = trim(label.substr(0, label.find('-')));
    const auto c1 = start.find(':');
    const unsigned __int128 hours = read_piece(start.substr(0, c1));
    unsigned __int128 minutes = 0;
    if (c1 != std::string_view::npos) {
        const std::string_view rest = start.substr(c1 + 1);
        minutes = read_piece(rest.substr(0, rest.find(':')));
    }
    const unsigned __int128 minute = hours * 60 + minutes;  // cannot overflow 128 bits
    if (minute >= 1440) return std::nullopt;
    return static_cast<int>(minute / 15);
}

void check_label(std::string_view input) {
    if (!simdjson::validate_utf8(input.data(), input.size())) return;
    const auto got = korvex::calendar::label_bucket(input);
    const auto want = reference_bucket(input);
    if (got != want) {
        fail("label_bucket differs from the label rules", input,
             "got " + (got ? std::to_string(*got) : std::string("none")) + ", want " +
                 (want ? std::to_string(*want) : std::string("none")));
    }
}

// Instants spread over the supported range, with the ends and a few clock
// changes of common zones; two of them come from the input itself.
UtcInstant instant_at(std::int64_t secs, std::uint32_t nanos = 0) {
    return UtcInstant::from_parts(secs, nanos).value();
}

void check_calendar(Calendar& cal, std::string_view input) {
    double week = 0.0;
    for (int d = 0; d < 7; ++d) {
        week += cal.day_weights()[static_cast<std::size_t>(d)];
        const auto& table = cal.cumulative_weights(d);
        if (table && (*table)[0] != 0.0) fail("a cumulative table does not start at 0", input, std::to_string(d));
    }
    if (!(week == cal.week_weight()) && !(std::isnan(week) && std::isnan(cal.week_weight())))
        fail("week weight is not the sum of the day weights", input, std::to_string(week));

    const std::int64_t lo = UtcInstant::kMinDay * 86400;
    const std::int64_t hi = UtcInstant::kMaxDay * 86400 + 86399;
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a of the input picks two more instants
    for (unsigned char c : input) h = (h ^ c) * 1099511628211ull;
    const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
    const std::int64_t points[] = {
        lo, lo + 86400 * 400, -1, 0, 1,
        1710054000 - 1, 1710054000,   // 2024-03-10 07:00 UTC, US spring forward
        1730613600 - 1, 1730613600,   // 2024-11-03 06:00 UTC, US fall back
        1711846800,                   // 2024-03-31 01:00 UTC, EU spring forward
        4102444800,                   // 2100-01-01
        hi - 86400 * 400, hi,
        lo + static_cast<std::int64_t>(h % span), lo + static_cast<std::int64_t>((h >> 17) % span),
    };
    const std::size_t n = sizeof points / sizeof points[0];
    for (std::size_t i = 0; i < n; ++i) {
        const UtcInstant a = instant_at(points[i], static_cast<std::uint32_t>(h % 1'000'000'000u));
        const UtcInstant b = instant_at(points[(i + 1) % n]);
        auto ab = cal.get_bus_ttx(a, b);
        auto ba = cal.get_bus_ttx(b, a);
        if (!ab || !ba) fail("business time refused a supported instant", input, (!ab ? ab : ba).error().message);
        if (!std::isnan(*ab) && *ab != -*ba) fail("business time is not antisymmetric", input, std::to_string(*ab));
        auto aa = cal.get_bus_ttx(a, a);
        if (!aa || !(*aa == 0.0 || std::isnan(*aa))) fail("business time from an instant to itself", input, "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check_label(input);
    auto cal = Calendar::from_document(input);
    if (!cal) {
        if (cal.error().message.empty()) fail("an error without a message", input, "");
        return 0;
    }
    check_calendar(*cal, input);
    return 0;
}
