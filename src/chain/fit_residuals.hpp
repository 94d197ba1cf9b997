// korvex_chain's smile fit next to the model, free of Python: the residuals
// of one expiry's fit, their finite-difference Jacobian and its solve by the
// Levenberg-Marquardt solver, so that a whole solve is one native call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "chain/levenberg_marquardt.hpp"
#include "chain/smile_kernels.hpp"

namespace korvex::chain {

struct FitProblem;

// One fit's problem with copies of its arrays, kept between the solver's
// calls: the quotes, coordinates, density points and regulariser rows are
// copied once, and each evaluation or solve then passes only coordinates.
// The arrays' lengths are the caller's to check: idx, bounded, lower and
// upper hold p values, idx slots of the model's parameter vector; base
// holds the vector; strikes, lo, hi, mid, inv_scale and pull_w n values.
class StoredFitProblem {
public:
    struct Arrays {
        std::span<const double> base;
        std::span<const std::int64_t> idx;
        std::span<const bool> bounded;
        std::span<const double> lower, upper;
        std::span<const double> strikes, lo, hi, mid, inv_scale, pull_w;
    };
    StoredFitProblem(const ModelKind& kind, const Arrays& a, double wall, double ttx, double spot, double robust,
                     double fill);

    // The density residuals weight * max(margin - g, 0), g Durrleman's of
    // the total variance: kind 0 none; kind 1 at log-moneyness points `pts`
    // through central stencils of half-width h; kind 2 the CubicSpline's in
    // closed form, `pts` and `inside` (as many values) in units of its
    // knots' at-the-money deviation (see FitDensity in the .cpp).
    void set_density(int kind, std::span<const double> pts, double h, std::span<const double> inside,
                     double margin, double weight);
    // Rows reg[i] . theta - c[i] on the fitting parameters (reg: c.size() x p).
    void set_regulariser(std::span<const double> reg, std::span<const double> c);

    std::size_t rows() const noexcept;
    std::size_t params() const noexcept { return p_; }

    // The residual (rows() values each) and the cost sum(r^2) of each of m
    // rows of fitting parameters (not coordinates); either output may be null.
    void residuals_at(const double* theta, std::size_t m, double* r, double* cost) const;
    // The residual at coordinates u (with direct: at the parameters
    // themselves) and its forward-difference Jacobian (rows() x p).
    void residuals_jacobian(const double* u, bool direct, double* r, double* jac) const;
    // Levenberg-Marquardt from coordinates u (overwritten with the end
    // point); only the coordinates with free[i] move (all when free is null).
    SolveResult solve(double* u, const bool* free, const SolveOptions& options) const;

private:
    // The problem over these copies, as the evaluator reads it.
    FitProblem view() const noexcept;
    EvaluateFn evaluate_;
    std::size_t n_params_;
    std::size_t p_;
    std::vector<double> base_, lower_, upper_, strikes_, lo_, hi_, mid_, inv_scale_, pull_w_;
    std::vector<std::int64_t> idx_;
    std::unique_ptr<bool[]> bounded_;
    double wall_, ttx_, spot_, robust_, fill_;
    int density_kind_ = 0;
    std::vector<double> density_pts_, density_inside_, density_stencil_;
    double density_h_ = 0.0;
    double margin_ = 0.0, weight_ = 0.0;
    std::vector<double> reg_, reg_c_;
};

}  // namespace korvex::chain
