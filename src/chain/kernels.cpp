#include "chain/kernels.hpp"

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
// is everything around them (the call, the side text, the error channel).
// Interleaving several searches in lockstep was measured slower here: the
// search's data-dependent branches mispredict more when the searches mix.
void implied_vols(const IVInputs& in, std::size_t begin, std::size_t end, double* vol,
                  std::int8_t* status) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const pricing::Black76Curve curve(in.fwd[i], in.strike[i], in.ttx[i], side_of(in.is_call[i]), in.df[i]);
        const double price = in.price[i];
        BrentSearch search(pricing::kImpliedVolLower, pricing::kImpliedVolUpper);
        BrentSearch::Step step;
        do {
            step = search.feed(curve.price(search.abscissa()) - price);
        } while (step == BrentSearch::Step::Evaluate);
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

void b76(const PricingInputs& in, std::size_t begin, std::size_t end, const B76Outputs& out) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const pricing::B76Greeks g =
            pricing::b76_greeks(in.fwd[i], in.strike[i], in.ttx[i], in.vol[i], side_of(in.is_call[i]), in.df[i]);
        out.fairvalue[i] = g.fairvalue;
        out.delta[i] = g.delta;
        out.gamma[i] = g.gamma;
        out.vega[i] = g.vega;
    }
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

// Calendar positions of recently met instants of one column. A chain's
// intervals mostly share their start (now) and a few dozen expiries, so most
// instants repeat and skip the calendar; a position depends on the instant
// alone, so reusing one changes nothing. Direct-mapped, a few kilobytes.
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

}  // namespace

// As Calendar::get_bus_ttx, from the two year positions (NaN where either
// is an error); each position may come from the cache.
void bus_ttx(calendar::Calendar& cal, const InstantColumn& from, const InstantColumn& to,
             std::size_t begin, std::size_t end, double* out) {
    PositionCache from_positions;
    PositionCache to_positions;
    for (std::size_t i = begin; i < end; ++i) {
        UtcInstant a;
        UtcInstant b;
        double start;
        double stop;
        out[i] = to_instant(from, i, a) && to_instant(to, i, b) && to_positions.position(cal, b, stop) &&
                         from_positions.position(cal, a, start)
                     ? calendar::Calendar::bus_ttx_between(start, stop)
                     : kNaN;
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
