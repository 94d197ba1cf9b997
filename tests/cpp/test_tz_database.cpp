// The embedded IANA release, and the zones the calendar reads from it.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <cctz/time_zone.h>

#include "calendar/calendar.hpp"
#include "calendar/tz_database.hpp"
#include "core/utc_instant.hpp"

namespace {

using korvex::UtcInstant;
using korvex::calendar::Calendar;
using korvex::calendar::TimeZone;

constexpr std::int64_t kMin = UtcInstant::kMinDay * 86400;
constexpr std::int64_t kMax = UtcInstant::kMaxDay * 86400 + 86399;
constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A value of src/calendar/tzdata.release, the one record of the release.
std::string recorded(std::string_view key) {
    std::istringstream in(read_file(KORVEX_SOURCE_DIR "/src/calendar/tzdata.release"));
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(std::string(key) + "=")) return line.substr(key.size() + 1);
    }
    return "<missing>";
}

std::int64_t epoch(std::int64_t y, unsigned m, unsigned d, int h = 0) {
    return korvex::days_from_civil(y, m, d) * 86400 + h * 3600;
}

// The n-th (1-based; 0: the last) Sunday of a month, as days since 1970.
std::int64_t sunday(std::int64_t y, unsigned m, int n) {
    if (n == 0) {
        const std::int64_t next = m == 12 ? korvex::days_from_civil(y + 1, 1, 1) : korvex::days_from_civil(y, m + 1, 1);
        return next - 1 - (korvex::weekday_from_days(next - 1) + 1) % 7;
    }
    const std::int64_t first = korvex::days_from_civil(y, m, 1);
    return first + (6 - korvex::weekday_from_days(first)) + 7 * (n - 1);
}

TEST(TzRelease, IsTheRecordedReleaseWithItsNamesAndFiles) {
    EXPECT_EQ(korvex::calendar::tz_release(), recorded("release"));
    const std::filesystem::path dir = KORVEX_SOURCE_DIR "/third_party/tzdata";
    std::istringstream list(read_file(dir / "zones"));
    std::vector<std::string> names{std::istream_iterator<std::string>(list), std::istream_iterator<std::string>()};
    std::sort(names.begin(), names.end());
    const auto zones = korvex::calendar::tz_zones();
    ASSERT_EQ(zones.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(zones[i].name, names[i]);
        // Names that share a file share its bytes, which must be the file's.
        EXPECT_EQ(zones[i].tzif, read_file(dir / "zoneinfo" / names[i])) << names[i];
    }
}

// For every zone, at instants over the whole supported range: the stretch
// holds the instant, cctz gives its offset at both ends, and (where the
// zone's own transitions are listed) the offset differs just outside it.
TEST(TzZones, StretchesHoldTheZonesOffsets) {
    std::vector<std::int64_t> instants = {kMin, kMin + 1, -62135596800, -5364662400, -1, 0, 1,
                                          1700000000, 2145916800, 4102444800, 20000000000, 253402300799,
                                          100000000000000, kMax - 1, kMax};
    std::uint64_t x = 0x9e3779b97f4a7c15ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    for (int i = 0; i < 40; ++i) instants.push_back(kMin + static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(kMax - kMin)));
    for (int i = 0; i < 80; ++i) instants.push_back(-2208988800 + static_cast<std::int64_t>(next() % 6311433600ull));  // 1900-2100
    for (const auto& zone : korvex::calendar::tz_zones()) {
        const std::string name(zone.name);
        const TimeZone tz = TimeZone::load(name).value();
        cctz::time_zone direct;
        ASSERT_TRUE(cctz::load_time_zone(name, &direct)) << name;
        auto offset = [&direct](std::int64_t s) {
            return direct.lookup(cctz::time_point<cctz::seconds>(cctz::seconds(s))).offset;
        };
        for (std::int64_t s : instants) {
            const TimeZone::Stretch st = tz.stretch_at(s);
            ASSERT_TRUE(st.lo <= s && s < st.hi) << name << " " << s;
            ASSERT_EQ(st.offset, offset(s)) << name << " " << s;
            if (st.lo != std::numeric_limits<std::int64_t>::min()) ASSERT_EQ(offset(st.lo), st.offset) << name << " " << s;
            if (st.hi != kNone) ASSERT_EQ(offset(st.hi - 1), st.offset) << name << " " << s;
            if (s < 4102444800) {
                if (st.lo != std::numeric_limits<std::int64_t>::min()) EXPECT_NE(offset(st.lo - 1), st.offset) << name << " " << s;
                if (st.hi < 4102444800) EXPECT_NE(offset(st.hi), st.offset) << name << " " << s;
            }
        }
    }
}

TEST(TzZones, FarFromTheListedTransitions) {
    // A zone whose rule goes on: New York's daylight time in any year,
    // from the second Sunday of March, 07:00 UTC, to the first Sunday of
    // November, 06:00 UTC.
    const TimeZone ny = TimeZone::load("US/Eastern").value();
    for (std::int64_t y : {2030, 2500, 9999, 123456, 262142}) {
        const auto summer = ny.stretch_at(epoch(y, 7, 1));
        EXPECT_EQ(summer.offset, -4 * 3600) << y;
        EXPECT_EQ(summer.lo, sunday(y, 3, 2) * 86400 + 7 * 3600) << y;
        EXPECT_EQ(summer.hi, sunday(y, 11, 1) * 86400 + 6 * 3600) << y;
        EXPECT_EQ(ny.stretch_at(epoch(y, 1, 15)).offset, -5 * 3600) << y;
    }
    const TimeZone paris = TimeZone::load("Europe/Paris").value();
    for (std::int64_t y : {3000, 77777}) {
        const auto summer = paris.stretch_at(epoch(y, 8, 1));
        EXPECT_EQ(summer.offset, 2 * 3600) << y;
        EXPECT_EQ(summer.lo, sunday(y, 3, 0) * 86400 + 3600) << y;
        EXPECT_EQ(summer.hi, sunday(y, 10, 0) * 86400 + 3600) << y;
    }
    // Zones whose clocks stopped changing keep their last offset for ever:
    // Mexico City since October 2022, Almaty since March 2024.
    const auto mexico = TimeZone::load("America/Mexico_City").value().stretch_at(epoch(3000, 7, 1));
    EXPECT_EQ(mexico.offset, -6 * 3600);
    EXPECT_EQ(mexico.lo, epoch(2022, 10, 30, 7));
    EXPECT_EQ(mexico.hi, kNone);
    const auto almaty = TimeZone::load("Asia/Almaty").value().stretch_at(kMax);
    EXPECT_EQ(almaty.offset, 5 * 3600);
    EXPECT_EQ(almaty.lo, epoch(2024, 2, 29, 18));
    // Before the first transition: local mean time.
    const auto lmt = ny.stretch_at(kMin);
    EXPECT_EQ(lmt.offset, -17762);
    EXPECT_EQ(lmt.lo, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(lmt.hi, epoch(1883, 11, 18, 17));
    // Zones without transitions.
    for (std::string_view zone : {"UTC", "Etc/GMT+5", "Factory"}) {
        const auto st = TimeZone::load(zone).value().stretch_at(1700000000);
        EXPECT_EQ(st.lo, std::numeric_limits<std::int64_t>::min()) << zone;
        EXPECT_EQ(st.hi, kNone) << zone;
        EXPECT_EQ(st.offset, zone == "Etc/GMT+5" ? -5 * 3600 : 0) << zone;
    }
}

// The calendar's offsets are its zone's, through its caches.
TEST(TzZones, CalendarUsesTheZonesStretches) {
    for (std::string_view zone : {"America/Mexico_City", "America/Nuuk", "Africa/Cairo", "Australia/Lord_Howe"}) {
        const std::string text = "{\"DayWeightings\": {}, \"TimeWeightings\": {}, \"IanaTimeZone\": \"" +
                                 std::string(zone) + "\"}";
        Calendar cal = Calendar::from_document(text).value();
        const TimeZone tz = TimeZone::load(zone).value();
        for (std::int64_t s = epoch(2019, 1, 1); s < epoch(2027, 1, 1); s += 86400 * 5 + 3607) {
            const auto span = cal.offset_span(s).value();
            const auto st = tz.stretch_at(s);
            ASSERT_EQ(span.lo, st.lo) << zone << " " << s;
            ASSERT_EQ(span.hi, st.hi) << zone << " " << s;
            ASSERT_EQ(span.offset, st.offset) << zone << " " << s;
        }
    }
    Calendar cal = Calendar::create("BTCUSDT").value();
    EXPECT_EQ(cal.offset_span(kMin - 1).error().message, "Invalid timestamp");
    EXPECT_EQ(cal.offset_span(kMax + 1).error().message, "Invalid timestamp");
    EXPECT_TRUE(cal.offset_span(kMax).has_value());
}

// A valid zone file planted where cctz would look by itself (TZDIR, an
// absolute path, TZ) is never read: cctz gets its zones from the embedded
// release only, and names outside the release are not loaded at all.
TEST(TzZones, NoZoneFileOutsideTheModuleIsRead) {
    std::string dir_name = (std::filesystem::temp_directory_path() / "korvex-tzdir-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir_name.data()), nullptr);
    const std::filesystem::path dir(dir_name);
    std::filesystem::create_directories(dir / "Planted");
    std::filesystem::create_directories(dir / "America");
    const TimeZone real = TimeZone::load("America/Sao_Paulo").value();
    const std::pair<const char*, std::string_view> planted[] = {{"Planted/Zone", "Asia/Kolkata"},
                                                                {"America/Sao_Paulo", "Asia/Tokyo"}};
    for (const auto& [name, from] : planted) {
        std::ofstream out(dir / name, std::ios::binary);
        for (const auto& z : korvex::calendar::tz_zones()) {
            if (z.name == from) out << z.tzif;
        }
    }
    setenv("TZDIR", dir.c_str(), 1);
    setenv("TZ", (":" + (dir / "Planted/Zone").string()).c_str(), 1);
    cctz::time_zone tz;
    EXPECT_FALSE(cctz::load_time_zone("Planted/Zone", &tz));
    EXPECT_FALSE(cctz::load_time_zone((dir / "Planted/Zone").string(), &tz));
    EXPECT_FALSE(TimeZone::load("Planted/Zone").has_value());
    // Zones of the release come from the module, whatever the planted
    // files of the same names say.
    ASSERT_TRUE(cctz::load_time_zone("Brazil/East", &tz));
    const auto t = cctz::time_point<cctz::seconds>(cctz::seconds(1700000000));
    EXPECT_EQ(tz.lookup(t).offset, -3 * 3600);
    EXPECT_EQ(TimeZone::load("America/Sao_Paulo").value().stretch_at(1700000000).offset,
              real.stretch_at(1700000000).offset);
    unsetenv("TZDIR");
    unsetenv("TZ");
    std::filesystem::remove_all(dir);
}

}  // namespace
