// Residuals of korvex_chain's smile fit, computed next to the model so that
// one call gives every row of a finite-difference Jacobian: the fitting
// loop in Python then costs one native call per point it visits.
#pragma once

#include <cstddef>

namespace korvex::chain {

// The quotes of one expiry as the fit sees them (arrays of length n): the
// band [lo, hi] of each quote's IVs (-inf / +inf for a missing side), the
// mid it is pulled towards, 1 / (spread * robust scale), and the weight of
// the pull (0 for a one-sided quote).
struct FitQuotes {
    const double* lo;
    const double* hi;
    const double* mid;
    const double* inv_scale;
    const double* pull_w;
    std::size_t n;
    double robust;  // scale of the soft-L1 loss, in spreads
    double fill;    // residual of a quote whose vol is not finite
};

// Signed square root of the soft-L1 loss 2 (sqrt(1 + r^2) - 1), written as
// r sqrt(2 / (sqrt(1 + r^2) + 1)) to avoid cancellation for small r.
double soft_l1(double r) noexcept;

// From the vols of one parameter row at the n quotes, the 2n residuals:
// out[j] = robust * soft_l1(distance outside the band * inv_scale), and
// out[n + j] = pull_w * soft_l1((vol - mid) * inv_scale).
void fit_residual_row(const double* vols, const FitQuotes& q, double* out) noexcept;

}  // namespace korvex::chain
