// The trading calendar: business time on the wall clock of an IANA zone.
//
// A calendar gives each weekday a weight and spreads it over the local
// quarter-hours of that day (buckets.hpp). The position of an instant is its local year
// plus the share of that year's business weight that has passed; the
// business time between two instants is the difference of their positions.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "calendar/buckets.hpp"
#include "calendar/position_table.hpp"
#include "calendar/tz_database.hpp"
#include "core/error.hpp"
#include "core/utc_instant.hpp"

namespace korvex::calendar {

// The calendar document of the underlying "BTCUSDT", embedded at build time.
extern const std::string_view kEmbeddedBtcusdt;

class Calendar {
public:
    static constexpr const char* kName = "Calendar";
    static constexpr double kSecondsPerCalendarYear = 31536000.0;  // 365 days

    // The calendar of a known underlying; only "BTCUSDT" exists.
    static Result<Calendar> create(std::string_view underlying);
    // A calendar built from any calendar document (JSON text), by the same
    // parser, rules and error texts as the embedded one.
    static Result<Calendar> from_document(std::string_view json);

    Calendar(Calendar&&) noexcept;
    Calendar& operator=(Calendar&&) noexcept;
    Calendar(const Calendar&) = delete;
    Calendar& operator=(const Calendar&) = delete;
    ~Calendar();

    // Business years from `from` to `to` (negative when `to` is earlier).
    Result<double> get_bus_ttx(UtcInstant from, UtcInstant to);
    // The same from the two instants' year positions: callers that hold
    // many intervals sharing instants compute each position once.
    static double bus_ttx_between(double from_position, double to_position) noexcept {
        return to_position - from_position;
    }
    // Local year of `t` plus the share of that year's weight passed at `t`.
    Result<double> year_position(UtcInstant t);
    // The positions of every instant from UTC day `first_day` to `last_day`
    // (days since 1970-01-01, both within UtcInstant's range, at most
    // PositionTable::kMaxDays of them) in one table: the same values as
    // year_position, read from flat vectors.
    Result<PositionTable> position_table(std::int64_t first_day, std::int64_t last_day);

    // Elapsed whole seconds (truncated toward zero) in 365-day years.
    static double get_cal_ttx(UtcInstant from, UtcInstant to) noexcept {
        std::int64_t seconds = to.epoch_seconds() - from.epoch_seconds();
        const std::int64_t nanos = static_cast<std::int64_t>(to.nanos) - static_cast<std::int64_t>(from.nanos);
        // |nanos| < 1e9: a fraction of the other sign pulls the whole seconds
        // one step toward zero.
        if (seconds > 0 && nanos < 0) --seconds;
        if (seconds < 0 && nanos > 0) ++seconds;
        return static_cast<double>(seconds) / kSecondsPerCalendarYear;
    }
    // "3m", "1.5y", "2w", "10d" ... in 365-day years.
    static Result<double> tenor_to_ttx(std::string_view tenor);

    // Read access, Monday = 0 ... Sunday = 6.
    const std::array<double, 7>& day_weights() const noexcept { return day_weights_; }
    double week_weight() const noexcept { return week_weight_; }
    const std::optional<CumulativeTable>& cumulative_weights(int weekday) const {
        return cumulative_->at(static_cast<std::size_t>(weekday));
    }
    const std::map<std::int32_t, double>& year_weights() const noexcept { return year_weights_; }
    // The zone name exactly as the document gives it.
    const std::string& time_zone_name() const noexcept { return zone_name_; }

    // One stretch of time with a constant UTC offset, in epoch seconds [lo, hi).
    struct OffsetSpan {
        std::int64_t lo = 1;
        std::int64_t hi = 0;  // empty until filled
        std::int32_t offset = 0;
    };
    // The stretch of constant UTC offset that holds the second: the offset
    // that positions use, seconds east of UTC.
    Result<OffsetSpan> offset_span(std::int64_t epoch_seconds);

private:
    Calendar();

    // The year facts that a position needs, for the years met last.
    struct YearFacts {
        std::int64_t year = 0;
        std::int64_t first_day = 0;  // epoch day of 1 January
        std::int64_t end_day = 0;    // epoch day of 1 January of the next year
        int first_weekday = 0;
        double total = 0.0;
        bool valid = false;
    };

    const YearFacts& year_facts(std::int64_t year);
    // What a position needs about local day `day` (days since 1970-01-01).
    DayFacts day_facts(std::int64_t day);
    // Weight of `days` consecutive days from `first_weekday` on: the whole
    // weeks in one multiplication, then the rest day by day in order (so the
    // additions happen in a fixed order). `next_weekday` is the day after.
    double days_weight(int first_weekday, std::int64_t days, int& next_weekday) const noexcept;

    // Shared with the position tables made from this calendar, so that their
    // day facts may point into it whatever becomes of the calendar.
    std::shared_ptr<const WeekProfiles> cumulative_;
    std::map<std::int32_t, double> year_weights_;
    std::array<double, 7> day_weights_{};
    double week_weight_ = 0.0;
    std::optional<TimeZone> zone_;
    std::string zone_name_;

    // Lookup caches; they never change a result, only its cost. The few
    // spans met last are tried first; every span met is also kept in a
    // table sorted by start (spans never overlap), so that instants spread
    // over many years (a whole array of them) ask the zone once per span
    // rather than whenever they leave the last few. The table is bounded:
    // when it is full it starts again.
    static constexpr int kSpanSlots = 4;
    static constexpr std::size_t kMaxKnownSpans = 4096;
    std::array<OffsetSpan, kSpanSlots> spans_{};
    int next_span_slot_ = 0;
    std::vector<OffsetSpan> known_spans_;
    std::array<YearFacts, 2> years_{};
    int next_year_slot_ = 0;
};

}  // namespace korvex::calendar
