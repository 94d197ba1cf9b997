// Residuals of korvex_chain's smile fit, computed next to the model so that
// one call gives every row of a finite-difference Jacobian: the fitting
// loop in Python then costs one native call per point it visits.
#pragma once

#include <cstddef>
#include <cstdint>

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

namespace korvex::chain {

// The fitting coordinates u of one fit and how they become a model's
// parameter vector: fitting parameter i sits at slot idx[i] of the vector
// (the other slots keep base); it is lower[i] + u_i^2 where bounded[i] (so
// every point is admissible), else u_i. |parameter| beyond upper[i] costs
// wall * (|parameter| - upper[i]), a residual of its own.
struct FitCoordinates {
    const double* base;
    std::size_t n_params;  // length of base
    const std::int64_t* idx;
    const bool* bounded;
    const double* lower;
    const double* upper;
    std::size_t p;  // fitting parameters
    double wall;
};

// The parameter vector at u (n_params values into `params`).
void fit_params_at(const FitCoordinates& c, const double* u, double* params) noexcept;

// The residual walls at u (p values into `out`).
void fit_walls_at(const FitCoordinates& c, const double* u, double* out) noexcept;

}  // namespace korvex::chain

namespace korvex::chain {

// Where the fit keeps the risk-neutral density positive: Durrleman's g of
// the total variance w = vol^2 ttx, from a central stencil k - h, k, k + h
// around each point, enters as weight * max(margin - g, 0).
//   kind 0: no density residuals;
//   kind 1: fixed log-moneyness points `pts`, stencil half-width h;
//   kind 2: points in units of the at-the-money deviation, which moves with
//           the level parameter (slot `level_slot` of the parameter vector,
//           in percent): k = pts * sd and half-width h * sd, where
//           sd = |level| / 100 * sqrt(ttx) (the spline's knots move so).
struct FitDensity {
    int kind = 0;
    const double* pts = nullptr;
    std::size_t count = 0;
    double h = 0.0;
    std::size_t level_slot = 0;
    double margin = 0.0;
    double weight = 0.0;
};

// Durrleman's g at log-moneyness k from total variances at k - h, k, k + h.
double durrleman_g(double k, double w_minus, double w0, double w_plus, double h) noexcept;

}  // namespace korvex::chain
