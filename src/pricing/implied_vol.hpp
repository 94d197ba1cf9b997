#pragma once

#include <string_view>

#include "core/error.hpp"

namespace korvex::pricing {

// The volatility range searched; anything outside it is not reported.
inline constexpr double kImpliedVolLower = 0.01;
inline constexpr double kImpliedVolUpper = 10.0;

// Implied Black-76 volatility in [0.01, 10.0], or NaN when no volatility there
// reproduces the price (or the price function is NaN at a bracket end).
Result<double> calibrate_black76_iv(double ttx, double fwd, double strike, double price,
                                    std::string_view call_put, double df);

}  // namespace korvex::pricing
