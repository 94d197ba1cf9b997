#pragma once

#include <string_view>

#include "core/error.hpp"

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

}  // namespace korvex::pricing
