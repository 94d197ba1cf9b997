// A Levenberg-Marquardt solver for small nonlinear least-squares problems
// with lower bounds: minimise sum(r(x)^2) over the free parameters, each
// kept at or above its bound. Plain C++: the smile fit drives it through its
// FitEvaluator, and the unit tests through small known problems.
#pragma once

#include <cstddef>

namespace korvex::chain {

// The residual r(x) of p parameters, m values, and its Jacobian.
class LeastSquaresProblem {
public:
    virtual ~LeastSquaresProblem() = default;
    virtual std::size_t rows() const noexcept = 0;    // m
    virtual std::size_t params() const noexcept = 0;  // p
    // r(x) into out (m values). Values that are not finite make the point
    // worse than any finite one.
    virtual void residuals(const double* x, double* out) = 0;
    // The m x p Jacobian at x into jac (row-major), r being r(x): the
    // columns with free[i] (all when free is null), the others zero.
    virtual void jacobian(const double* x, const double* r, const bool* free, double* jac) = 0;
};

// Why a solve stopped. The codes are part of korvex_chain's Python API.
enum class SolveStatus : int {
    CostTolerance = 1,    // the relative reduction of the cost, actual and predicted, fell below ftol
    StepTolerance = 2,    // the scaled step fell below xtol times the scaled parameters, or none can move
    ZeroCost = 3,         // the cost is zero, or no parameter is free
    EvaluationLimit = 5,  // max_nfev residual evaluations were spent
};

struct SolveOptions {
    double ftol = 1e-8;
    double xtol = 1e-8;
    std::size_t max_nfev = 100;  // at least 1
};

// The cost sum(r^2) at the end point (infinity where r is not finite), the
// residual evaluations spent (a Jacobian counts with the point it belongs
// to) and why the solve stopped.
struct SolveResult {
    double cost = 0.0;
    std::size_t nfev = 0;
    SolveStatus status = SolveStatus::ZeroCost;
};

// Solves from x (p values, overwritten with the end point); only the
// parameters with free[i] move (all when free is null). lower[i] is the
// bound of parameter i, -infinity for none (no bounds when lower is null);
// the start must satisfy the bounds.
//
// Steps solve (J'J + mu D^2) d = -J'r by Cholesky, D the running maximum of
// the Jacobian's column norms (the scaling MINPACK uses), mu adapted by the
// ratio of the actual to the predicted reduction. A step that would cross a
// bound stops on the first bound it meets, the parameter set on it exactly,
// and a parameter on its bound that the gradient pushes outwards is held
// there for the step.
SolveResult levenberg_marquardt(LeastSquaresProblem& problem, double* x, const bool* free, const double* lower,
                                const SolveOptions& options);

}  // namespace korvex::chain
