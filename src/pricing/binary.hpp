#pragma once

#include <string_view>

#include "core/error.hpp"
#include "pricing/option_side.hpp"

namespace korvex::pricing {

// x = ln(F / K) / s with s = vol x sqrt(ttx).
double binary_moneyness(double fwd, double strike, double s);

Result<double> binary_fairvalue(double fwd, double strike, double ttx, double vol,
                                std::string_view call_put, double df);
Result<double> binary_vega(double fwd, double strike, double ttx, double vol,
                           std::string_view call_put, double df);
Result<double> binary_delta(double fwd, double strike, double ttx, double vol,
                            std::string_view call_put, double df);
Result<double> binary_gamma(double fwd, double strike, double ttx, double vol,
                            std::string_view call_put, double df);
Result<double> binary_theta(double fwd, double strike, double ttx, double vol,
                            std::string_view call_put, double df);

// All five in one pass (one ln, one sqrt, one erfc, one exp); each field is
// bit for bit the value of the matching single function.
struct BinaryGreeks {
    double fairvalue, delta, gamma, vega, theta;
};
BinaryGreeks binary_greeks(double fwd, double strike, double ttx, double vol, OptionSide side,
                           double df);

}  // namespace korvex::pricing
