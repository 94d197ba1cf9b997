#include "chain/kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <type_traits>

#include "pricing/binary.hpp"
#include "pricing/black76.hpp"
#include "pricing/brent_root.hpp"
#include "pricing/implied_vol.hpp"

namespace korvex::chain {

namespace {

using pricing::BrentSearch;
using pricing::OptionSide;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

OptionSide side_of(bool is_call) { return is_call ? OptionSide::Call : OptionSide::Put; }

IVStatus not_bracketed_status(const IVInputs& in, std::size_t i, const BrentSearch& s) {
    const double ttx = in.ttx[i];
    if (std::isnan(ttx) || std::isnan(in.fwd[i]) || std::isnan(in.strike[i]) ||
        std::isnan(in.price[i]) || std::isnan(in.df[i])) {
        return IVStatus::NanInput;
    }
    if (ttx <= 0.0) return IVStatus::NoTimeValue;
    // The price function rises with the vol: already above the target at the
    // lowest vol, or still below it at the highest.
    if (s.f_lower() > 0.0) return IVStatus::BelowMin;
    if (s.f_upper() < 0.0) return IVStatus::AboveMax;
    return IVStatus::NanInput;
}

}  // namespace

// Each element runs the scalar BrentSearch on the scalar Black76Curve, so it
// walks exactly the iterates of calibrate_black76_iv; what the kernel saves
// is everything around them (the call, the side text, the error channel),
// and it computes the start of a block of searches together: the curves'
// vol-independent pieces and the two bracket-end evaluations, in stages
// whose arithmetic runs in vector instructions. Interleaving whole searches
// in lockstep was measured slower here: the search's data-dependent
// branches mispredict more when the searches mix.
void implied_vols(const IVInputs& in, std::size_t begin, std::size_t end, double* vol,
                  std::int8_t* status) noexcept {
    constexpr std::size_t kBlock = 64;
    double fwd[kBlock], strike[kBlock], ttx[kBlock], df[kBlock], price[kBlock];
    double sqrt_ttx[kBlock], ln_fk[kBlock], f_lower[kBlock], f_upper[kBlock];
    bool call[kBlock];
    for (std::size_t base = begin; base < end; base += kBlock) {
        const std::size_t m = end - base < kBlock ? end - base : kBlock;
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = base + j;
            fwd[j] = in.fwd[i];
            strike[j] = in.strike[i];
            ttx[j] = in.ttx[i];
            df[j] = in.df[i];
            price[j] = in.price[i];
            call[j] = in.is_call[i];
        }
        pricing::black76_mispricing_block(fwd, strike, ttx, call, df, price, m, pricing::kImpliedVolLower,
                                          pricing::kImpliedVolUpper, sqrt_ttx, ln_fk, f_lower, f_upper);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = base + j;
            const pricing::Black76Curve curve(fwd[j], strike[j], ttx[j], side_of(call[j]), df[j], sqrt_ttx[j],
                                              ln_fk[j]);
            BrentSearch search(pricing::kImpliedVolLower, pricing::kImpliedVolUpper);
            search.feed(f_lower[j]);  // the search asks for the lower end first,
            BrentSearch::Step step = search.feed(f_upper[j]);  // then the upper one
            while (step == BrentSearch::Step::Evaluate) {
                step = search.feed(curve.price(search.abscissa()) - price[j]);
            }
            if (step == BrentSearch::Step::Root) {
                const double v = search.root();
                vol[i] = v;
                if (status) status[i] = static_cast<std::int8_t>(std::isnan(v) ? IVStatus::NanInput : IVStatus::Ok);
            } else {
                vol[i] = kNaN;
                if (status) status[i] = static_cast<std::int8_t>(not_bracketed_status(in, i, search));
            }
        }
    }
}

void b76(const PricingInputs& in, std::size_t begin, std::size_t end, const B76Outputs& out) noexcept {
    auto at = [begin](const Column<double>& c) { return c.data + begin * c.step; };
    const pricing::B76Inputs block{at(in.fwd),        at(in.strike),
                                   at(in.ttx),        at(in.vol),
                                   at(in.df),         in.is_call.data + begin * in.is_call.step,
                                   in.fwd.step,       in.strike.step,
                                   in.ttx.step,       in.vol.step,
                                   in.df.step,        in.is_call.step};
    pricing::b76_greeks(block, end - begin, out.fairvalue + begin, out.delta + begin, out.gamma + begin,
                        out.vega + begin);
}

void binary(const PricingInputs& in, std::size_t begin, std::size_t end,
            const BinaryOutputs& out) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const pricing::BinaryGreeks g = pricing::binary_greeks(in.fwd[i], in.strike[i], in.ttx[i], in.vol[i],
                                                               side_of(in.is_call[i]), in.df[i]);
        out.fairvalue[i] = g.fairvalue;
        out.delta[i] = g.delta;
        out.gamma[i] = g.gamma;
        out.vega[i] = g.vega;
        out.theta[i] = g.theta;
    }
}

namespace {

// The instant of element i; inline so that it stays in registers.
[[gnu::always_inline]] inline bool to_instant(const InstantColumn& c, std::size_t i, UtcInstant& out) noexcept {
    if (!c.is_ticks) {
        auto t = UtcInstant::from_timestamp(c.seconds[i]);
        if (!t) return false;
        out = *t;
        return true;
    }
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

}  // namespace

bool instant_at(const InstantColumn& c, std::size_t i, UtcInstant& out) noexcept { return to_instant(c, i, out); }

namespace {

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
// instant, else the lent calendar's (through a cache per column).
class Positions {
public:
    Positions(const calendar::PositionTable& table, CalendarLender lend, void* context)
        : table_(table), lend_(lend), context_(context) {}

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
        if (!cal_) cal_ = &lend_(context_);
        return cache.position(*cal_, t, out);
    }

    const calendar::PositionTable& table_;
    CalendarLender lend_;
    void* context_;
    calendar::Calendar* cal_ = nullptr;
    PositionCache from_cache_;
    PositionCache to_cache_;
};

bool is_single(const InstantColumn& c) { return (c.is_ticks ? c.ticks.step : c.seconds.step) == 0; }

}  // namespace

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

// Positions of the instants of each pair, then their difference as in
// Calendar::get_bus_ttx.
void bus_ttx(const calendar::PositionTable& table, CalendarLender lend, void* lend_context,
             const InstantColumn& from, const InstantColumn& to, std::size_t begin, std::size_t end,
             double* out) {
    if (begin >= end) return;
    Positions positions(table, lend, lend_context);
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

void cal_ttx(const InstantColumn& from, const InstantColumn& to, std::size_t begin, std::size_t end,
             double* out) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        UtcInstant a;
        UtcInstant b;
        out[i] = to_instant(from, i, a) && to_instant(to, i, b) ? calendar::Calendar::get_cal_ttx(a, b) : kNaN;
    }
}

}  // namespace korvex::chain
