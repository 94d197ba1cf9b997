#include "calendar/calendar.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "calendar/buckets.hpp"
#include "calendar/calendar_document.hpp"
#include "calendar/tenor.hpp"
#include "calendar/tz_database.hpp"
#include "core/unicode.hpp"

namespace korvex::calendar {

namespace {

constexpr std::array<std::string_view, 7> kWeekdayNames = {
    "monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};


std::unexpected<Error> invalid_timestamp() { return value_error("Invalid timestamp"); }

// Finds a zone by its exact, case-sensitive name: a zone or link of the
// embedded IANA release, and nothing else.
Result<TimeZone> find_zone(const std::string& name) {
    auto zone = TimeZone::load(name);
    if (!zone) return value_error("Invalid IANA timezone: " + name);
    return std::move(*zone);
}

int weekday_index(std::string_view key) {
    const std::string lower = unicode::to_lower(key);
    for (std::size_t i = 0; i < kWeekdayNames.size(); ++i) {
        if (lower == kWeekdayNames[i]) return static_cast<int>(i);
    }
    return -1;
}

// Business weight accumulated from local midnight to the start of each
// quarter-hour; the raw weights are scaled so that the day sums to `weight`.
CumulativeTable cumulative_table(const std::array<double, kBucketsPerDay>& raw, double weight) {
    double sum = 0.0;
    for (double r : raw) sum += r;
    CumulativeTable c{};
    c[0] = 0.0;
    for (std::size_t k = 0; k < raw.size(); ++k) {
        const double bucket = sum == 0.0 ? 0.0 : (raw[k] / sum) * weight;
        c[k + 1] = c[k] + bucket;
    }
    return c;
}

}  // namespace

Calendar::Calendar() = default;
Calendar::Calendar(Calendar&&) noexcept = default;
Calendar& Calendar::operator=(Calendar&&) noexcept = default;
Calendar::~Calendar() = default;

Result<Calendar> Calendar::create(std::string_view underlying) {
    if (underlying != "BTCUSDT") {
        return value_error("No embedded calendar for underlying: " + std::string(underlying));
    }
    return from_document(kEmbeddedBtcusdt);
}

Result<Calendar> Calendar::from_document(std::string_view json) {
    auto doc = parse_calendar_document(json);
    if (!doc) return std::unexpected(std::move(doc.error()));
    auto zone = find_zone(doc->iana_time_zone);
    if (!zone) return std::unexpected(std::move(zone.error()));

    Calendar cal;
    cal.zone_ = std::move(*zone);
    cal.zone_name_ = std::move(doc->iana_time_zone);
    WeekProfiles profiles{};
    for (const auto& [key, weight] : doc->day_weightings) {
        const int day = weekday_index(key);
        if (day < 0) continue;
        const auto* profile = doc->find_profile(key);
        std::array<double, kBucketsPerDay> raw;
        if (profile) {
            raw = profile->raw;
        } else {
            raw.fill(1.0);  // no profile: the weight is spread evenly
        }
        profiles[static_cast<std::size_t>(day)] = cumulative_table(raw, weight);
        cal.day_weights_[static_cast<std::size_t>(day)] = weight;
    }
    double week = 0.0;
    for (double w : cal.day_weights_) week += w;
    cal.week_weight_ = week;
    cal.cumulative_ = std::make_shared<const WeekProfiles>(profiles);
    return cal;
}

Result<Calendar::OffsetSpan> Calendar::offset_span(std::int64_t epoch_seconds) {
    if (epoch_seconds < UtcInstant::kMinDay * kSecondsPerDay ||
        epoch_seconds >= (UtcInstant::kMaxDay + 1) * kSecondsPerDay) {
        return invalid_timestamp();
    }
    for (const OffsetSpan& span : spans_) {
        if (epoch_seconds >= span.lo && epoch_seconds < span.hi) return span;
    }
    auto remember = [this](const OffsetSpan& span) {
        spans_[static_cast<std::size_t>(next_span_slot_)] = span;
        next_span_slot_ = (next_span_slot_ + 1) % kSpanSlots;
    };
    // The first known span starting after the instant; the one before it
    // is the only one that can hold the instant.
    auto after = std::upper_bound(known_spans_.begin(), known_spans_.end(), epoch_seconds,
                                  [](std::int64_t s, const OffsetSpan& span) { return s < span.lo; });
    if (after != known_spans_.begin() && epoch_seconds < std::prev(after)->hi) {
        remember(*std::prev(after));
        return *std::prev(after);
    }
    // Not cached: ask the zone for the whole stretch around the instant, so
    // that later instants of the same stretch skip the zone.
    const TimeZone::Stretch stretch = zone_->stretch_at(epoch_seconds);
    OffsetSpan span;
    span.lo = stretch.lo;
    span.hi = stretch.hi;
    span.offset = stretch.offset;
    remember(span);
    if (known_spans_.size() >= kMaxKnownSpans) {
        known_spans_.clear();
        after = known_spans_.end();
    }
    known_spans_.insert(after, span);
    return span;
}

double Calendar::days_weight(int first_weekday, std::int64_t days, int& next_weekday) const noexcept {
    double weight = static_cast<double>(days / 7) * week_weight_;
    int wd = first_weekday;
    for (std::int64_t i = 0; i < days % 7; ++i) {
        weight += day_weights_[static_cast<std::size_t>(wd)];
        wd = wd == 6 ? 0 : wd + 1;
    }
    next_weekday = wd;
    return weight;
}

const Calendar::YearFacts& Calendar::year_facts(std::int64_t year) {
    YearFacts facts;
    facts.year = year;
    facts.first_day = days_from_civil(year, 1, 1);
    facts.end_day = days_from_civil(year + 1, 1, 1);
    facts.first_weekday = weekday_from_days(facts.first_day);
    const auto key = static_cast<std::int32_t>(year);
    if (auto it = year_weights_.find(key); it != year_weights_.end()) {
        facts.total = it->second;
    } else {
        // Whole weeks, then the one or two days left over, from the weekday
        // of 1 January on.
        int after = 0;
        const double total = days_weight(facts.first_weekday, facts.end_day - facts.first_day, after);
        year_weights_.emplace(key, total);
        facts.total = total;
    }
    facts.valid = true;
    YearFacts& slot = years_[next_year_slot_];
    next_year_slot_ = 1 - next_year_slot_;
    slot = facts;
    return slot;
}

DayFacts Calendar::day_facts(std::int64_t day) {
    // The two years met last: the start and end of an interval are often in
    // different years.
    auto holds = [day](const YearFacts& y) { return y.valid && day >= y.first_day && day < y.end_day; };
    const YearFacts& year = holds(years_[0])   ? years_[0]
                            : holds(years_[1]) ? years_[1]
                                               : year_facts(civil_from_days(day).year);
    DayFacts facts;
    facts.year = static_cast<double>(year.year);
    facts.total = year.total;
    // The days of the year before this one; `wd` becomes today's weekday.
    int wd = 0;
    facts.days_before = days_weight(year.first_weekday, day - year.first_day, wd);
    if (const auto& table = (*cumulative_)[static_cast<std::size_t>(wd)]) facts.today = &*table;
    return facts;
}

Result<double> Calendar::year_position(UtcInstant t) {
    if (t.day < UtcInstant::kMinDay || t.day > UtcInstant::kMaxDay ||
        t.secs >= static_cast<std::uint32_t>(kSecondsPerDay)) {
        return invalid_timestamp();
    }
    const std::int64_t utc = t.epoch_seconds();
    auto span = offset_span(utc);
    if (!span) return std::unexpected(std::move(span.error()));
    const std::int64_t local = utc + span->offset;
    const std::int64_t day = floor_div(local, kSecondsPerDay);
    return position_in_day(day_facts(day), local - day * kSecondsPerDay);
}

Result<PositionTable> Calendar::position_table(std::int64_t first_day, std::int64_t last_day) {
    if (first_day > last_day || first_day < UtcInstant::kMinDay || last_day > UtcInstant::kMaxDay ||
        last_day - first_day >= PositionTable::kMaxDays) {
        return value_error("position table: days out of range");
    }
    PositionTable table;
    table.first_day_ = first_day;
    table.profiles_ = cumulative_;
    const auto days = static_cast<std::size_t>(last_day - first_day + 1);

    // The offset stretches over the range, one after the other: each is the
    // one offset_span gives for the first second it covers.
    const std::int64_t lo = first_day * kSecondsPerDay;
    const std::int64_t hi = (last_day + 1) * kSecondsPerDay;
    std::vector<OffsetSpan> spans;
    for (std::int64_t s = lo;;) {
        auto span = offset_span(s);
        if (!span) return std::unexpected(std::move(span.error()));
        spans.push_back(*span);
        if (span->hi >= hi) break;
        s = span->hi;
    }
    // Each UTC day from them: the offset at its start, and the one change
    // within it if there is one.
    table.utc_days_.resize(days);
    std::size_t j = 0;
    for (std::size_t i = 0; i < days; ++i) {
        const std::int64_t start = lo + static_cast<std::int64_t>(i) * kSecondsPerDay;
        const std::int64_t end = start + kSecondsPerDay;
        while (spans[j].hi <= start) ++j;
        PositionTable::UtcDay& u = table.utc_days_[i];
        u.before = u.after = spans[j].offset;
        if (spans[j].hi < end) {
            u.after = spans[j + 1].offset;
            u.switch_at = spans[j + 1].hi < end ? -1 : static_cast<std::int32_t>(spans[j].hi - start);
        }
    }
    // The local days that those UTC days can reach.
    table.local_days_.reserve(days + 2);
    for (std::int64_t d = first_day - 1; d <= last_day + 1; ++d) table.local_days_.push_back(day_facts(d));
    return table;
}

Result<double> Calendar::get_bus_ttx(UtcInstant from, UtcInstant to) {
    auto end = year_position(to);
    if (!end) return end;
    auto start = year_position(from);
    if (!start) return start;
    return bus_ttx_between(*start, *end);
}

Result<double> Calendar::tenor_to_ttx(std::string_view tenor) { return parse_tenor(tenor); }

}  // namespace korvex::calendar
