#include "chain/time_kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "calendar/calendar.hpp"
#include "chain/parallel.hpp"
#include "core/utc_instant.hpp"

namespace korvex::chain {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Elements per thread's block.
constexpr std::size_t kCalendarBlock = 4096;       // about 20 ns per element
constexpr std::size_t kCalendarScanBlock = 65536;  // about 1 ns per element

// The instant of element i; inline so that it stays in registers.
[[gnu::always_inline]] inline bool to_instant(const InstantColumn& c, std::size_t i, UtcInstant& out) noexcept {
    if (!c.is_ticks) return UtcInstant::try_from_timestamp(c.seconds[i], out);
    const std::int64_t v = c.ticks[i];
    if (v == std::numeric_limits<std::int64_t>::min()) return false;  // NaT
    std::int64_t secs;
    std::int64_t nanos = 0;
    // Whole seconds rounded down and the rest in nanoseconds; sub-nanosecond
    // units keep whole nanoseconds, rounded down like the seconds. The usual
    // units get constant divisors, which compile to multiplications.
    auto split = [&]<std::int64_t Tps>(std::integral_constant<std::int64_t, Tps>) {
        secs = floor_div(v, Tps);
        const std::int64_t rem = v - secs * Tps;  // 0 <= rem < Tps
        if constexpr (Tps <= 1'000'000'000) {
            nanos = rem * (1'000'000'000 / Tps);
        } else {
            nanos = rem / (Tps / 1'000'000'000);
        }
    };
    if (c.seconds_per_tick > 1) {
        if (__builtin_mul_overflow(v, c.seconds_per_tick, &secs)) return false;
    } else {
        switch (c.ticks_per_second) {
            case 1: secs = v; break;
            case 1'000: split(std::integral_constant<std::int64_t, 1'000>{}); break;
            case 1'000'000: split(std::integral_constant<std::int64_t, 1'000'000>{}); break;
            case 1'000'000'000: split(std::integral_constant<std::int64_t, 1'000'000'000>{}); break;
            case 1'000'000'000'000: split(std::integral_constant<std::int64_t, 1'000'000'000'000>{}); break;
            case 1'000'000'000'000'000: split(std::integral_constant<std::int64_t, 1'000'000'000'000'000>{}); break;
            default: split(std::integral_constant<std::int64_t, 1'000'000'000'000'000'000>{}); break;
        }
    }
    return UtcInstant::try_from_parts(secs, static_cast<std::uint32_t>(nanos), out);
}

// Calendar positions of recently met instants of one column, for the
// instants a position table does not cover. A position depends on the
// instant alone, so reusing one changes nothing. Direct-mapped, a few
// kilobytes.
class PositionCache {
public:
    // The position of t, or false when the calendar has none (an error).
    bool position(calendar::Calendar& cal, UtcInstant t, double& out) {
        const std::uint64_t key =
            static_cast<std::uint64_t>(t.epoch_seconds()) * 0x9E3779B97F4A7C15ull ^ t.nanos;
        Slot& slot = slots_[(key * 0xBF58476D1CE4E5B9ull) >> (64 - kBits)];
        if (!slot.used || !(slot.instant == t)) {
            const Result<double> p = cal.year_position(t);
            slot.used = true;
            slot.instant = t;
            slot.ok = p.has_value();
            slot.value = slot.ok ? *p : 0.0;
        }
        out = slot.value;
        return slot.ok;
    }

private:
    static constexpr int kBits = 6;
    struct Slot {
        UtcInstant instant;
        double value = 0.0;
        bool used = false;
        bool ok = false;
    };
    std::array<Slot, std::size_t{1} << kBits> slots_{};
};

// Year positions for one bus_ttx call: the table's where it covers the
// instant, else the calendar `lend()` lends, asked once (through a cache per
// column).
template <class Lend>
class Positions {
public:
    Positions(const calendar::PositionTable& table, Lend& lend) : table_(table), lend_(lend) {}

    [[gnu::always_inline]] bool from(const UtcInstant& t, double& out) { return get(t, from_cache_, out); }
    [[gnu::always_inline]] bool to(const UtcInstant& t, double& out) { return get(t, to_cache_, out); }

private:
    [[gnu::always_inline]] bool get(const UtcInstant& t, PositionCache& cache, double& out) {
        if (table_.covers(t)) [[likely]] {
            out = table_.position(t);
            return true;
        }
        return beyond(t, cache, out);
    }
    [[gnu::noinline]] bool beyond(const UtcInstant& t, PositionCache& cache, double& out) {
        if (!cal_) cal_ = &lend_();
        return cache.position(*cal_, t, out);
    }

    const calendar::PositionTable& table_;
    Lend& lend_;
    calendar::Calendar* cal_ = nullptr;
    PositionCache from_cache_;
    PositionCache to_cache_;
};

bool is_single(const InstantColumn& c) { return (c.is_ticks ? c.ticks.step : c.seconds.step) == 0; }

// The UTC days (since 1970-01-01) of the earliest and latest instants of
// elements [begin, end), widened into lo and hi; an element without an
// instant does not count, nor does a column of one value (step 0).
void instant_day_range(const InstantColumn& c, std::size_t begin, std::size_t end, std::int64_t& lo,
                       std::int64_t& hi) noexcept {
    if (begin >= end) return;
    if (is_single(c)) end = begin + 1;
    // The earliest and latest raw values; converting them afterwards is
    // enough, since the conversion never reverses an order.
    if (c.is_ticks) {
        constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
        std::int64_t mn = std::numeric_limits<std::int64_t>::max();
        std::int64_t mx = kNaT;
        for (std::size_t i = begin; i < end; ++i) {
            const std::int64_t v = c.ticks[i];
            if (v == kNaT) continue;
            mn = v < mn ? v : mn;
            mx = v > mx ? v : mx;
        }
        if (mx == kNaT) return;  // only NaT
        auto day_of = [&](std::int64_t v) {
            std::int64_t secs;
            if (c.seconds_per_tick > 1) {
                if (__builtin_mul_overflow(v, c.seconds_per_tick, &secs)) {
                    secs = v < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
                }
            } else {
                secs = floor_div(v, c.ticks_per_second);
            }
            return floor_div(secs, 86400);
        };
        lo = std::min(lo, day_of(mn));
        hi = std::max(hi, day_of(mx));
        return;
    }
    double mn = std::numeric_limits<double>::infinity();
    double mx = -std::numeric_limits<double>::infinity();
    bool any = false;
    for (std::size_t i = begin; i < end; ++i) {
        const double v = c.seconds[i];
        if (std::isnan(v)) continue;
        any = true;
        mn = v < mn ? v : mn;
        mx = v > mx ? v : mx;
    }
    if (!any) return;
    // Far beyond the supported days either way; and a float's fraction may
    // round up into the next second, so one day more each side.
    auto day_of = [](double v) {
        const double d = std::floor(std::clamp(v, -1e16, 1e16) / 86400.0);
        return static_cast<std::int64_t>(d);
    };
    lo = std::min(lo, day_of(mn) - 1);
    hi = std::max(hi, day_of(mx) + 1);
}

// As Calendar::get_bus_ttx for elements [begin, end), NaN where it fails:
// year positions from `table` where it covers the instant, from the lent
// calendar elsewhere; the instants' positions first, then their differences.
template <class Lend>
void bus_ttx_range(const calendar::PositionTable& table, Lend& lend, const InstantColumn& from,
                   const InstantColumn& to, std::size_t begin, std::size_t end, double* out) {
    if (begin >= end) return;
    Positions<Lend> positions(table, lend);
    UtcInstant a;
    UtcInstant b;
    double start = 0.0;
    double stop = 0.0;
    // A column of one value (one observation time against many expiries)
    // has one position, worked out once.
    const bool one_from = is_single(from);
    const bool one_to = is_single(to);
    if (one_from || one_to) {
        const bool from_ok = !one_from || (to_instant(from, begin, a) && positions.from(a, start));
        const bool to_ok = !one_to || (to_instant(to, begin, b) && positions.to(b, stop));
        for (std::size_t i = begin; i < end; ++i) {
            const bool ok = from_ok && to_ok && (one_to || (to_instant(to, i, b) && positions.to(b, stop))) &&
                            (one_from || (to_instant(from, i, a) && positions.from(a, start)));
            out[i] = ok ? calendar::Calendar::bus_ttx_between(start, stop) : kNaN;
        }
        return;
    }
    // Pairs in stages: first where each instant falls in the table and the
    // weight passed there, then the positions and their differences, whose
    // divisions no longer wait on lookups and so overlap one another. A pair
    // the table does not cover (or without both instants) takes the general
    // path in the second stage.
    constexpr std::size_t kStage = 128;
    const calendar::DayFacts* day_a[kStage];
    const calendar::DayFacts* day_b[kStage];
    double weight_a[kStage];
    double weight_b[kStage];
    for (std::size_t base = begin; base < end; base += kStage) {
        const std::size_t m = std::min(kStage, end - base);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = base + j;
            day_a[j] = nullptr;
            if (to_instant(from, i, a) && to_instant(to, i, b) && table.covers(a) && table.covers(b)) [[likely]] {
                std::int64_t second_a;
                std::int64_t second_b;
                day_a[j] = &table.local_day(a, second_a);
                day_b[j] = &table.local_day(b, second_b);
                weight_a[j] = calendar::weight_in_day(*day_a[j], second_a);
                weight_b[j] = calendar::weight_in_day(*day_b[j], second_b);
            }
        }
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = base + j;
            if (day_a[j]) [[likely]] {
                out[i] = calendar::Calendar::bus_ttx_between(calendar::position_of(*day_a[j], weight_a[j]),
                                                             calendar::position_of(*day_b[j], weight_b[j]));
            } else {
                out[i] = to_instant(from, i, a) && to_instant(to, i, b) && positions.to(b, stop) &&
                                 positions.from(a, start)
                             ? calendar::Calendar::bus_ttx_between(start, stop)
                             : kNaN;
            }
        }
    }
}

void cal_ttx_range(const InstantColumn& from, const InstantColumn& to, std::size_t begin, std::size_t end,
                   double* out) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        UtcInstant a;
        UtcInstant b;
        out[i] = to_instant(from, i, a) && to_instant(to, i, b) ? calendar::Calendar::get_cal_ttx(a, b) : kNaN;
    }
}

Result<calendar::Calendar> build_calendar(const CalendarSource& source) {
    return source.is_document ? calendar::Calendar::from_document(source.text)
                              : calendar::Calendar::create(source.text);
}

// What a calendar computes from, bit for bit: its zone's name, its day
// weights and its weekday tables (the week's weight is their sum). Calendars
// of equal identity give equal results, however their documents are spelt:
// white space, member order, ignored members, labels or numbers written
// differently.
std::string calendar_identity(const calendar::Calendar& cal) {
    std::string id;
    auto put = [&id](const void* data, std::size_t size) { id.append(static_cast<const char*>(data), size); };
    const std::string& zone = cal.time_zone_name();
    const std::size_t zone_size = zone.size();
    put(&zone_size, sizeof zone_size);
    put(zone.data(), zone_size);
    put(cal.day_weights().data(), sizeof(double) * cal.day_weights().size());
    for (int day = 0; day < 7; ++day) {
        const auto& table = cal.cumulative_weights(day);
        const char has_table = table ? 1 : 0;
        put(&has_table, 1);
        if (table) put(table->data(), sizeof(double) * table->size());
    }
    return id;
}

// The calendars of one identity. Calendars are stateful (lookup caches) and
// so not shared between threads; a calendar taken for a call is given back
// afterwards, so that a later call does not parse the calendar document
// again. The pool never shrinks below the most threads used at once.
class CalendarPool {
public:
    CalendarPool(const CalendarSource& source, std::string identity)
        : text_(source.text), is_document_(source.is_document), identity_(std::move(identity)) {}

    const std::string& identity() const noexcept { return identity_; }

    std::unique_ptr<calendar::Calendar> take() {
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                auto c = std::move(free_.back());
                free_.pop_back();
                return c;
            }
        }
        // The text built a calendar before, and building is deterministic.
        auto created = build_calendar({text_, is_document_});
        if (!created) throw std::runtime_error(created.error().message);
        return std::make_unique<calendar::Calendar>(std::move(*created));
    }
    // A calendar just built for a call, kept unless a free one waits for
    // that call already: the pool grows only with calls running at once,
    // however many texts of its identity come and go.
    void offer(std::unique_ptr<calendar::Calendar> cal) {
        std::lock_guard lock(mutex_);
        if (free_.empty()) free_.push_back(std::move(cal));
    }
    void give_back(std::vector<std::unique_ptr<calendar::Calendar>>& cals) {
        std::lock_guard lock(mutex_);
        for (auto& c : cals) {
            if (c) free_.push_back(std::move(c));
        }
    }

    // The position table last made, for a later call whose instants it
    // covers (calls over the same few years are the rule). Tables are
    // immutable: calls running at once share one.
    std::shared_ptr<const calendar::PositionTable> table_covering(std::int64_t lo, std::int64_t hi) {
        std::lock_guard lock(mutex_);
        if (table_ && table_->first_day() <= lo && hi <= table_->last_day()) return table_;
        return nullptr;
    }
    void keep_table(std::shared_ptr<const calendar::PositionTable> table) {
        std::lock_guard lock(mutex_);
        table_ = std::move(table);
    }

private:
    // What more calendars are built from: the name or document that first
    // made one of this identity.
    const std::string text_;
    const bool is_document_;
    const std::string identity_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<calendar::Calendar>> free_;
    std::shared_ptr<const calendar::PositionTable> table_;
};

// The pools of the calendars met last, found by the text a call names its
// calendar with (an embedded name or a document's exact text), the most
// recently used first. Texts that build calendars of one identity share one
// pool: its calendars and its position table. Bounded: beyond kMaxEntries
// texts the one used longest ago is forgotten (its pool lives on while a
// call or another text uses it), and texts longer than kMaxKeptText are not
// kept at all (such a document is parsed on every call).
class CalendarPools {
public:
    Result<std::shared_ptr<CalendarPool>> find(const CalendarSource& source) {
        {
            std::lock_guard lock(mutex_);
            if (auto pool = lookup(source)) return pool;
        }
        // Built outside the lock: a long document takes a while to parse, and
        // calls with calendars met before need not wait for it.
        auto built = build_calendar(source);
        if (!built) return std::unexpected(std::move(built.error()));
        auto cal = std::make_unique<calendar::Calendar>(std::move(*built));
        std::string identity = calendar_identity(*cal);
        std::lock_guard lock(mutex_);
        std::shared_ptr<CalendarPool> pool = lookup(source);  // another call's, made meanwhile
        const bool known = pool != nullptr;
        for (auto it = entries_.begin(); !pool && it != entries_.end(); ++it) {
            if (it->pool->identity() == identity) pool = it->pool;
        }
        if (!pool) pool = std::make_shared<CalendarPool>(source, std::move(identity));
        pool->offer(std::move(cal));
        if (!known && source.text.size() <= kMaxKeptText) {
            entries_.insert(entries_.begin(), Entry{std::string(source.text), source.is_document, pool});
            if (entries_.size() > kMaxEntries) entries_.pop_back();
        }
        return pool;
    }

private:
    static constexpr std::size_t kMaxEntries = 8;
    static constexpr std::size_t kMaxKeptText = std::size_t{1} << 20;

    struct Entry {
        std::string text;
        bool is_document;
        std::shared_ptr<CalendarPool> pool;
    };

    // The pool of the entry for `source`, moved to the front; null if none.
    std::shared_ptr<CalendarPool> lookup(const CalendarSource& source) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->is_document == source.is_document && it->text == source.text) {
                std::rotate(entries_.begin(), it, std::next(it));
                return entries_.front().pool;
            }
        }
        return nullptr;
    }

    std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Deliberately never destroyed: at process exit nothing may depend on the
// order in which the zone database and this module are torn down.
CalendarPools& calendar_pools() {
    static auto* pools = new CalendarPools();
    return *pools;
}

// Below this many pairs a call uses the calendars alone: making a table
// would cost more than it saves.
constexpr std::size_t kTableMinPairs = 64;
// Tables up to this many days (some 650 kB) are kept for the next call.
constexpr std::int64_t kKeptTableMaxDays = 40 * 366;

// The UTC days a call's position table spans: all the days of its
// instants if the budget allows, else a window of the budget's width
// around the middle of a sample of them (instants beyond it take the
// calendar's own path). The budget is one day per pair (a day of the table
// costs less to make than one position on the calendar's path), up to the
// most a table spans. False: no table.
bool table_days(const InstantColumn& a, const InstantColumn& b, std::size_t n, int threads, std::int64_t& lo,
                std::int64_t& hi) {
    if (n < kTableMinPairs) return false;
    lo = std::numeric_limits<std::int64_t>::max();
    hi = std::numeric_limits<std::int64_t>::min();
    // Each worker scans its share of both columns.
    const int workers = worker_count(n, kCalendarScanBlock, threads);
    std::vector<std::array<std::int64_t, 2>> ranges(static_cast<std::size_t>(workers),
                                                    {std::numeric_limits<std::int64_t>::max(),
                                                     std::numeric_limits<std::int64_t>::min()});
    parallel_blocks(n, kCalendarScanBlock, threads, [&](std::size_t bgn, std::size_t end, int w) {
        auto& r = ranges[static_cast<std::size_t>(w)];
        instant_day_range(a, bgn, end, r[0], r[1]);
        instant_day_range(b, bgn, end, r[0], r[1]);
    });
    for (const auto& r : ranges) {
        lo = std::min(lo, r[0]);
        hi = std::max(hi, r[1]);
    }
    lo = std::max<std::int64_t>(lo, UtcInstant::kMinDay);
    hi = std::min<std::int64_t>(hi, UtcInstant::kMaxDay);
    if (lo > hi) return false;  // no instant in the supported range
    constexpr std::int64_t kMaxDays = calendar::PositionTable::kMaxDays;
    const std::int64_t budget = n < static_cast<std::size_t>(kMaxDays) ? static_cast<std::int64_t>(n) : kMaxDays;
    if (hi - lo < budget) return true;
    // Too far apart: centre the window on the median day of up to 101
    // instants spread evenly over the call.
    std::vector<std::int64_t> days;
    constexpr std::size_t kSample = 101;
    for (std::size_t k = 0; k < kSample; ++k) {
        const std::size_t i = k * (n - 1) / (kSample - 1);
        UtcInstant t;
        if (to_instant(a, i, t)) days.push_back(t.day);
        if (to_instant(b, i, t)) days.push_back(t.day);
    }
    if (days.empty()) return false;
    auto mid = days.begin() + static_cast<std::ptrdiff_t>(days.size() / 2);
    std::nth_element(days.begin(), mid, days.end());
    const std::int64_t first = std::clamp(*mid - budget / 2, lo, hi - budget + 1);
    lo = first;
    hi = first + budget - 1;
    return true;
}

}  // namespace

bool supported_time_unit(std::int64_t ticks_per_second, std::int64_t seconds_per_tick) noexcept {
    static constexpr std::int64_t kUnits[] = {1, 1'000, 1'000'000, 1'000'000'000, 1'000'000'000'000,
                                              1'000'000'000'000'000, 1'000'000'000'000'000'000};
    bool known = false;
    for (std::int64_t u : kUnits) known = known || u == ticks_per_second;
    return known && seconds_per_tick >= 1 && (seconds_per_tick == 1 || ticks_per_second == 1);
}

Result<void> bus_ttx(const CalendarSource& calendar, const InstantColumn& a, const InstantColumn& b, std::size_t n,
                     double* o, int threads) {
    auto found = calendar_pools().find(calendar);
    if (!found) return std::unexpected(std::move(found.error()));
    const std::shared_ptr<CalendarPool> pool = std::move(*found);
    const int workers = worker_count(n, kCalendarBlock, threads);
    std::vector<std::unique_ptr<calendar::Calendar>> cals(static_cast<std::size_t>(workers));
    struct GiveBack {
        CalendarPool& pool;
        std::vector<std::unique_ptr<calendar::Calendar>>& cals;
        ~GiveBack() { pool.give_back(cals); }
    } give_back{*pool, cals};

    // One table for every worker, made by worker 0's calendar (or the last
    // call's, if it covers these instants).
    std::shared_ptr<const calendar::PositionTable> table;
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    if (table_days(a, b, n, threads, lo, hi)) {
        table = pool->table_covering(lo, hi);
        if (!table) {
            cals[0] = pool->take();
            auto made = cals[0]->position_table(lo, hi);
            if (made) {
                table = std::make_shared<const calendar::PositionTable>(std::move(*made));
                if (hi - lo < kKeptTableMaxDays) pool->keep_table(table);
            }
        }
    }
    static const calendar::PositionTable kNoTable;
    const calendar::PositionTable& t = table ? *table : kNoTable;
    parallel_blocks(n, kCalendarBlock, threads, [&](std::size_t bgn, std::size_t end, int w) {
        // The worker's own calendar, taken from the pool when first needed.
        auto lend = [&pool, &cal = cals[static_cast<std::size_t>(w)]]() -> calendar::Calendar& {
            if (!cal) cal = pool->take();
            return *cal;
        };
        bus_ttx_range(t, lend, a, b, bgn, end, o);
    });
    return {};
}

void cal_ttx(const InstantColumn& a, const InstantColumn& b, std::size_t n, double* o, int threads) {
    parallel_blocks(n, kBlock, threads, [&](std::size_t bgn, std::size_t end, int) { cal_ttx_range(a, b, bgn, end, o); });
}

}  // namespace korvex::chain
