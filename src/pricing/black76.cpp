#include "pricing/black76.hpp"

#include <cmath>

namespace korvex::pricing {

namespace {

// Time or volatility that leaves no diffusion. Ordered comparisons on purpose:
// a NaN ttx or vol is not degenerate and flows through the formulas as NaN.
bool degenerate(double ttx, double vol) { return ttx <= 0.0 || vol <= 0.0; }

// max(x, 0) where a NaN difference counts as worthless.
double positive_part(double x) { return x > 0.0 ? x : 0.0; }

struct D1 {
    double s;   // vol * sqrt(ttx)
    double d1;
};

D1 compute_d1(double fwd, double strike, double ttx, double vol) {
    const double s = vol * std::sqrt(ttx);
    const double d1 = (0.5 * vol * vol * ttx + std::log(fwd / strike)) / s;
    return {s, d1};
}

}  // namespace

double norm_cdf(double x) { return 0.5 * std::erfc(-x / 1.4142135623730951); }

// The divisor is deliberately this literal (one ulp above the correctly rounded
// sqrt(2*pi)): every pdf-based value is defined in terms of it.
double norm_pdf(double x) { return std::exp(-0.5 * x * x) / 2.5066282746310007; }

double black76_price(double fwd, double strike, double ttx, double vol, OptionSide side, double df) {
    if (degenerate(ttx, vol)) {
        const double intrinsic = side == OptionSide::Call ? positive_part(fwd - strike)
                                                          : positive_part(strike - fwd);
        return df * intrinsic;
    }
    const auto [s, d1] = compute_d1(fwd, strike, ttx, vol);
    const double d2 = d1 - s;
    if (side == OptionSide::Call) return df * (fwd * norm_cdf(d1) - strike * norm_cdf(d2));
    return df * (strike * norm_cdf(-d2) - fwd * norm_cdf(-d1));
}

Result<double> b76_fairvalue(double fwd, double strike, double ttx, double vol,
                             std::string_view call_put, double df) {
    auto side = parse_option_side(call_put);
    if (!side) return std::unexpected(std::move(side.error()));
    return black76_price(fwd, strike, ttx, vol, *side, df);
}

// Delta is the derivative of the price with respect to the forward:
// df * N(d1) for a call, -df * N(-d1) for a put. At expiry (or zero vol) it
// is the step of the discounted intrinsic value.
Result<double> b76_delta(double fwd, double strike, double ttx, double vol,
                         std::string_view call_put, double df) {
    auto side = parse_option_side(call_put);
    if (!side) return std::unexpected(std::move(side.error()));
    if (degenerate(ttx, vol)) {
        if (*side == OptionSide::Call) return fwd > strike ? df : 0.0;
        return fwd < strike ? -df : 0.0;
    }
    const double d1 = compute_d1(fwd, strike, ttx, vol).d1;
    if (*side == OptionSide::Call) return df * norm_cdf(d1);
    return -(df * norm_cdf(-d1));
}

double b76_vega(double fwd, double strike, double ttx, double vol, double df) {
    if (degenerate(ttx, vol)) return 0.0;
    const double d1 = compute_d1(fwd, strike, ttx, vol).d1;
    return norm_pdf(d1) * (df * fwd) * std::sqrt(ttx);
}

// Second derivative of the price with respect to the forward, the same for
// both sides: n(d1) * df / (F * vol * sqrt(T)).
double b76_gamma(double fwd, double strike, double ttx, double vol, double df) {
    if (degenerate(ttx, vol)) return 0.0;
    const double d1 = compute_d1(fwd, strike, ttx, vol).d1;
    return norm_pdf(d1) * df / (fwd * vol * std::sqrt(ttx));
}

}  // namespace korvex::pricing
