// The risk-neutral density of a smile, free of Python: Durrleman's
// condition on total variance, for the fit's density penalty and its check.
#pragma once

#include <cstddef>

#include "chain/smile_kernels.hpp"

namespace korvex::chain {

// Durrleman's g at log-moneyness k from total variances at k - h, k, k + h.
// The density of ln(S_T / F) is g phi(d2) / sqrt(w): negative exactly where g is.
double durrleman_g(double k, double w_minus, double w0, double w_plus, double h) noexcept;

// Risk-neutral density of ln(S_T / F) at the n points of a uniform
// log-moneyness grid k: g(k) phi(d2) / sqrt(w) with Durrleman's g of the
// total variance w = vol^2 ttx from central differences on the grid (the
// end points take their neighbours' derivatives), d2 = -k / sqrt(w) -
// sqrt(w) / 2. A smile that is not finite gives NaN or inf, as it falls.
void density_on_grid(EvaluateFn evaluate, const double* params, double ttx, double spot, const double* k,
                     std::size_t n, double* out);

}  // namespace korvex::chain
