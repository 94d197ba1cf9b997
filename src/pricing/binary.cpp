#include "pricing/binary.hpp"

#include <cmath>

#include "pricing/black76.hpp"
#include "pricing/option_side.hpp"

namespace korvex::pricing {

namespace {

// The shape every binary greek shares: the side is parsed first, degenerate
// inputs give 0.0 for both sides, otherwise the call's value of `formula`,
// negated for a put (call + put = df, so their derivatives cancel).
template <class Formula>
Result<double> binary_greek(std::string_view call_put, double ttx, double vol, Formula formula) {
    auto side = parse_option_side(call_put);
    if (!side) return std::unexpected(std::move(side.error()));
    if (is_degenerate(ttx, vol)) return 0.0;
    const double call_value = formula();
    return *side == OptionSide::Call ? call_value : -call_value;
}

}  // namespace

double binary_moneyness(double fwd, double strike, double s) { return std::log(fwd / strike) / s; }

// Cash-or-nothing: pays df when the forward finishes beyond the strike. The
// moneyness x carries no drift term, so the value is df * N(x), not df * N(d2).
Result<double> binary_fairvalue(double fwd, double strike, double ttx, double vol,
                                std::string_view call_put, double df) {
    auto side = parse_option_side(call_put);
    if (!side) return std::unexpected(std::move(side.error()));
    if (is_degenerate(ttx, vol)) {
        if (*side == OptionSide::Call) return fwd > strike ? df : 0.0;
        return strike > fwd ? df : 0.0;
    }
    const double x = binary_moneyness(fwd, strike, vol * std::sqrt(ttx));
    return *side == OptionSide::Call ? df * norm_cdf(x) : df * norm_cdf(-x);
}

// The greeks below are exact derivatives of df * N(x); the put's are the
// negated call's since call + put = df. The grouping of each product is fixed
// so that results are reproducible bit for bit.

Result<double> binary_delta(double fwd, double strike, double ttx, double vol,
                            std::string_view call_put, double df) {
    return binary_greek(call_put, ttx, vol, [&] {
        const double x = binary_moneyness(fwd, strike, vol * std::sqrt(ttx));
        return norm_pdf(x) * df / (fwd * vol * std::sqrt(ttx));
    });
}

Result<double> binary_gamma(double fwd, double strike, double ttx, double vol,
                            std::string_view call_put, double df) {
    return binary_greek(call_put, ttx, vol, [&] {
        const double s = vol * std::sqrt(ttx);
        const double x = binary_moneyness(fwd, strike, s);
        const double r = 1.0 / fwd;
        const double q = 1.0 / s;
        const double g = (-df) * norm_pdf(x) * r * r;
        return (g * q) * (1.0 + x * q);
    });
}

Result<double> binary_vega(double fwd, double strike, double ttx, double vol,
                           std::string_view call_put, double df) {
    return binary_greek(call_put, ttx, vol, [&] {
        const double x = binary_moneyness(fwd, strike, vol * std::sqrt(ttx));
        // -n(x) written with the pdf divisor negated, as one division.
        return std::exp(-0.5 * x * x) / -2.5066282746310007 * df * x / vol;
    });
}

// Decay of value as the time to expiry shrinks (df held fixed).
Result<double> binary_theta(double fwd, double strike, double ttx, double vol,
                            std::string_view call_put, double df) {
    return binary_greek(call_put, ttx, vol, [&] {
        const double x = binary_moneyness(fwd, strike, vol * std::sqrt(ttx));
        return norm_pdf(x) * (df * 0.5) * x / ttx;
    });
}

}  // namespace korvex::pricing
