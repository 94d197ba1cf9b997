#include "pricing/black76.hpp"

#include <cmath>

namespace korvex::pricing {

Result<double> b76_fairvalue(double fwd, double strike, double ttx, double vol,
                             std::string_view call_put, double df) {
    auto side = parse_option_side(call_put);
    if (!side) return std::unexpected(std::move(side.error()));
    return black76_price(fwd, strike, ttx, vol, *side, df);
}

// Delta is the derivative of the price with respect to the forward:
// df * N(d1) for a call, -df * N(-d1) for a put.
double sided::b76_delta(double fwd, double strike, double ttx, double vol, OptionSide side, double df) {
    if (is_degenerate(ttx, vol)) return b76::degenerate_delta(fwd, strike, side, df);
    double s;
    const double d1 = b76::d1(vol, ttx, std::sqrt(ttx), std::log(fwd / strike), s);
    return b76::delta(side, df, side == OptionSide::Call ? norm_cdf(d1) : norm_cdf(-d1));
}

Result<double> b76_delta(double fwd, double strike, double ttx, double vol,
                         std::string_view call_put, double df) {
    auto side = parse_option_side(call_put);
    if (!side) return std::unexpected(std::move(side.error()));
    return sided::b76_delta(fwd, strike, ttx, vol, *side, df);
}

double b76_vega(double fwd, double strike, double ttx, double vol, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const double sqrt_ttx = std::sqrt(ttx);
    double s;
    const double d1 = b76::d1(vol, ttx, sqrt_ttx, std::log(fwd / strike), s);
    return b76::vega(norm_pdf(d1), fwd, sqrt_ttx, df);
}

// Second derivative of the price with respect to the forward, the same for
// both sides: n(d1) * df / (F * vol * sqrt(T)).
double b76_gamma(double fwd, double strike, double ttx, double vol, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const double sqrt_ttx = std::sqrt(ttx);
    double s;
    const double d1 = b76::d1(vol, ttx, sqrt_ttx, std::log(fwd / strike), s);
    return b76::gamma(norm_pdf(d1), fwd, vol, sqrt_ttx, df);
}

B76Greeks b76_greeks(double fwd, double strike, double ttx, double vol, OptionSide side, double df) {
    if (is_degenerate(ttx, vol)) {
        return {b76::intrinsic(fwd, strike, side, df), b76::degenerate_delta(fwd, strike, side, df),
                0.0, 0.0};
    }
    const double sqrt_ttx = std::sqrt(ttx);
    double s;
    const double d1 = b76::d1(vol, ttx, sqrt_ttx, std::log(fwd / strike), s);
    const double d2 = d1 - s;
    const bool call = side == OptionSide::Call;
    const double n1 = call ? norm_cdf(d1) : norm_cdf(-d1);
    const double n2 = call ? norm_cdf(d2) : norm_cdf(-d2);
    const double pdf = norm_pdf(d1);
    return {b76::value(fwd, strike, side, df, n1, n2), b76::delta(side, df, n1),
            b76::gamma(pdf, fwd, vol, sqrt_ttx, df), b76::vega(pdf, fwd, sqrt_ttx, df)};
}

}  // namespace korvex::pricing
