// The arithmetic of a year position, and a table that precomputes its inputs
// for a range of days.
//
// The position of an instant is its local year plus the share of that
// year's business weight passed at the instant. Everything it needs except
// the second of the local day depends on the local day alone (DayFacts), and
// the local day follows from the zone's UTC offset. Calendar::year_position
// works these out per instant (with small caches); a PositionTable holds
// them for every day of a range, so that an array of instants is read from
// flat vectors instead. Both end in the same weight_in_day and position_of
// over DayFacts made by the same Calendar::day_facts, and the table's
// offsets are the calendar's own offset stretches: the two give the same
// bits by construction, not by a second copy of the formula.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "calendar/buckets.hpp"
#include "core/utc_instant.hpp"

namespace korvex::calendar {

// Business weight from local midnight to the start of each quarter-hour.
using CumulativeTable = std::array<double, kBucketsPerDay + 1>;
// One table per weekday (Monday = 0); none for a weekday without weight.
using WeekProfiles = std::array<std::optional<CumulativeTable>, 7>;

// What a position needs about one local day.
struct DayFacts {
    double year = 0.0;         // the local year (exact: |year| < 2^53)
    double days_before = 0.0;  // weight of the year's whole days before this one
    double total = 0.0;        // weight of the whole year
    const CumulativeTable* today = nullptr;  // this weekday's table; null: no weight
};

// The share of its quarter-hour that each second into it has passed,
// r / 900, worked out once: looking the quotient up gives the very bits
// dividing again would, and divisions are the slowest step of a position.
inline const std::array<double, kSecondsPerBucket> kBucketFractions = [] {
    std::array<double, kSecondsPerBucket> f{};
    constexpr auto bucket_seconds = static_cast<double>(kSecondsPerBucket);
    for (std::size_t r = 0; r < f.size(); ++r) f[r] = static_cast<double>(r) / bucket_seconds;
    return f;
}();

// The weight of the local day's year passed `second_of_day` (0..86399)
// seconds into the day: the weight of the days before, plus today's weight
// up to now interpolated within the current quarter-hour.
inline double weight_in_day(const DayFacts& d, std::int64_t second_of_day) noexcept {
    double weight = d.days_before;
    if (d.today) {
        const auto k = static_cast<std::size_t>(
            std::min<std::int64_t>(second_of_day / kSecondsPerBucket, kBucketsPerDay - 1));
        // The seconds into the quarter-hour: an integer remainder, which is
        // exactly what fmod of the (exactly representable) second gives.
        const double f = kBucketFractions[static_cast<std::size_t>(second_of_day % kSecondsPerBucket)];
        const CumulativeTable& c = *d.today;
        weight += (c[k + 1] - c[k]) * f + c[k];
    }
    return weight;
}

// The position from the weight passed in the local day's year.
inline double position_of(const DayFacts& d, double weight) noexcept { return d.year + weight / d.total; }

// The position `second_of_day` seconds into the local day.
inline double position_in_day(const DayFacts& d, std::int64_t second_of_day) noexcept {
    return position_of(d, weight_in_day(d, second_of_day));
}

// Year positions of the instants within a range of whole UTC days, made by
// Calendar::position_table. Immutable once made, so threads share one; it
// keeps the calendar's weekday tables alive and does not refer to the
// calendar itself.
class PositionTable {
public:
    // The most UTC days a table spans (400 years, about 6.5 MB): the few
    // years that arrays usually need cost little, and a caller with
    // instants spread over more covers part of them with a table.
    static constexpr std::int64_t kMaxDays = 146097;

    PositionTable() = default;  // covers nothing

    bool empty() const noexcept { return utc_days_.empty(); }
    std::int64_t first_day() const noexcept { return first_day_; }
    std::int64_t last_day() const noexcept {
        return first_day_ + static_cast<std::int64_t>(utc_days_.size()) - 1;
    }
    // Whether the table has the instant's UTC day. A day with more than one
    // change of UTC offset (no zone has one now) is left to the calendar.
    bool covers(const UtcInstant& t) const noexcept {
        const auto i = static_cast<std::uint64_t>(t.day - first_day_);
        return i < utc_days_.size() && utc_days_[i].switch_at >= 0;
    }

    // The local day of an instant the table covers, and the second of it.
    const DayFacts& local_day(const UtcInstant& t, std::int64_t& second_of_day) const noexcept {
        const auto i = static_cast<std::size_t>(t.day - first_day_);
        const UtcDay& u = utc_days_[i];
        const std::int64_t offset = static_cast<std::int64_t>(t.secs) < u.switch_at ? u.before : u.after;
        // The offset is less than a day either way, so the local time falls
        // on the UTC day or one of its neighbours.
        const std::int64_t x = static_cast<std::int64_t>(t.secs) + offset;
        const std::int64_t shift = static_cast<std::int64_t>(x >= kSecondsPerDay) - static_cast<std::int64_t>(x < 0);
        second_of_day = x - shift * kSecondsPerDay;
        // Local days start one day before the first UTC day.
        return local_days_[i + 1 + static_cast<std::size_t>(shift)];
    }

    // The year position of an instant the table covers; the same value as
    // Calendar::year_position gives for it.
    double position(const UtcInstant& t) const noexcept {
        std::int64_t second_of_day;
        const DayFacts& d = local_day(t, second_of_day);
        return position_in_day(d, second_of_day);
    }

private:
    friend class Calendar;

    // The UTC offset over one UTC day: `before` until second `switch_at` of
    // the day, `after` from it on (86400: no change within the day); -1 for
    // a day with more than one change.
    struct UtcDay {
        std::int32_t switch_at = kSecondsPerDay;
        std::int32_t before = 0;
        std::int32_t after = 0;
    };

    std::int64_t first_day_ = 0;
    std::vector<UtcDay> utc_days_;       // one per UTC day from first_day_
    std::vector<DayFacts> local_days_;   // one per local day from first_day_ - 1 to last_day() + 1
    std::shared_ptr<const WeekProfiles> profiles_;  // what local_days_[i].today points into
};

}  // namespace korvex::calendar
