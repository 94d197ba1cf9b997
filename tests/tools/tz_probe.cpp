// What the calendar does with the embedded time zones, printed for the
// Python tests that compare it with zoneinfo (tests/test_tz_release.py).
//
//   korvex_tz_probe release                the IANA release of the zones
//   korvex_tz_probe names                  its zone and link names, one per line
//   korvex_tz_probe spans FROM TO [ZONE...] for each zone (default: every
//        name of the release), the stretches of constant UTC offset that a
//        calendar in that zone uses over [FROM, TO) (epoch seconds), one per
//        line: "zone lo hi offset"; neighbours with the same offset merged
//   korvex_tz_probe positions              stdin: a calendar document on one
//        line, then epoch seconds, one per line; prints each instant's year
//        position, or the error
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "calendar/calendar.hpp"
#include "calendar/tz_database.hpp"
#include "core/utc_instant.hpp"

namespace {

using korvex::calendar::Calendar;

std::int64_t number(std::string_view text) {
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) {
        std::cerr << "not an integer: " << text << "\n";
        std::exit(2);
    }
    return v;
}

Calendar calendar_in(std::string_view zone) {
    const std::string text = "{\"DayWeightings\": {}, \"TimeWeightings\": {}, \"IanaTimeZone\": \"" +
                             std::string(zone) + "\"}";
    auto cal = Calendar::from_document(text);
    if (!cal) {
        std::cerr << cal.error().message << "\n";
        std::exit(1);
    }
    return std::move(*cal);
}

int spans(std::int64_t from, std::int64_t to, std::vector<std::string_view> zones) {
    if (zones.empty()) {
        for (const auto& z : korvex::calendar::tz_zones()) zones.push_back(z.name);
    }
    for (std::string_view zone : zones) {
        Calendar cal = calendar_in(zone);
        std::int64_t lo = 0, hi = 0;
        std::int32_t offset = 0;
        bool open = false;
        for (std::int64_t s = from; s < to;) {
            const auto span = cal.offset_span(s);
            if (!span) {
                std::cerr << zone << ": " << span.error().message << "\n";
                return 1;
            }
            if (open && span->offset == offset) {
                hi = span->hi;
            } else {
                if (open) std::printf("%.*s %lld %lld %d\n", int(zone.size()), zone.data(), (long long)lo, (long long)hi, offset);
                lo = span->lo;
                hi = span->hi;
                offset = span->offset;
                open = true;
            }
            s = span->hi;
        }
        std::printf("%.*s %lld %lld %d\n", int(zone.size()), zone.data(), (long long)lo, (long long)hi, offset);
    }
    return 0;
}

int positions() {
    std::string line;
    if (!std::getline(std::cin, line)) return 2;
    auto cal = Calendar::from_document(line);
    if (!cal) {
        std::printf("error %s\n", cal.error().message.c_str());
        return 0;
    }
    while (std::getline(std::cin, line)) {
        const auto t = korvex::UtcInstant::from_parts(number(line), 0);
        const korvex::Result<double> p = t ? cal->year_position(*t) : korvex::Result<double>(std::unexpected(t.error()));
        if (p) {
            std::printf("%.17g\n", *p);
        } else {
            std::printf("error %s\n", p.error().message.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "release") {
        std::printf("%.*s\n", int(korvex::calendar::tz_release().size()), korvex::calendar::tz_release().data());
        return 0;
    }
    if (args.size() == 1 && args[0] == "names") {
        for (const auto& z : korvex::calendar::tz_zones()) std::printf("%.*s\n", int(z.name.size()), z.name.data());
        return 0;
    }
    if (args.size() >= 3 && args[0] == "spans") {
        return spans(number(args[1]), number(args[2]), {args.begin() + 3, args.end()});
    }
    if (args.size() == 1 && args[0] == "positions") return positions();
    std::cerr << "usage: korvex_tz_probe release | names | spans FROM TO [ZONE...] | positions\n";
    return 2;
}
