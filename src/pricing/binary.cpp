#include "pricing/binary.hpp"

#include <cmath>

#include "pricing/black76.hpp"
#include "pricing/option_side.hpp"

namespace korvex::pricing {

namespace {

// The greeks are exact derivatives of df * N(x); the put's are the negated
// call's since call + put = df, and degenerate inputs give 0.0 for both sides. The grouping of each product is fixed
// so that results are reproducible bit for bit. Each takes the pieces it
// shares with the others (x, s, the Gaussian factor) so that the single
// functions and binary_greeks evaluate the very same expressions.

double signed_for(OptionSide side, double call_value) {
    return side == OptionSide::Call ? call_value : -call_value;
}

double degenerate_fairvalue(double fwd, double strike, OptionSide side, double df) {
    if (side == OptionSide::Call) return fwd > strike ? df : 0.0;
    return strike > fwd ? df : 0.0;
}

double fairvalue_of(double x, OptionSide side, double df) {
    return side == OptionSide::Call ? df * norm_cdf(x) : df * norm_cdf(-x);
}

double delta_of(double pdf_x, double fwd, double vol, double sqrt_ttx, double df) {
    return pdf_x * df / (fwd * vol * sqrt_ttx);
}

double gamma_of(double pdf_x, double x, double s, double fwd, double df) {
    const double r = 1.0 / fwd;
    const double q = 1.0 / s;
    const double g = (-df) * pdf_x * r * r;
    return (g * q) * (1.0 + x * q);
}

// -n(x) written with the pdf divisor negated, as one division of the
// Gaussian factor exp(-x^2 / 2).
double vega_of(double gauss_x, double x, double vol, double df) {
    return gauss_x / -2.5066282746310007 * df * x / vol;
}

// Decay of value as the time to expiry shrinks (df held fixed).
double theta_of(double pdf_x, double x, double ttx, double df) {
    return pdf_x * (df * 0.5) * x / ttx;
}

// The text entry points parse the side before any arithmetic, so an unknown
// side raises even for degenerate inputs.
template <class Formula>
Result<double> parsed_greek(std::string_view call_put, Formula formula) {
    auto side = parse_option_side(call_put);
    if (!side) return std::unexpected(std::move(side.error()));
    return formula(*side);
}

struct Moneyness {
    double sqrt_ttx, s, x;
};
Moneyness moneyness(double fwd, double strike, double ttx, double vol) {
    const double sqrt_ttx = std::sqrt(ttx);
    const double s = vol * sqrt_ttx;
    return {sqrt_ttx, s, binary_moneyness(fwd, strike, s)};
}

}  // namespace

double binary_moneyness(double fwd, double strike, double s) { return std::log(fwd / strike) / s; }

namespace {

// Each function with the side already parsed.
namespace sided {

// Cash-or-nothing: pays df when the forward finishes beyond the strike. The
// moneyness x carries no drift term, so the value is df * N(x), not df * N(d2).
double binary_fairvalue(double fwd, double strike, double ttx, double vol, OptionSide side, double df) {
    if (is_degenerate(ttx, vol)) return degenerate_fairvalue(fwd, strike, side, df);
    return fairvalue_of(moneyness(fwd, strike, ttx, vol).x, side, df);
}

double binary_delta(double fwd, double strike, double ttx, double vol, OptionSide side, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const Moneyness m = moneyness(fwd, strike, ttx, vol);
    return signed_for(side, delta_of(norm_pdf(m.x), fwd, vol, m.sqrt_ttx, df));
}

double binary_gamma(double fwd, double strike, double ttx, double vol, OptionSide side, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const Moneyness m = moneyness(fwd, strike, ttx, vol);
    return signed_for(side, gamma_of(norm_pdf(m.x), m.x, m.s, fwd, df));
}

double binary_vega(double fwd, double strike, double ttx, double vol, OptionSide side, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const Moneyness m = moneyness(fwd, strike, ttx, vol);
    return signed_for(side, vega_of(std::exp(norm_pdf_exp_arg(m.x)), m.x, vol, df));
}

double binary_theta(double fwd, double strike, double ttx, double vol, OptionSide side, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const Moneyness m = moneyness(fwd, strike, ttx, vol);
    return signed_for(side, theta_of(norm_pdf(m.x), m.x, ttx, df));
}

}  // namespace sided

}  // namespace

BinaryGreeks binary_greeks(double fwd, double strike, double ttx, double vol, OptionSide side,
                           double df) {
    if (is_degenerate(ttx, vol)) return {degenerate_fairvalue(fwd, strike, side, df), 0.0, 0.0, 0.0, 0.0};
    const Moneyness m = moneyness(fwd, strike, ttx, vol);
    // norm_pdf(x) is this factor over the pdf divisor; binary vega divides
    // the same factor by the negated divisor.
    const double gauss = std::exp(norm_pdf_exp_arg(m.x));
    const double pdf = norm_pdf_from_exp(gauss);
    return {fairvalue_of(m.x, side, df),
            signed_for(side, delta_of(pdf, fwd, vol, m.sqrt_ttx, df)),
            signed_for(side, gamma_of(pdf, m.x, m.s, fwd, df)),
            signed_for(side, vega_of(gauss, m.x, vol, df)),
            signed_for(side, theta_of(pdf, m.x, ttx, df))};
}

Result<double> binary_fairvalue(double fwd, double strike, double ttx, double vol,
                                std::string_view call_put, double df) {
    return parsed_greek(call_put, [&](OptionSide s) { return sided::binary_fairvalue(fwd, strike, ttx, vol, s, df); });
}
Result<double> binary_delta(double fwd, double strike, double ttx, double vol,
                            std::string_view call_put, double df) {
    return parsed_greek(call_put, [&](OptionSide s) { return sided::binary_delta(fwd, strike, ttx, vol, s, df); });
}
Result<double> binary_gamma(double fwd, double strike, double ttx, double vol,
                            std::string_view call_put, double df) {
    return parsed_greek(call_put, [&](OptionSide s) { return sided::binary_gamma(fwd, strike, ttx, vol, s, df); });
}
Result<double> binary_vega(double fwd, double strike, double ttx, double vol,
                           std::string_view call_put, double df) {
    return parsed_greek(call_put, [&](OptionSide s) { return sided::binary_vega(fwd, strike, ttx, vol, s, df); });
}
Result<double> binary_theta(double fwd, double strike, double ttx, double vol,
                            std::string_view call_put, double df) {
    return parsed_greek(call_put, [&](OptionSide s) { return sided::binary_theta(fwd, strike, ttx, vol, s, df); });
}

}  // namespace korvex::pricing
