// UtcInstant: a UTC date-time on the proleptic Gregorian calendar with
// nanosecond precision, plus the civil-date arithmetic the calendar needs.
#pragma once

#include <compare>
#include <cstdint>

#include "core/error.hpp"

namespace korvex {

// Division rounded toward minus infinity (b > 0 or b < 0, not 0).
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Days from 1970-01-01 to the given proleptic Gregorian date (may be negative).
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

constexpr CivilDate civil_from_days(std::int64_t z) noexcept {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {y + (m <= 2), m, d};
}

// Monday = 0 ... Sunday = 6. 1970-01-01 was a Thursday.
constexpr int weekday_from_days(std::int64_t z) noexcept {
    const std::int64_t w = (z + 3) % 7;
    return static_cast<int>(w < 0 ? w + 7 : w);
}

constexpr bool is_leap_year(std::int64_t y) noexcept {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

struct UtcInstant {
    static constexpr std::int64_t kMinYear = -262143;
    static constexpr std::int64_t kMaxYear = 262142;
    static constexpr std::int64_t kMinDay = days_from_civil(kMinYear, 1, 1);
    static constexpr std::int64_t kMaxDay = days_from_civil(kMaxYear, 12, 31);

    std::int32_t day = 0;         // days since 1970-01-01
    std::uint32_t secs = 0;       // seconds of the day, 0..86399
    std::uint32_t nanos = 0;      // 0..999'999'999

    // Seconds since the Unix epoch, ignoring the nanoseconds.
    constexpr std::int64_t epoch_seconds() const noexcept {
        return static_cast<std::int64_t>(day) * 86400 + secs;
    }

    // Builds an instant from a float timestamp (seconds since the epoch).
    // The whole seconds are floor(ts); the fraction is rounded to the nearest
    // nanosecond (half away from zero) and a rounding that reaches a full
    // second carries into the seconds. NaN and dates outside the supported
    // years fail with "Invalid timestamp".
    static Result<UtcInstant> from_timestamp(double ts) {
        UtcInstant t;
        if (!try_from_timestamp(ts, t)) return std::unexpected(Error::value_error("Invalid timestamp"));
        return t;
    }

    // The same without an error value: false for an invalid timestamp (as
    // try_from_parts, for the array kernels' one instant per element).
    static bool try_from_timestamp(double ts, UtcInstant& out) noexcept;

    // Builds an instant from whole seconds and nanoseconds (0..999'999'999).
    static Result<UtcInstant> from_parts(std::int64_t secs, std::uint32_t nanos) {
        UtcInstant t;
        if (!try_from_parts(secs, nanos, t)) return std::unexpected(Error::value_error("Invalid timestamp"));
        return t;
    }

    // The same without an error value: false for an invalid instant. Inline
    // and free of the error type, so that the array kernels, which build one
    // instant per element, keep it in registers.
    static bool try_from_parts(std::int64_t secs, std::uint32_t nanos, UtcInstant& out) noexcept {
        const std::int64_t days = floor_div(secs, 86400);
        if (nanos > 999'999'999u || days < kMinDay || days > kMaxDay) return false;
        out.day = static_cast<std::int32_t>(days);
        out.secs = static_cast<std::uint32_t>(secs - days * 86400);
        out.nanos = nanos;
        return true;
    }

    friend constexpr auto operator<=>(const UtcInstant&, const UtcInstant&) = default;
};

}  // namespace korvex
