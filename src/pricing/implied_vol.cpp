#include "pricing/implied_vol.hpp"

#include <limits>

#include "pricing/black76.hpp"
#include "pricing/brent_root.hpp"

namespace korvex::pricing {

Result<double> calibrate_black76_iv(double ttx, double fwd, double strike, double price,
                                    std::string_view call_put, double df) {
    auto side = parse_option_side(call_put);
    if (!side) return std::unexpected(std::move(side.error()));
    const Black76Curve curve(fwd, strike, ttx, *side, df);
    auto mispricing = [&](double vol) { return curve.price(vol) - price; };
    // No bracket (the price is unattainable in the range, or an input is NaN)
    // is reported as NaN rather than as an error.
    return brent_root(mispricing, kImpliedVolLower, kImpliedVolUpper)
        .value_or(std::numeric_limits<double>::quiet_NaN());
}

}  // namespace korvex::pricing
