#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "calendar/calendar.hpp"
#include "calendar/calendar_document.hpp"
#include "calendar/tz_database.hpp"

namespace {

using korvex::UtcInstant;
using korvex::calendar::Calendar;
using korvex::calendar::kEmbeddedBtcusdt;
using korvex::calendar::label_bucket;
using korvex::calendar::parse_calendar_document;

UtcInstant utc(std::int64_t y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0,
               std::uint32_t ns = 0) {
    const std::int64_t secs = korvex::days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return UtcInstant::from_parts(secs, ns).value();
}

Calendar btcusdt() { return Calendar::create("BTCUSDT").value(); }

double bus(Calendar& cal, UtcInstant from, UtcInstant to) { return cal.get_bus_ttx(from, to).value(); }

std::string error_of(const korvex::Result<Calendar>& r) {
    return r ? std::string("<no error>") : r.error().message;
}

// A calendar document in New York time with the given members spliced in.
std::string doc(std::string_view days, std::string_view times, std::string_view zone = "\"US/Eastern\"") {
    return "{\"DayWeightings\": {" + std::string(days) + "}, \"TimeWeightings\": {" +
           std::string(times) + "}, \"IanaTimeZone\": " + std::string(zone) + "}";
}

// The instants in [from, to) at which the zone's UTC offset changes.
std::vector<std::int64_t> offset_changes(std::string_view zone, std::int64_t from, std::int64_t to) {
    const auto tz = korvex::calendar::TimeZone::load(zone).value();
    std::vector<std::int64_t> changes;
    for (std::int64_t s = from;;) {
        const auto stretch = tz.stretch_at(s);
        if (stretch.hi >= to) break;
        changes.push_back(stretch.hi);
        s = stretch.hi;
    }
    return changes;
}

// SHA-256 (FIPS 180-4), enough to pin the embedded bytes.
std::string sha256_hex(std::string_view data) {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string msg(data);
    const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
    msg += static_cast<char>(0x80);
    while (msg.size() % 64 != 56) msg += '\0';
    for (int i = 7; i >= 0; --i) msg += static_cast<char>((bits >> (8 * i)) & 0xff);
    auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (std::size_t off = 0; off < msg.size(); off += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const unsigned char*>(msg.data() + off + 4 * i);
            w[i] = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }
    std::string hex;
    char buf[9];
    for (std::uint32_t v : h) {
        std::snprintf(buf, sizeof buf, "%08x", v);
        hex += buf;
    }
    return hex;
}

TEST(CalendarDocument, EmbeddedBytesArePinned) {
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(kEmbeddedBtcusdt.size(), 33723u);
    EXPECT_EQ(sha256_hex(kEmbeddedBtcusdt), "29d07f16abeba69faf4d02cb71d8ae471e464fd64f7c24e446a20a96cc25e9bb");
    EXPECT_EQ(kEmbeddedBtcusdt.substr(0, 25), "{\r\n    \"DayWeightings\": {");
    EXPECT_NE(kEmbeddedBtcusdt.back(), '\n');
}

TEST(CalendarDocument, EmbeddedContent) {
    const auto d = parse_calendar_document(kEmbeddedBtcusdt).value();
    EXPECT_EQ(d.iana_time_zone, "US/Eastern");
    const std::array<std::string_view, 7> names = {"monday", "tuesday", "wednesday", "thursday",
                                                   "friday", "saturday", "sunday"};
    const std::array<double, 7> weights = {1, 1, 1, 1, 0.9, 0.27, 0.53};
    const std::array<double, 7> sums = {1768.42, 1768.42, 1768.42, 1768.42, 1591.58, 477.47, 937.26};
    ASSERT_EQ(d.day_weightings.size(), 7u);
    ASSERT_EQ(d.time_weightings.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(d.day_weightings[i].first, names[i]);
        EXPECT_EQ(d.day_weightings[i].second, weights[i]);
        EXPECT_EQ(d.time_weightings[i].key, names[i]);
        double sum = 0.0;
        for (double r : d.time_weightings[i].raw) {
            EXPECT_GT(r, 0.0);  // every quarter-hour is labelled
            sum += r;
        }
        EXPECT_NEAR(sum, sums[i], 0.005) << names[i];
    }
    EXPECT_EQ(d.time_weightings[0].raw, d.time_weightings[3].raw);
    EXPECT_EQ(d.time_weightings[0].raw[0], 9.296884883729719);
    EXPECT_EQ(d.time_weightings[6].raw[95], 8.649675868915342);
}

TEST(CalendarConstruction, EmbeddedTables) {
    Calendar cal = btcusdt();
    EXPECT_EQ(cal.week_weight(), 5.7);
    EXPECT_EQ(cal.time_zone_name(), "US/Eastern");
    EXPECT_TRUE(cal.year_weights().empty());
    const auto& mon = cal.cumulative_weights(0).value();
    EXPECT_EQ(mon[0], 0.0);
    EXPECT_NEAR(mon[1], 0.0052571670473, 1e-13);
    EXPECT_NEAR(mon[96], 1.0, 1e-12);
    EXPECT_EQ(cal.cumulative_weights(0), cal.cumulative_weights(3));
    EXPECT_NEAR(cal.cumulative_weights(4).value()[96], 0.9, 1e-12);
    EXPECT_NEAR(cal.cumulative_weights(5).value()[96], 0.27, 1e-12);
    EXPECT_NEAR(cal.cumulative_weights(6).value()[1], 0.00204988262237960, 1e-17);
    for (int wd = 0; wd < 7; ++wd) {
        const auto& c = cal.cumulative_weights(wd).value();
        for (int k = 0; k < 96; ++k) EXPECT_LT(c[k], c[k + 1]);
    }
}

TEST(CalendarConstruction, Underlying) {
    EXPECT_TRUE(Calendar::create("BTCUSDT").has_value());
    for (std::string_view u : {"btcusdt", "BTCUSDT ", " BTCUSDT", "ETHUSDT", ""}) {
        EXPECT_EQ(error_of(Calendar::create(u)), "No embedded calendar for underlying: " + std::string(u));
    }
    // Calendars are independent values and survive being moved.
    Calendar a = btcusdt();
    Calendar b = btcusdt();
    ASSERT_TRUE(a.year_position(utc(2025, 6, 1)).has_value());
    EXPECT_EQ(a.year_weights().size(), 1u);
    EXPECT_TRUE(b.year_weights().empty());
    Calendar moved(std::move(a));
    EXPECT_EQ(moved.year_weights().size(), 1u);
    EXPECT_EQ(bus(moved, utc(2025, 1, 1, 5), utc(2025, 1, 2, 5)), bus(b, utc(2025, 1, 1, 5), utc(2025, 1, 2, 5)));
}

TEST(CalendarDocument, FormatErrors) {
    const std::string ok_times = "\"monday\": {}";
    EXPECT_EQ(error_of(Calendar::from_document("{\"TimeWeightings\": {}, \"IanaTimeZone\": \"UTC\"}")),
              "missing field `DayWeightings`");
    EXPECT_EQ(error_of(Calendar::from_document("{\"DayWeightings\": {}, \"IanaTimeZone\": \"UTC\"}")),
              "missing field `TimeWeightings`");
    EXPECT_EQ(error_of(Calendar::from_document("{\"DayWeightings\": {}, \"TimeWeightings\": {}}")),
              "missing field `IanaTimeZone`");
    EXPECT_EQ(error_of(Calendar::from_document(
                  "{\"DayWeightings\": {}, \"TimeWeightings\": {}, \"DayWeightings\": {}, \"IanaTimeZone\": \"UTC\"}")),
              "duplicate field `DayWeightings`");
    EXPECT_EQ(error_of(Calendar::from_document(doc("", "") + "x")).substr(0, 4), "The ");  // parser message
    EXPECT_FALSE(Calendar::from_document(doc("\"monday\": \"1\"", "")).has_value());
    EXPECT_FALSE(Calendar::from_document(doc("", "\"monday\": {\"00:00\": null}")).has_value());
    EXPECT_FALSE(Calendar::from_document(doc("", "", "5")).has_value());
    EXPECT_FALSE(Calendar::from_document("[]").has_value());
    // Unknown top-level members are ignored, but must still be valid JSON.
    const std::string base = doc("\"monday\": 1", "");
    EXPECT_TRUE(Calendar::from_document("{\"Extra\": [1, {\"a\": null}], " + base.substr(1)).has_value());
    EXPECT_FALSE(Calendar::from_document("{\"Extra\": [1, 2,], " + base.substr(1)).has_value());
    EXPECT_FALSE(Calendar::from_document("{\"Extra\": tru, " + base.substr(1)).has_value());
}

TEST(CalendarDocument, EveryNumberIsReadAsADouble) {
    // An integer beyond 64 bits is a number like any other: 1e20 however it
    // is written, in a weight as in an ignored member.
    const auto spelled = [](std::string_view weight) {
        return parse_calendar_document(doc("\"monday\": " + std::string(weight), ""));
    };
    for (std::string_view w : {"100000000000000000000", "100000000000000000000.0", "1e20", "1E+20"}) {
        auto d = spelled(w);
        ASSERT_TRUE(d.has_value()) << w << ": " << d.error().message;
        EXPECT_EQ(d->day_weightings.at(0).second, 1e20) << w;
    }
    EXPECT_EQ(spelled("-123456789012345678901234567890")->day_weightings.at(0).second,
              -123456789012345678901234567890.0);
    EXPECT_EQ(spelled("18446744073709551616")->day_weightings.at(0).second, 18446744073709551616.0);
    // the exponent's digits and the digits in strings are left as they are
    EXPECT_EQ(spelled("1e0000000000000000000001")->day_weightings.at(0).second, 10.0);
    auto labelled = parse_calendar_document(doc("\"monday\": 1", "\"monday\": {\"00:00 100000000000000000000\": 2}"));
    ASSERT_TRUE(labelled.has_value());
    EXPECT_EQ(labelled->time_weightings.at(0).raw[0], 2.0);
    const std::string base = doc("\"monday\": 1", "");
    EXPECT_TRUE(Calendar::from_document("{\"Extra\": [100000000000000000000, -1e5], " + base.substr(1)).has_value());
    // too large for a double in either spelling, or malformed: refused
    EXPECT_FALSE(spelled("1e400").has_value());
    EXPECT_FALSE(spelled("1" + std::string(400, '0')).has_value());
    EXPECT_FALSE(spelled("0100000000000000000000").has_value());
    EXPECT_FALSE(spelled("100000000000000000000x").has_value());
}

// The text is parsed as it is, and only when the parser refuses a number
// again with its long integer literals widened: the values and error texts
// are those of reading every number as a double.
TEST(CalendarDocument, LongIntegersWidenedOnlyWhenRefused) {
    const auto weight = [](std::string_view w) {
        return parse_calendar_document(doc("\"monday\": " + std::string(w), "")).value().day_weightings.at(0).second;
    };
    // 19 and 20 digits within 64 bits are read as integers, then as the
    // nearest double: what the widened spelling reads as.
    EXPECT_EQ(weight("9223372036854775807"), 9223372036854775807.0);
    EXPECT_EQ(weight("-9223372036854775808"), -9223372036854775808.0);
    EXPECT_EQ(weight("18446744073709551615"), 18446744073709551615.0);
    EXPECT_EQ(weight("9007199254740993"), 9007199254740992.0);
    EXPECT_EQ(weight("-9223372036854775809"), -9223372036854775809.0);  // beyond: widened
    EXPECT_EQ(weight("123456789012345678901234567890"), 123456789012345678901234567890.0);
    // A refused document reports its own fault, wherever the long literal is.
    const std::string base = doc("\"monday\": 1", "");
    const std::string tail_fault = error_of(Calendar::from_document(base + "x"));
    EXPECT_NE(tail_fault, "<no error>");
    EXPECT_EQ(error_of(Calendar::from_document("{\"Extra\": 100000000000000000000, " + base.substr(1) + "x")), tail_fault);
    EXPECT_EQ(error_of(Calendar::from_document("{\"Extra\": 100000000000000000000, \"DayWeightings\": {}, "
                                               "\"TimeWeightings\": {}}")),
              "missing field `IanaTimeZone`");
    EXPECT_EQ(error_of(Calendar::from_document(doc("\"monday\": 100000000000000000000", "", "\"Mars/Base\""))),
              "Invalid IANA timezone: Mars/Base");
    EXPECT_EQ(error_of(Calendar::from_document(doc("\"monday\": 100000000000000000000, \"friday\": 1e400", ""))),
              error_of(Calendar::from_document(doc("\"monday\": 1, \"friday\": 1e400", ""))));
    // Digits inside strings are text, not numbers.
    auto in_string = parse_calendar_document(
        "{\"Extra\": \"100000000000000000000\", " + doc("\"monday\": 1", "").substr(1));
    ASSERT_TRUE(in_string.has_value());
}

// A document's text makes the same calendar as the embedded one: the same
// parser, rules, zone lookup and results, bit for bit.
TEST(CalendarDocument, DocumentTextMakesTheEmbeddedCalendar) {
    Calendar embedded = btcusdt();
    Calendar from_text = Calendar::from_document(kEmbeddedBtcusdt).value();
    std::uint64_t x = 0x2545f4914f6cdd1dull;
    for (int i = 0; i < 20000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const std::int64_t a = -2208988800 + static_cast<std::int64_t>(x % 6311433600ull);
        const std::int64_t b = a + static_cast<std::int64_t>((x >> 20) % 40000000) - 2000000;
        const UtcInstant ia = UtcInstant::from_parts(a, 0).value();
        const UtcInstant ib = UtcInstant::from_parts(b, 0).value();
        const double want = bus(embedded, ia, ib);
        const double got = bus(from_text, ia, ib);
        ASSERT_EQ(std::memcmp(&want, &got, sizeof want), 0) << a << " " << b;
    }
    // Zones of the current release, such as the two added after 2022.
    Calendar juarez = Calendar::from_document(doc("\"monday\": 1", "", "\"America/Ciudad_Juarez\"")).value();
    EXPECT_EQ(juarez.offset_span(1719835200).value().offset, -6 * 3600);  // 2024-07-01 12:00 UTC, MDT
    Calendar coyhaique = Calendar::from_document(doc("\"monday\": 1", "", "\"America/Coyhaique\"")).value();
    EXPECT_EQ(coyhaique.offset_span(1752000000).value().offset, -3 * 3600);  // July 2025: -03 all year
    EXPECT_EQ(korvex::calendar::tz_release().size(), 5u);
}

TEST(CalendarDocument, ZoneNamesAreTheReleasesNames) {
    // Every zone and link name of the embedded IANA release makes a
    // calendar; names it does not have are refused like unknown names: links
    // IANA removed, aliases of other databases, and the spellings cctz would
    // read itself (fixed offsets, paths, the system's zone).
    const auto zones = korvex::calendar::tz_zones();
    EXPECT_GT(zones.size(), 590u);
    for (const auto& zone : zones) {
        const std::string name(zone.name);
        const auto cal = Calendar::from_document(doc("", "", "\"" + name + "\""));
        ASSERT_TRUE(cal.has_value()) << name << ": " << cal.error().message;
        EXPECT_EQ(cal->time_zone_name(), name);
    }
    for (std::string zone : {"US/Pacific-New", "Canada/East-Saskatchewan", "SystemV/EST5", "IST", "PST",
                             "UTC0", "Fixed/UTC+01:00:00", "libc:America/New_York", "localtime", ":localtime",
                             "/usr/share/zoneinfo/UTC", "America/New_York/", "America/../UTC", "zone.tab",
                             "tzdata.zi", "posixrules"}) {
        EXPECT_FALSE(korvex::calendar::is_tz_name(zone)) << zone;
        EXPECT_EQ(error_of(Calendar::from_document(doc("", "", "\"" + zone + "\""))),
                  "Invalid IANA timezone: " + zone);
    }
    for (std::string zone : {"US/Eastern", "America/New_York", "Etc/GMT+5", "UTC", "Zulu",
                             "America/Ciudad_Juarez", "America/Coyhaique", "America/Nuuk"}) {
        EXPECT_TRUE(korvex::calendar::is_tz_name(zone)) << zone;
    }
}

TEST(CalendarDocument, ZoneLookupIsExact) {
    EXPECT_TRUE(Calendar::from_document(doc("", "", "\"America/New_York\"")).has_value());
    EXPECT_TRUE(Calendar::from_document(doc("", "", "\"UTC\"")).has_value());
    EXPECT_TRUE(Calendar::from_document(doc("", "", "\"Etc/GMT+5\"")).has_value());
    for (std::string zone : {"us/eastern", "US/EASTERN", "Mars/Olympus", "", "GMT+5", "GMT+05:00", "PST",
                             "Etc/Unknown", "US/Eastern "}) {
        EXPECT_EQ(error_of(Calendar::from_document(doc("", "", "\"" + zone + "\""))),
                  "Invalid IANA timezone: " + zone);
    }
    EXPECT_EQ(error_of(Calendar::from_document(doc("", "", "\"US/Eastern\\u0000\""))),
              std::string("Invalid IANA timezone: US/Eastern") + '\0');
}

TEST(CalendarDocument, IntervalLabels) {
    struct Case { std::string_view label; std::optional<int> bucket; };
    const Case cases[] = {
        {"00:00 - 00:15", 0}, {"00:07", 0}, {"7:5", 28}, {"ab:30", 2}, {"24:00", std::nullopt},
        {"23:59 - 00:00", 95}, {"0:1439", 95}, {"0:1440", std::nullopt}, {"+1:+15", 5},
        {"\xE3\x80\x80\t01:00\xE3\x80\x80 - 01:15", 4},  // U+3000 and a tab trimmed
        {"1:2:3", 4}, {"", 0}, {"-5:00", 0}, {"++1:00", 0}, {"1 :00", 0}, {"12", 48}, {"12:", 48},
        {"18446744073709551615:00", std::nullopt}, {"18446744073709551616:30", 2},
        {"0:18446744073709551615", std::nullopt}, {"\xD9\xA1:00", 0},  // Arabic-Indic one is no digit
        {"12:30x", 48}, {"09:30\t-", 38}, {" 09:30", 38}, {"99:99", std::nullopt}, {"09:30 x - 1", 36},
    };
    for (const Case& c : cases) EXPECT_EQ(label_bucket(c.label), c.bucket) << c.label;

    // Through a document: later labels replace earlier ones, ends are never read.
    auto cal = Calendar::from_document(
        doc("\"monday\": 4", "\"monday\": {\"00:00 - 00:15\": 1, \"00:07 - 99:99\": 3, \"7:5\": 2, \"24:00\": 100}"));
    const auto& c = cal.value().cumulative_weights(0).value();
    EXPECT_EQ(c[1], 3.0 / 5.0 * 4.0);
    EXPECT_EQ(c[28], c[1]);
    EXPECT_DOUBLE_EQ(c[29] - c[28], 2.0 / 5.0 * 4.0);
    EXPECT_EQ(c[96], c[29]);
}

TEST(CalendarDocument, DayRules) {
    // Capitalised names match after lower-casing; their profiles are looked up
    // by the exact key, so "MONDAY" finds none and is flat.
    auto cal = Calendar::from_document(
        doc("\"MONDAY\": 2, \"Friday\": 0.5, \"Funday\": 9, \"saturday\": 3",
            "\"monday\": {\"00:00\": 1}, \"Friday\": {\"12:00\": 1}, "
            "\"saturday\": {\"24:00\": 1, \"25:00\": 1}, \"tuesday\": {\"00:00\": 1}"));
    ASSERT_TRUE(cal.has_value()) << cal.error().message;
    const std::array<double, 7> expected = {2, 0, 0, 0, 0.5, 3, 0};
    EXPECT_EQ(cal->day_weights(), expected);
    EXPECT_EQ(cal->week_weight(), 5.5);
    const auto& flat = cal->cumulative_weights(0).value();
    for (int k = 0; k <= 96; ++k) EXPECT_NEAR(flat[k], k * 2.0 / 96.0, 1e-14);
    const auto& fri = cal->cumulative_weights(4).value();
    EXPECT_EQ(fri[48], 0.0);
    EXPECT_EQ(fri[49], 0.5);
    const auto& zero = cal->cumulative_weights(5).value();  // raw weights sum to zero
    for (double v : zero) EXPECT_EQ(v, 0.0);
    for (int wd : {1, 2, 3, 6}) EXPECT_FALSE(cal->cumulative_weights(wd).has_value());

    // Duplicate keys inside the members: the later one wins.
    auto dup = Calendar::from_document(
        doc("\"monday\": 1, \"monday\": 2", "\"monday\": {\"00:00\": 1}, \"monday\": {\"00:15\": 1}"));
    EXPECT_EQ(dup.value().day_weights()[0], 2.0);
    EXPECT_EQ(dup.value().cumulative_weights(0).value()[1], 0.0);
    EXPECT_EQ(dup.value().cumulative_weights(0).value()[2], 2.0);

    // A weekday without weight stops business time; all-zero weights make NaN.
    Calendar weekdays = Calendar::from_document(doc("\"monday\": 1, \"tuesday\": 1", "")).value();
    EXPECT_EQ(bus(weekdays, utc(2025, 1, 8, 5), utc(2025, 1, 13, 5)), 0.0);  // Wed 00:00 to Mon 00:00
    EXPECT_GT(bus(weekdays, utc(2025, 1, 13, 5), utc(2025, 1, 13, 6)), 0.0);
    Calendar none = Calendar::from_document(doc("\"monday\": 0", "")).value();
    EXPECT_TRUE(std::isnan(none.year_position(utc(2025, 3, 3, 12)).value()));
}

TEST(BusinessTime, YearTotals) {
    const double expected[7][2] = {{297.4, 298.4}, {297.4, 298.4}, {297.4, 298.4}, {297.4, 298.3},
                                   {297.3, 297.57}, {296.67, 297.2}, {296.93, 297.93}};
    Calendar cal = btcusdt();
    bool seen[7][2] = {};
    for (std::int64_t y = 1990; y < 2040; ++y) {
        const int wd = korvex::weekday_from_days(korvex::days_from_civil(y, 1, 1));
        const int leap = korvex::is_leap_year(y) ? 1 : 0;
        ASSERT_TRUE(cal.year_position(utc(y, 7, 1)).has_value());
        EXPECT_NEAR(cal.year_weights().at(static_cast<std::int32_t>(y)), expected[wd][leap], 1e-9) << y;
        seen[wd][leap] = true;
    }
    for (auto& row : seen) EXPECT_TRUE(row[0] && row[1]);
    EXPECT_NEAR(cal.year_weights().at(2024), 298.4, 1e-12);
    EXPECT_NEAR(cal.year_weights().at(2027), 297.3, 1e-12);
}

TEST(BusinessTime, Examples) {
    Calendar cal = btcusdt();
    // New York midnight, 1 to 2 January 2025 (a Wednesday).
    EXPECT_EQ(bus(cal, utc(2025, 1, 1, 5), utc(2025, 1, 2, 5)), 0.0033624747813973954);
    EXPECT_EQ(cal.year_position(utc(2025, 1, 1, 5)).value(), 2025.0);
    EXPECT_EQ(bus(cal, utc(2025, 1, 1, 5), utc(2026, 1, 1, 5)), 1.0);
    EXPECT_EQ(bus(cal, utc(2025, 7, 4, 13, 1, 2, 5), utc(2025, 7, 4, 13, 1, 2, 999999999)), 0.0);
    const double fwd = bus(cal, utc(2025, 2, 3, 1), utc(2026, 8, 9, 17, 3));
    EXPECT_GT(fwd, 1.4);
    EXPECT_EQ(bus(cal, utc(2026, 8, 9, 17, 3), utc(2025, 2, 3, 1)), -fwd);

    // Monday 6 January 2025, 00:00:00 to 00:07:30 local: half of bucket 0.
    const double t2025 = cal.year_weights().at(2025);
    EXPECT_NEAR(bus(cal, utc(2025, 1, 6, 5), utc(2025, 1, 6, 5, 7, 30)), 0.0052571670473 / 2 / t2025, 1e-12);

    // Local new year: 03:00 UTC on 1 January is still 31 December (a Tuesday).
    EXPECT_LT(cal.year_position(utc(2025, 1, 1, 3)).value(), 2025.0);
    EXPECT_GT(cal.year_position(utc(2025, 1, 1, 3)).value(), 2024.99);
    const auto& tue = cal.cumulative_weights(1).value();
    const auto& wed = cal.cumulative_weights(2).value();
    const double across = (tue[96] - tue[88]) / cal.year_weights().at(2024) + wed[8] / t2025;
    EXPECT_NEAR(bus(cal, utc(2025, 1, 1, 3), utc(2025, 1, 1, 7)), across, 1e-12);
}

TEST(BusinessTime, ClockChanges) {
    Calendar cal = btcusdt();
    const double t = 297.4;
    const auto& sun = cal.cumulative_weights(6).value();
    // 9 March 2025, 02:00 EST becomes 03:00 EDT at 07:00 UTC: four quarter-hours
    // and one wall-clock second pass within one real second.
    const double skipped = (sun[12] - sun[8]) + (sun[8] - sun[7]) / 900.0;
    EXPECT_NEAR(bus(cal, utc(2025, 3, 9, 6, 59, 59), utc(2025, 3, 9, 7)), skipped / t, 1e-12);
    // 2 November 2025, 02:00 EDT becomes 01:00 EST at 06:00 UTC.
    EXPECT_EQ(bus(cal, utc(2025, 11, 2, 5, 30), utc(2025, 11, 2, 6, 30)), 0.0);
    EXPECT_LT(bus(cal, utc(2025, 11, 2, 5, 50), utc(2025, 11, 2, 6, 10)), 0.0);
    // Far beyond the zone's transition table the rules still give daylight
    // time: 04:00-04:15 UTC on 1 July is 00:00-00:15 EDT.
    for (std::int64_t y : {2040, 2100, 9999}) {
        const int wd = korvex::weekday_from_days(korvex::days_from_civil(y, 7, 1));
        ASSERT_TRUE(cal.year_position(utc(y, 7, 1)).has_value());
        const double first = cal.cumulative_weights(wd).value()[1];
        EXPECT_NEAR(bus(cal, utc(y, 7, 1, 4), utc(y, 7, 1, 4, 15)),
                    first / cal.year_weights().at(static_cast<std::int32_t>(y)), 1e-11) << y;
    }
}

// The cached offset stretches must give what a calendar built afresh
// gives, right at and around every transition of the zone.
TEST(BusinessTime, OffsetCacheMatchesFreshLookups) {
    std::vector<std::int64_t> instants;
    for (std::int64_t at : offset_changes("US/Eastern", -5364662400, 7258118400)) {  // 1800 to 2200
        for (std::int64_t d : {-3601, -1, 0, 1, 3599}) instants.push_back(at + d);
    }
    ASSERT_GT(instants.size(), 1000u);
    Calendar reused = btcusdt();
    auto check = [&](std::int64_t s) {
        const UtcInstant i = UtcInstant::from_parts(s, 0).value();
        Calendar fresh = btcusdt();
        ASSERT_EQ(reused.year_position(i).value(), fresh.year_position(i).value()) << s;
    };
    for (std::int64_t s : instants) check(s);
    for (std::size_t n = instants.size(); n-- > 0;) {
        if (n % 3 == 0) check(instants[n]);
    }
}

TEST(BusinessTime, RangeEnds) {
    Calendar cal = btcusdt();
    const UtcInstant first = UtcInstant::from_parts(UtcInstant::kMinDay * 86400, 0).value();
    const UtcInstant last = UtcInstant::from_parts(UtcInstant::kMaxDay * 86400 + 86399, 999999999).value();
    EXPECT_TRUE(std::isfinite(cal.year_position(first).value()));
    EXPECT_TRUE(std::isfinite(cal.year_position(last).value()));
    UtcInstant bad;
    bad.day = INT32_MAX;
    EXPECT_EQ(cal.year_position(bad).error().message, "Invalid timestamp");
    EXPECT_EQ(cal.get_bus_ttx(first, bad).error().message, "Invalid timestamp");
    bad.day = 0;
    bad.secs = 86400;
    EXPECT_EQ(cal.year_position(bad).error().message, "Invalid timestamp");
}

TEST(CalendarTime, WholeSecondsIn365DayYears) {
    const UtcInstant t0 = utc(2024, 1, 1, 0, 0, 10, 600'000'000);
    EXPECT_EQ(Calendar::get_cal_ttx(t0, t0), 0.0);
    EXPECT_EQ(Calendar::get_cal_ttx(t0, utc(2024, 1, 1, 0, 0, 11, 500'000'000)), 0.0);  // 0.9 s
    EXPECT_EQ(Calendar::get_cal_ttx(t0, utc(2024, 1, 1, 0, 0, 12, 100'000'000)), 1 / 31536000.0);  // 1.5 s
    EXPECT_EQ(Calendar::get_cal_ttx(t0, utc(2024, 1, 1, 0, 0, 9, 100'000'000)), -1 / 31536000.0);  // -1.5 s
    EXPECT_EQ(Calendar::get_cal_ttx(t0, utc(2024, 1, 1, 0, 0, 9, 700'000'000)), 0.0);  // -0.9 s
    EXPECT_EQ(Calendar::get_cal_ttx(utc(2025, 3, 1), utc(2025, 3, 2)), 0.0027397260273972603);
    EXPECT_EQ(Calendar::get_cal_ttx(utc(2023, 1, 1), utc(2024, 1, 1)), 1.0);
    EXPECT_EQ(Calendar::get_cal_ttx(utc(2024, 1, 1), utc(2025, 1, 1)), 1.0027397260273974);
    EXPECT_EQ(Calendar::get_cal_ttx(utc(2025, 1, 1), utc(2024, 1, 1)), -1.0027397260273974);
}

TEST(CalendarTime, Tenors) {
    struct Case { std::string_view tenor; double years; };
    const Case good[] = {
        {"1d", 0.0027397260273972603}, {"2w", 0.038356164383561646}, {"3m", 0.2465753424657534},
        {"1y", 1.0}, {"0.5y", 0.5}, {"365d", 1.0}, {"12m", 360.0 / 365.0}, {"52w", 364.0 / 365.0},
        {"+2w", 14.0 / 365.0}, {"-1d", -1.0 / 365.0}, {"1e2d", 100.0 / 365.0}, {".5y", 0.5},
        {"5.y", 5.0}, {"1E+1d", 10.0 / 365.0}, {"0.1m", (0.1 * 30) / 365}, {"1e400y", INFINITY},
        {"-1e400y", -INFINITY}, {"1e-400y", 0.0}, {"infd", INFINITY}, {"-Infinityw", -INFINITY},
        {"4.9e-324y", 4.9406564584124654e-324}, {"00000000000000000000000000001.5e-0y", 1.5},
    };
    for (const Case& c : good) EXPECT_EQ(Calendar::tenor_to_ttx(c.tenor).value(), c.years) << c.tenor;
    EXPECT_TRUE(std::isnan(Calendar::tenor_to_ttx("nand").value()));
    EXPECT_TRUE(std::isnan(Calendar::tenor_to_ttx("-NaNy").value()));

    auto message = [](std::string_view t) { return Calendar::tenor_to_ttx(t).error().message; };
    for (std::string_view t : {"", "1D", "1h", "1d ", "5", "1\xC3\xBD"}) {
        EXPECT_EQ(message(t), "Invalid tenor format: " + std::string(t));
    }
    EXPECT_EQ(message("d"), "cannot parse float from empty string");
    for (std::string_view t : {"1 day", " 1d", "1 d", "1_000d", "1,5d", "0x10d", ".d", "+d", "-d",
                               "1ed", "1e+d", "1.2.3d", "e5d", "infinitd", "nan1d", "++1d"}) {
        EXPECT_EQ(message(t), "invalid float literal") << t;
    }
}

}  // namespace

namespace {

// Every instant of `seconds` the table covers has the calendar's position,
// bit for bit; a fresh calendar is asked, so that no cache of the one that
// made the table is involved.
void expect_table_matches(const korvex::calendar::PositionTable& table, const std::vector<std::int64_t>& seconds,
                          Calendar& fresh) {
    for (std::int64_t s : seconds) {
        const UtcInstant t = UtcInstant::from_parts(s, 0).value();
        ASSERT_TRUE(table.covers(t)) << s;
        const double want = fresh.year_position(t).value();
        const double got = table.position(t);
        EXPECT_EQ(std::memcmp(&want, &got, sizeof want), 0) << s << ": " << got << " vs " << want;
    }
}

}  // namespace

// A table over fifty years: around every clock change and every local and
// UTC new year, and at random seconds.
TEST(PositionTable, MatchesYearPositionOverManyYears) {
    Calendar maker = btcusdt();
    const std::int64_t first = korvex::days_from_civil(1990, 1, 1);
    const std::int64_t last = korvex::days_from_civil(2039, 12, 31);
    auto table = maker.position_table(first, last);
    ASSERT_TRUE(table.has_value()) << table.error().message;
    EXPECT_EQ(table->first_day(), first);
    EXPECT_EQ(table->last_day(), last);

    std::vector<std::int64_t> seconds;
    const auto changes = offset_changes("US/Eastern", first * 86400, last * 86400);
    EXPECT_EQ(changes.size(), 100u);
    for (std::int64_t s : changes) {
        for (std::int64_t d : {-3601, -3600, -901, -1, 0, 1, 899, 900, 3599, 3600}) seconds.push_back(s + d);
    }
    for (std::int64_t y = 1990; y <= 2039; ++y) {
        const std::int64_t utc_new_year = korvex::days_from_civil(y, 1, 1) * 86400;
        for (std::int64_t h : {0, 4, 5, 6}) {
            for (std::int64_t d : {-1, 0, 1}) {
                if (utc_new_year + h * 3600 + d >= first * 86400) seconds.push_back(utc_new_year + h * 3600 + d);
            }
        }
    }
    std::uint64_t x = 88172645463325252ull;  // xorshift: the same seconds every run
    for (int i = 0; i < 20000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        seconds.push_back(first * 86400 + static_cast<std::int64_t>(x % static_cast<std::uint64_t>((last - first + 1) * 86400)));
    }
    // Both ends of the range, whose local days lie outside it.
    seconds.push_back(first * 86400);
    seconds.push_back(last * 86400 + 86399);
    Calendar fresh = btcusdt();
    expect_table_matches(*table, seconds, fresh);
}

// The table shares the weekday tables, not the calendar: it stays valid
// when the calendar that made it is moved from or destroyed.
TEST(PositionTable, OutlivesItsCalendar) {
    const std::int64_t day = korvex::days_from_civil(2025, 3, 9);
    std::optional<korvex::calendar::PositionTable> table;
    {
        Calendar maker = btcusdt();
        table = maker.position_table(day - 3, day + 3).value();
        Calendar moved = std::move(maker);
    }
    Calendar fresh = btcusdt();
    std::vector<std::int64_t> seconds;
    for (std::int64_t s = (day - 3) * 86400; s < (day + 4) * 86400; s += 449) seconds.push_back(s);
    expect_table_matches(*table, seconds, fresh);
}

TEST(PositionTable, CoversExactlyItsDays) {
    Calendar cal = btcusdt();
    const std::int64_t first = korvex::days_from_civil(2024, 12, 30);
    const auto table = cal.position_table(first, first + 2).value();
    auto at = [](std::int64_t s) { return UtcInstant::from_parts(s, 0).value(); };
    EXPECT_FALSE(table.covers(at(first * 86400 - 1)));
    EXPECT_TRUE(table.covers(at(first * 86400)));
    EXPECT_TRUE(table.covers(at((first + 3) * 86400 - 1)));
    EXPECT_FALSE(table.covers(at((first + 3) * 86400)));
    EXPECT_FALSE(korvex::calendar::PositionTable().covers(at(0)));

    // Ranges it refuses: reversed, too long, beyond the supported days.
    using korvex::calendar::PositionTable;
    EXPECT_FALSE(cal.position_table(first + 1, first).has_value());
    EXPECT_FALSE(cal.position_table(first, first + PositionTable::kMaxDays).has_value());
    EXPECT_TRUE(cal.position_table(first, first + PositionTable::kMaxDays - 1).has_value());
    EXPECT_FALSE(cal.position_table(UtcInstant::kMinDay - 1, UtcInstant::kMinDay).has_value());
    EXPECT_FALSE(cal.position_table(UtcInstant::kMaxDay, UtcInstant::kMaxDay + 1).has_value());
}

// The first and last supported days, and zones without clock changes (one
// offset stretch for the whole range) or with other offsets.
TEST(PositionTable, RangeEndsAndOtherZones) {
    Calendar cal = btcusdt();
    Calendar fresh = btcusdt();
    const std::int64_t lo = UtcInstant::kMinDay;
    const std::int64_t hi = UtcInstant::kMaxDay;
    expect_table_matches(cal.position_table(lo, lo + 400).value(), {lo * 86400, lo * 86400 + 3600, (lo + 400) * 86400 + 86399}, fresh);
    expect_table_matches(cal.position_table(hi - 400, hi).value(), {(hi - 400) * 86400, hi * 86400 + 86399, hi * 86400 + 20000}, fresh);

    const std::string times = "\"monday\": {\"09:00\": 1, \"17:00\": 3}, \"sunday\": {\"23:45\": 1}";
    for (std::string_view zone : {"\"UTC\"", "\"Asia/Kolkata\"", "\"Australia/Lord_Howe\"", "\"Pacific/Kiritimati\""}) {
        Calendar maker = Calendar::from_document(doc("\"monday\": 1, \"wednesday\": 0.5, \"sunday\": 2", times, zone)).value();
        Calendar other = Calendar::from_document(doc("\"monday\": 1, \"wednesday\": 0.5, \"sunday\": 2", times, zone)).value();
        const std::int64_t first = korvex::days_from_civil(1994, 12, 1);
        const auto table = maker.position_table(first, first + 800).value();
        std::vector<std::int64_t> seconds;
        for (std::int64_t s = first * 86400; s < (first + 801) * 86400; s += 1799) seconds.push_back(s);
        expect_table_matches(table, seconds, other);
    }
}
