#include "chain/kernels.hpp"

#include <cmath>
#include <limits>

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

// Several independent implied-vol searches advanced in turn, one price
// evaluation each per round. A single search is a long chain of dependent
// steps (each abscissa depends on the last price); interleaving searches of
// different options gives the processor independent erfc and log work to
// overlap. Each search is the scalar BrentSearch on the scalar Black76Curve,
// so every element walks exactly the iterates of calibrate_black76_iv.
constexpr int kLanes = 4;

struct Lane {
    BrentSearch search;
    pricing::Black76Curve curve;
    double price;
    std::size_t index;
};

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

void implied_vols(const IVInputs& in, std::size_t begin, std::size_t end, double* vol,
                  std::int8_t* status) noexcept {
    Lane lanes[kLanes];
    int active = 0;
    std::size_t next = begin;

    auto start = [&](Lane& lane, std::size_t i) {
        lane.curve = pricing::Black76Curve(in.fwd[i], in.strike[i], in.ttx[i], side_of(in.is_call[i]),
                                           in.df[i]);
        lane.price = in.price[i];
        lane.index = i;
        lane.search = BrentSearch(pricing::kImpliedVolLower, pricing::kImpliedVolUpper);
    };
    while (active < kLanes && next < end) start(lanes[active++], next++);

    while (active > 0) {
        for (int k = 0; k < active;) {
            Lane& lane = lanes[k];
            const double f = lane.curve.price(lane.search.abscissa()) - lane.price;
            const BrentSearch::Step step = lane.search.feed(f);
            if (step == BrentSearch::Step::Evaluate) {
                ++k;
                continue;
            }
            const std::size_t i = lane.index;
            if (step == BrentSearch::Step::Root) {
                const double v = lane.search.root();
                vol[i] = v;
                if (status) status[i] = static_cast<std::int8_t>(std::isnan(v) ? IVStatus::NanInput : IVStatus::Ok);
            } else {
                vol[i] = kNaN;
                if (status) status[i] = static_cast<std::int8_t>(not_bracketed_status(in, i, lane.search));
            }
            // The finished lane takes the next element, or the last active
            // lane's search moves into its slot.
            if (next < end) {
                start(lane, next++);
                ++k;
            } else {
                lane = lanes[--active];
            }
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

bool instant_at(const InstantColumn& c, std::size_t i, UtcInstant& out) noexcept {
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
    if (c.seconds_per_tick > 1) {
        if (__builtin_mul_overflow(v, c.seconds_per_tick, &secs)) return false;
    } else {
        const std::int64_t tps = c.ticks_per_second;
        secs = floor_div(v, tps);
        const std::int64_t rem = v - secs * tps;  // 0 <= rem < tps
        // Sub-nanosecond units keep whole nanoseconds, rounded down like the seconds.
        nanos = tps <= 1'000'000'000 ? rem * (1'000'000'000 / tps) : rem / (tps / 1'000'000'000);
    }
    auto t = UtcInstant::from_parts(secs, static_cast<std::uint32_t>(nanos));
    if (!t) return false;
    out = *t;
    return true;
}

void bus_ttx(calendar::Calendar& cal, const InstantColumn& from, const InstantColumn& to,
             std::size_t begin, std::size_t end, double* out) {
    for (std::size_t i = begin; i < end; ++i) {
        UtcInstant a;
        UtcInstant b;
        if (!instant_at(from, i, a) || !instant_at(to, i, b)) {
            out[i] = kNaN;
            continue;
        }
        auto r = cal.get_bus_ttx(a, b);
        out[i] = r ? *r : kNaN;
    }
}

void cal_ttx(const InstantColumn& from, const InstantColumn& to, std::size_t begin, std::size_t end,
             double* out) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        UtcInstant a;
        UtcInstant b;
        out[i] = instant_at(from, i, a) && instant_at(to, i, b) ? calendar::Calendar::get_cal_ttx(a, b) : kNaN;
    }
}

}  // namespace korvex::chain
