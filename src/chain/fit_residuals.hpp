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
    // The solver's own mapping: every fitting parameter is its coordinate
    // (no square), the bounds being kept by projecting each step instead.
    bool direct = false;
};

// The parameter vector at u (n_params values into `params`).
void fit_params_at(const FitCoordinates& c, const double* u, double* params) noexcept;

// The residual walls at u (p values into `out`).
void fit_walls_at(const FitCoordinates& c, const double* u, double* out) noexcept;

// Where the fit keeps the risk-neutral density positive: Durrleman's g of
// the total variance w = vol^2 ttx at each point enters as
// weight * max(margin - g, 0).
//   kind 0: no density residuals;
//   kind 1: fixed log-moneyness points `pts`, w's derivatives from a
//           central stencil k - h, k, k + h around each (`stencil`: its
//           three strikes per point, fixed with the points);
//   kind 2: CubicSpline, in closed form (SplineVariance): points in units
//           of its knots' at-the-money deviation, which moves with its
//           level, each on the piece between knots whose interior holds
//           `inside` (same units), so that a point on a knot takes that
//           piece's one-sided value.
struct FitDensity {
    int kind = 0;
    const double* pts = nullptr;
    std::size_t count = 0;
    double h = 0.0;
    const double* inside = nullptr;
    const double* stencil = nullptr;
    double margin = 0.0;
    double weight = 0.0;
};

// Everything one fit evaluates. Residual rows, in order: 2n quote rows, p
// walls, the density points (when on), then the regulariser's rows
// reg[i] . theta - reg_c[i], linear in the fitting parameters theta (not in
// the coordinates u): a weak prior or a smoothness penalty.
struct FitProblem {
    EvaluateFn evaluate = nullptr;
    double ttx = 0.0;
    double spot = 0.0;
    const double* strikes = nullptr;
    FitQuotes q{};
    FitCoordinates c{};
    FitDensity d{};
    const double* reg = nullptr;    // n_reg x p, row-major
    const double* reg_c = nullptr;  // n_reg
    std::size_t n_reg = 0;

    std::size_t density_rows() const noexcept { return d.kind == 0 ? 0 : d.count; }
    std::size_t rows() const noexcept { return 2 * q.n + c.p + density_rows() + n_reg; }
};

// The residual of a problem at coordinates u (rows() values into `out`),
// and its forward-difference Jacobian (step h_i = 1e-6 max(|u_i|, 1)),
// with scratch space of its own: one per thread.
class FitEvaluator final : public LeastSquaresProblem {
public:
    explicit FitEvaluator(const FitProblem& problem);
    std::size_t rows() const noexcept override { return f_.rows(); }
    std::size_t params() const noexcept override { return f_.c.p; }
    void residuals(const double* u, double* out) override;
    // Columns of the coordinates with free[i] (all when free is null);
    // the other columns are set to zero. `r` is the residual at u.
    void jacobian(const double* u, const double* r, const bool* free, double* jac) override;

private:
    const FitProblem& f_;
    std::vector<double> params_, vols_, dv_, row_, up_;
};

// Levenberg-Marquardt on the problem from coordinates u (overwritten with
// the end point); only the coordinates with free[i] move (all when free is
// null). Bounded parameters are solved for directly, not through u^2, so
// that the solver stops on a bound and holds a parameter there (a square
// root coordinate has no slope at the bound, and a solver crawls towards an
// optimum there). The end point goes back as u = sqrt(parameter - lower).
SolveResult fit_solve(const FitProblem& problem, double* u, const bool* free, const SolveOptions& options);

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

    // The density residuals (FitDensity: kind 0, 1 or 2; `inside` as many
    // values as pts for kind 2, else ignored).
    void set_density(int kind, std::span<const double> pts, double h, std::span<const double> inside,
                     double margin, double weight);
    // Rows reg[i] . theta - c[i] on the fitting parameters (reg: c.size() x p).
    void set_regulariser(std::span<const double> reg, std::span<const double> c);

    std::size_t rows() const noexcept { return view().rows(); }
    std::size_t params() const noexcept { return p_; }

    // The residual (rows() values each) and the cost sum(r^2) of each of m
    // rows of fitting parameters (not coordinates); either output may be null.
    void residuals_at(const double* theta, std::size_t m, double* r, double* cost) const;
    // The residual at coordinates u (with direct: at the parameters
    // themselves) and its forward-difference Jacobian (rows() x p).
    void residuals_jacobian(const double* u, bool direct, double* r, double* jac) const;
    // fit_solve from u (overwritten).
    SolveResult solve(double* u, const bool* free, const SolveOptions& options) const;

    FitProblem view() const noexcept;

private:
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
