// The Levenberg-Marquardt solver of korvex_chain's smile fit on small
// problems whose solutions are known, with and without bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <vector>

#include "chain/levenberg_marquardt.hpp"

namespace {

using korvex::chain::levenberg_marquardt;
using korvex::chain::LeastSquaresProblem;
using korvex::chain::SolveOptions;
using korvex::chain::SolveResult;
using korvex::chain::SolveStatus;

constexpr double kInf = std::numeric_limits<double>::infinity();

// A problem from a residual function and, optionally, its Jacobian (else
// forward differences, as the smile fit takes them). Counts the residual
// evaluations the solver asks for.
class Problem final : public LeastSquaresProblem {
public:
    using Fn = std::function<void(const double* x, double* out)>;
    Problem(std::size_t m, std::size_t p, Fn residual, Fn jacobian = {})
        : m_(m), p_(p), residual_(std::move(residual)), jacobian_(std::move(jacobian)), row_(m) {}

    std::size_t rows() const noexcept override { return m_; }
    std::size_t params() const noexcept override { return p_; }
    void residuals(const double* x, double* out) override {
        ++calls;
        residual_(x, out);
    }
    void jacobian(const double* x, const double* r, const bool* free, double* jac) override {
        if (jacobian_) {
            jacobian_(x, jac);
        } else {
            std::vector<double> xp(x, x + p_);
            for (std::size_t i = 0; i < p_; ++i) {
                const double h = 1e-7 * std::max(std::fabs(x[i]), 1.0);
                xp[i] = x[i] + h;
                residual_(xp.data(), row_.data());
                xp[i] = x[i];
                for (std::size_t k = 0; k < m_; ++k) jac[k * p_ + i] = (row_[k] - r[k]) / h;
            }
        }
        for (std::size_t i = 0; i < p_; ++i) {
            if (free != nullptr && !free[i]) {
                for (std::size_t k = 0; k < m_; ++k) jac[k * p_ + i] = 0.0;
            }
        }
    }

    std::size_t calls = 0;

private:
    std::size_t m_, p_;
    Fn residual_, jacobian_;
    std::vector<double> row_;
};

// Rosenbrock's valley as least squares: r = (10 (x1 - x0^2), 1 - x0), the
// minimum 0 at (1, 1), with its Jacobian.
Problem rosenbrock() {
    return Problem(
        2, 2,
        [](const double* x, double* r) {
            r[0] = 10.0 * (x[1] - x[0] * x[0]);
            r[1] = 1.0 - x[0];
        },
        [](const double* x, double* j) {
            j[0] = -20.0 * x[0];
            j[1] = 10.0;
            j[2] = -1.0;
            j[3] = 0.0;
        });
}

bool converged(SolveStatus s) {
    return s == SolveStatus::CostTolerance || s == SolveStatus::StepTolerance || s == SolveStatus::ZeroCost;
}

TEST(LevenbergMarquardt, RosenbrockFromTheClassicStart) {
    Problem p = rosenbrock();
    std::array<double, 2> x{-1.2, 1.0};
    const SolveResult res = levenberg_marquardt(p, x.data(), nullptr, nullptr, {1e-15, 1e-15, 200});
    EXPECT_TRUE(converged(res.status)) << static_cast<int>(res.status);
    EXPECT_NEAR(x[0], 1.0, 1e-10);
    EXPECT_NEAR(x[1], 1.0, 1e-10);
    EXPECT_LT(res.cost, 1e-20);
    // Every residual evaluation is counted, and nothing else is.
    EXPECT_EQ(res.nfev, p.calls);
    EXPECT_LT(res.nfev, 100u);
}

// b = A x* + e with e orthogonal to the columns of A: the least-squares
// solution is x*, its cost |e|^2.
TEST(LevenbergMarquardt, LinearLeastSquaresWithAKnownSolution) {
    constexpr std::size_t m = 6;
    // Orthogonal polynomials of degree 0, 1, 2 on x = -5, -3, ..., 5, and
    // the one of degree 3 as the part of b no parameter can reach.
    const std::array<std::array<double, 3>, m> a{{{1, -5, 5}, {1, -3, -1}, {1, -1, -4}, {1, 1, -4}, {1, 3, -1},
                                                   {1, 5, 5}}};
    const std::array<double, m> e{-5, 7, 4, -4, -7, 5};
    const std::array<double, 3> want{1.0, -2.0, 0.5};
    std::array<double, m> b{};
    for (std::size_t k = 0; k < m; ++k) b[k] = a[k][0] * want[0] + a[k][1] * want[1] + a[k][2] * want[2] + 0.1 * e[k];
    Problem p(
        m, 3,
        [&](const double* x, double* r) {
            for (std::size_t k = 0; k < m; ++k) r[k] = a[k][0] * x[0] + a[k][1] * x[1] + a[k][2] * x[2] - b[k];
        },
        [&](const double*, double* j) {
            for (std::size_t k = 0; k < m; ++k) {
                for (std::size_t i = 0; i < 3; ++i) j[k * 3 + i] = a[k][i];
            }
        });
    std::array<double, 3> x{0.0, 0.0, 0.0};
    const SolveResult res = levenberg_marquardt(p, x.data(), nullptr, nullptr, {1e-14, 1e-14, 50});
    EXPECT_TRUE(converged(res.status));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(x[i], want[i], 1e-10) << i;
    EXPECT_NEAR(res.cost, 1.8, 1e-12);  // 0.01 * |e|^2
    EXPECT_LT(res.nfev, 20u);
}

TEST(LevenbergMarquardt, ExponentialDecayWithForwardDifferences) {
    std::array<double, 10> t{};
    std::array<double, 10> y{};
    for (std::size_t k = 0; k < t.size(); ++k) {
        t[k] = 0.5 * static_cast<double>(k);
        y[k] = 3.0 * std::exp(-0.7 * t[k]) + 0.2;
    }
    Problem p(t.size(), 3, [&](const double* x, double* r) {
        for (std::size_t k = 0; k < t.size(); ++k) r[k] = x[0] * std::exp(-x[1] * t[k]) + x[2] - y[k];
    });
    std::array<double, 3> x{1.0, 0.1, 0.0};
    const SolveResult res = levenberg_marquardt(p, x.data(), nullptr, nullptr, {1e-14, 1e-14, 200});
    EXPECT_TRUE(converged(res.status)) << static_cast<int>(res.status);
    EXPECT_NEAR(x[0], 3.0, 1e-6);
    EXPECT_NEAR(x[1], 0.7, 1e-6);
    EXPECT_NEAR(x[2], 0.2, 1e-6);
    EXPECT_LT(res.cost, 1e-12);
}

TEST(LevenbergMarquardt, OptimumOnABoundEndsExactlyOnIt) {
    // Rosenbrock with x0 >= 1.5: along x1 = x0^2 the cost (1 - x0)^2 rises
    // beyond 1, so the optimum is (1.5, 2.25), on the bound.
    Problem p = rosenbrock();
    std::array<double, 2> x{3.0, 2.0};
    const std::array<double, 2> lower{1.5, -kInf};
    const SolveResult res = levenberg_marquardt(p, x.data(), nullptr, lower.data(), {1e-15, 1e-15, 200});
    EXPECT_TRUE(converged(res.status)) << static_cast<int>(res.status);
    EXPECT_EQ(x[0], 1.5);
    EXPECT_NEAR(x[1], 2.25, 1e-9);
    EXPECT_NEAR(res.cost, 0.25, 1e-12);

    // One parameter that the gradient pushes through its bound: it stops on
    // it, is held there, and the solve ends since nothing else can move.
    Problem line(1, 1, [](const double* v, double* r) { r[0] = v[0] + 1.0; },
                 [](const double*, double* j) { j[0] = 1.0; });
    double v = 3.0;
    const double zero = 0.0;
    const SolveResult held = levenberg_marquardt(line, &v, nullptr, &zero, {1e-15, 1e-15, 50});
    EXPECT_EQ(v, 0.0);
    EXPECT_EQ(held.cost, 1.0);
    EXPECT_EQ(held.status, SolveStatus::StepTolerance);
}

TEST(LevenbergMarquardt, BoundsThatDoNotBindChangeNothing) {
    Problem free_problem = rosenbrock();
    std::array<double, 2> x{-1.2, 1.0};
    levenberg_marquardt(free_problem, x.data(), nullptr, nullptr, {1e-15, 1e-15, 200});
    Problem bounded = rosenbrock();
    std::array<double, 2> y{-1.2, 1.0};
    const std::array<double, 2> lower{-10.0, -kInf};
    levenberg_marquardt(bounded, y.data(), nullptr, lower.data(), {1e-15, 1e-15, 200});
    EXPECT_EQ(x, y);
}

TEST(LevenbergMarquardt, HeldParametersDoNotMove) {
    Problem p = rosenbrock();
    std::array<double, 2> x{0.5, 3.0};
    const bool free[2] = {false, true};
    const SolveResult res = levenberg_marquardt(p, x.data(), free, nullptr, {1e-15, 1e-15, 100});
    EXPECT_TRUE(converged(res.status));
    EXPECT_EQ(x[0], 0.5);
    // The cost's relative reduction stops the solve: 0.25 of it is out of
    // the free parameter's reach, so x1 ends within sqrt(ftol) of 0.25.
    EXPECT_NEAR(x[1], 0.25, 1e-8);
    EXPECT_NEAR(res.cost, 0.25, 1e-15);

    // Nothing free: the start is evaluated once and returned as it is.
    Problem q = rosenbrock();
    std::array<double, 2> z{0.5, 3.0};
    const bool none[2] = {false, false};
    const SolveResult idle = levenberg_marquardt(q, z.data(), none, nullptr, {1e-15, 1e-15, 100});
    EXPECT_EQ(idle.status, SolveStatus::ZeroCost);
    EXPECT_EQ(idle.nfev, 1u);
    EXPECT_EQ(z, (std::array<double, 2>{0.5, 3.0}));
}

TEST(LevenbergMarquardt, StopsAtTheEvaluationLimitOrAZeroCost) {
    Problem p = rosenbrock();
    std::array<double, 2> x{-1.2, 1.0};
    const SolveResult res = levenberg_marquardt(p, x.data(), nullptr, nullptr, {1e-15, 1e-15, 3});
    EXPECT_EQ(res.status, SolveStatus::EvaluationLimit);
    EXPECT_EQ(res.nfev, 3u);
    EXPECT_EQ(p.calls, 3u);

    Problem q = rosenbrock();
    std::array<double, 2> at{1.0, 1.0};
    const SolveResult done = levenberg_marquardt(q, at.data(), nullptr, nullptr, {1e-15, 1e-15, 100});
    EXPECT_EQ(done.status, SolveStatus::ZeroCost);
    EXPECT_EQ(done.nfev, 1u);
    EXPECT_EQ(done.cost, 0.0);
}

TEST(LevenbergMarquardt, TrialPointsWithoutAFiniteResidualAreRejected) {
    // r = ln x - ln 0.5: the first Gauss-Newton step from x = 4 lands below
    // zero, where the residual is NaN; the solver shortens its steps instead.
    Problem p(1, 1, [](const double* x, double* r) { r[0] = std::log(x[0]) - std::log(0.5); },
              [](const double* x, double* j) { j[0] = 1.0 / x[0]; });
    double x = 4.0;
    const SolveResult res = levenberg_marquardt(p, &x, nullptr, nullptr, {1e-15, 1e-15, 100});
    EXPECT_TRUE(converged(res.status)) << static_cast<int>(res.status);
    EXPECT_NEAR(x, 0.5, 1e-10);
    EXPECT_TRUE(std::isfinite(res.cost));
    EXPECT_LT(res.cost, 1e-20);
}

}  // namespace
