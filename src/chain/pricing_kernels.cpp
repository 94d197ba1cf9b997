#include "chain/pricing_kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "chain/parallel.hpp"
#include "pricing/binary.hpp"
#include "pricing/black76.hpp"
#include "pricing/brent_root.hpp"
#include "pricing/implied_vol.hpp"

namespace korvex::chain {

namespace {

using pricing::BrentSearch;
using pricing::OptionSide;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Elements per thread's block (some 0.5 us each): a chain's four price
// columns (some 8,000 values) make enough blocks that neither thread waits
// long on the other's last one.
constexpr std::size_t kIVBlock = 256;

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

// Each element runs the scalar BrentSearch on the scalar Black76Curve, so it
// walks exactly the iterates of calibrate_black76_iv; what the kernel saves
// is everything around them (the call, the side text, the error channel),
// and it computes the start of a block of searches together: the curves'
// vol-independent pieces and the two bracket-end evaluations, in stages
// whose arithmetic runs in vector instructions. Interleaving whole searches
// in lockstep was measured slower here: the search's data-dependent
// branches mispredict more when the searches mix.
void implied_vols_range(const IVInputs& in, std::size_t begin, std::size_t end, double* vol,
                        std::int8_t* status) noexcept {
    constexpr std::size_t kBatch = 64;
    double fwd[kBatch], strike[kBatch], ttx[kBatch], df[kBatch], price[kBatch];
    double sqrt_ttx[kBatch], ln_fk[kBatch], f_lower[kBatch], f_upper[kBatch];
    bool call[kBatch];
    for (std::size_t base = begin; base < end; base += kBatch) {
        const std::size_t m = end - base < kBatch ? end - base : kBatch;
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

void b76_range(const PricingInputs& in, std::size_t begin, std::size_t end, const B76Outputs& out) noexcept {
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

void binary_range(const PricingInputs& in, std::size_t begin, std::size_t end,
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

}  // namespace

void implied_vols(const IVInputs& in, std::size_t n, double* vol, std::int8_t* status, int threads) {
    parallel_blocks(n, kIVBlock, threads, [&](std::size_t b, std::size_t e, int) {
        implied_vols_range(in, b, e, vol, status);
    });
}

void b76(const PricingInputs& in, std::size_t n, const B76Outputs& out, int threads) {
    parallel_blocks(n, kBlock, threads, [&](std::size_t b, std::size_t e, int) { b76_range(in, b, e, out); });
}

void binary(const PricingInputs& in, std::size_t n, const BinaryOutputs& out, int threads) {
    parallel_blocks(n, kBlock, threads, [&](std::size_t b, std::size_t e, int) { binary_range(in, b, e, out); });
}

}  // namespace korvex::chain
