#pragma once

#include <string_view>

#include "core/error.hpp"
#include "pricing/option_side.hpp"

namespace korvex::pricing {

// Time or volatility that leaves no diffusion. Ordered comparisons on purpose:
// a NaN ttx or vol is not degenerate and flows through the formulas as NaN.
inline bool is_degenerate(double ttx, double vol) { return ttx <= 0.0 || vol <= 0.0; }

double norm_cdf(double x);
double norm_pdf(double x);

// Black-76 price; never fails. Degenerate (ttx <= 0 or vol <= 0) gives df x intrinsic.
double black76_price(double fwd, double strike, double ttx, double vol, OptionSide side, double df);

// The Black-76 price of one option as a function of its volatility. The
// pieces that do not depend on the volatility (sqrt(ttx), ln(F/K)) are
// computed once, so a root search pays only for the two erfc per price; the
// values are bit for bit those of black76_price.
class Black76Curve {
public:
    Black76Curve(double fwd, double strike, double ttx, OptionSide side, double df);
    double price(double vol) const;

private:
    double fwd_, strike_, ttx_, df_;
    OptionSide side_;
    double sqrt_ttx_, ln_fk_;
};

// The Python-facing functions: the side text is parsed before any arithmetic.
Result<double> b76_fairvalue(double fwd, double strike, double ttx, double vol,
                             std::string_view call_put, double df);
Result<double> b76_delta(double fwd, double strike, double ttx, double vol,
                         std::string_view call_put, double df);
double b76_vega(double fwd, double strike, double ttx, double vol, double df);
double b76_gamma(double fwd, double strike, double ttx, double vol, double df);

}  // namespace korvex::pricing
