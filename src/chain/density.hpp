// The risk-neutral density of a smile, free of Python: Durrleman's
// condition on total variance, for the fit's density penalty and its check.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "chain/smile_kernels.hpp"
#include "volmodel/vol_model.hpp"

namespace korvex::chain {

// Durrleman's g at log-moneyness k from the total variance w and its first
// two derivatives in k. The density of ln(S_T / F) is g phi(d2) / sqrt(w):
// negative exactly where g is.
double durrleman_g(double k, double w, double w1, double w2) noexcept;

// The same from total variances at k - h, k, k + h (central differences).
double durrleman_g(double k, double w_minus, double w0, double w_plus, double h) noexcept;

// The density of ln(S_T / F) at log-moneyness k from the total variance w
// and its first two derivatives in k: g(k) phi(d2) / sqrt(w), with
// d2 = -k / sqrt(w) - sqrt(w) / 2. NaN where w is not positive.
double density_from_variance(double k, double w, double w1, double w2) noexcept;

// Risk-neutral density of ln(S_T / F) at the n points of a uniform
// log-moneyness grid k: g(k) phi(d2) / sqrt(w) with Durrleman's g of the
// total variance w = vol^2 ttx from central differences on the grid (the
// end points take their neighbours' derivatives), d2 = -k / sqrt(w) -
// sqrt(w) / 2. A smile that is not finite gives NaN or inf, as it falls.
void density_on_grid(EvaluateFn evaluate, const double* params, double ttx, double spot, const double* k,
                     std::size_t n, double* out);

// CubicSpline's total variance w = vol^2 ttx and its first two derivatives
// in log-moneyness k = ln(K / spot), exactly: the model's knot variances
// and Fritsch-Butland slopes (CubicSmile::prepare) on the cubic Hermite
// pieces between its knots, and the straight lines beyond the outer knots.
// The second derivative jumps at every knot, so a value there belongs to a
// piece: the one whose interior holds the log-moneyness `inside`.
class SplineVariance {
public:
    static constexpr std::size_t kKnots = volmodel::CubicSmile::kKnots;
    SplineVariance(const double* params, double ttx, double spot) noexcept;

    struct Value {
        double w, w1, w2;
    };
    Value at(double k, double inside) const noexcept;
    // The knots in log-moneyness, in increasing order; NaN when the
    // spot-adjusted at-the-money vol is zero or not finite (then so is
    // every value).
    const std::array<double, kKnots>& knots() const noexcept { return knots_k_; }
    // The at-the-money deviation that scales the knots: log-moneyness per
    // knot unit, negative (the smile mirrored) where the at-the-money vol is.
    double scale() const noexcept { return sd_; }

private:
    double ttx_, r_, atm_, sd_;
    std::array<double, kKnots> y_, m_, knots_k_;
};

// Where a smile's density is lowest over [k_lo, k_hi], and where it is
// negative, without depending on where a grid happens to fall:
// - CubicSpline: its density in closed form (SplineVariance) on each piece
//   between knots, both one-sided values at every knot;
// - the smooth models: g from central differences on the model's own vols,
//   the samples refined wherever the second differences of the variance
//   between them disagree with its curvature at them (a narrow feature the
//   samples do not resolve), down to 1e-4 at-the-money deviations.
// Samples are 0.1 at-the-money deviations apart (2 % of |k| far out), and
// each sampled local minimum near or below zero, and the peak, are refined
// by golden-section search in its bracket.
struct DensityScan {
    double lowest = 0.0;      // the lowest density (at a knot: the lower one-sided value)
    double lowest_k = 0.0;    // where it is
    double peak = 0.0;        // the highest density
    double peak_k = 0.0;
    bool finite = true;       // false: the density is not finite somewhere (a variance not positive)
    // [lo, hi] log-moneyness intervals where the density is below
    // -negative_floor * peak or not finite, edges found by bisection,
    // flattened (lo0, hi0, lo1, hi1, ...).
    std::vector<double> regions;
    // Where the fit should look: the refined negative minima, then the samples found negative.
    std::vector<double> negative_k;
    std::size_t evaluations = 0;  // density evaluations spent
};

// Rounding in the smooth models' differences stays far below this share of the peak.
inline constexpr double kNegativeFloor = 1e-9;

DensityScan scan_density(const ModelKind& kind, const double* params, double ttx, double spot, double k_lo,
                         double k_hi);

}  // namespace korvex::chain
