// korvex_chain's smile fit next to the model: residuals, their finite-
// difference Jacobian and the Levenberg-Marquardt solver that drives them,
// so that a whole solve is one native call with no Python in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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
    // The solver's own mapping: every fitting parameter is its coordinate
    // (no square), the bounds being kept by projecting each step instead.
    bool direct = false;
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

namespace korvex::chain {

// A model's vols at n strikes from a parameter vector in stored order.
using EvaluateFn = void (*)(const double* params, double ttx, double spot, const double* strikes,
                            std::size_t n, double* out);

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
class FitEvaluator {
public:
    explicit FitEvaluator(const FitProblem& problem);
    void residuals(const double* u, double* out);
    // Columns of the coordinates with free[i] (all when free is null);
    // the other columns are set to zero. `r` is the residual at u.
    void jacobian(const double* u, const double* r, const bool* free, double* jac);

private:
    const FitProblem& f_;
    std::vector<double> params_, vols_, dk_, dv_, row_, up_;
};

// Outcome of a solve: the cost sum(r^2) at the end point, the residual
// evaluations spent (a Jacobian counts with the point it belongs to), and
// why it stopped: 1 the relative reduction of the cost, actual and
// predicted, fell below ftol; 2 the scaled step fell below xtol times the
// scaled coordinates; 3 the cost is zero; 5 the evaluation limit.
struct FitSolveResult {
    double cost = 0.0;
    std::size_t nfev = 0;
    int status = 0;
};

// Levenberg-Marquardt on the problem from coordinates u (overwritten with
// the end point); only the coordinates with free[i] move (all when free is
// null). Steps solve (J'J + mu D^2) d = -J'r by Cholesky, D the running
// maximum of the Jacobian's column norms (the scaling MINPACK uses).
// Bounded parameters are solved for directly, not through u^2: a step that
// would cross a bound stops on it, and a parameter on its bound that the
// gradient pushes outwards is held there for the step (a square root
// coordinate has no slope at the bound, and a solver crawls towards an
// optimum there). The end point goes back as u = sqrt(parameter - lower).
FitSolveResult fit_solve(const FitProblem& problem, double* u, const bool* free, double ftol, double xtol,
                         std::size_t max_nfev);

}  // namespace korvex::chain

namespace korvex::chain {

// Risk-neutral density of ln(S_T / F) at the n points of a uniform
// log-moneyness grid k: g(k) phi(d2) / sqrt(w) with Durrleman's g of the
// total variance w = vol^2 ttx from central differences on the grid (the
// end points take their neighbours' derivatives), d2 = -k / sqrt(w) -
// sqrt(w) / 2. A smile that is not finite gives NaN or inf, as it falls.
void density_on_grid(EvaluateFn evaluate, const double* params, double ttx, double spot, const double* k,
                     std::size_t n, double* out);

}  // namespace korvex::chain
