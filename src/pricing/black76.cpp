#include "pricing/black76.hpp"

#include <cmath>

namespace korvex::pricing {

namespace {

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

Black76Curve::Black76Curve(double fwd, double strike, double ttx, OptionSide side, double df)
    : fwd_(fwd), strike_(strike), ttx_(ttx), df_(df), side_(side),
      sqrt_ttx_(std::sqrt(ttx)), ln_fk_(std::log(fwd / strike)) {}

double Black76Curve::price(double vol) const {
    if (is_degenerate(ttx_, vol)) {
        const double intrinsic = side_ == OptionSide::Call ? positive_part(fwd_ - strike_)
                                                           : positive_part(strike_ - fwd_);
        return df_ * intrinsic;
    }
    const double s = vol * sqrt_ttx_;
    const double d1 = (0.5 * vol * vol * ttx_ + ln_fk_) / s;
    const double d2 = d1 - s;
    if (side_ == OptionSide::Call) return df_ * (fwd_ * norm_cdf(d1) - strike_ * norm_cdf(d2));
    return df_ * (strike_ * norm_cdf(-d2) - fwd_ * norm_cdf(-d1));
}

double black76_price(double fwd, double strike, double ttx, double vol, OptionSide side, double df) {
    return Black76Curve(fwd, strike, ttx, side, df).price(vol);
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
    if (is_degenerate(ttx, vol)) {
        if (*side == OptionSide::Call) return fwd > strike ? df : 0.0;
        return fwd < strike ? -df : 0.0;
    }
    const double d1 = compute_d1(fwd, strike, ttx, vol).d1;
    if (*side == OptionSide::Call) return df * norm_cdf(d1);
    return -(df * norm_cdf(-d1));
}

double b76_vega(double fwd, double strike, double ttx, double vol, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const double d1 = compute_d1(fwd, strike, ttx, vol).d1;
    return norm_pdf(d1) * (df * fwd) * std::sqrt(ttx);
}

// Second derivative of the price with respect to the forward, the same for
// both sides: n(d1) * df / (F * vol * sqrt(T)).
double b76_gamma(double fwd, double strike, double ttx, double vol, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const double d1 = compute_d1(fwd, strike, ttx, vol).d1;
    return norm_pdf(d1) * df / (fwd * vol * std::sqrt(ttx));
}

}  // namespace korvex::pricing
