#include "chain/levenberg_marquardt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace korvex::chain {

namespace {

double sum_of_squares(const std::vector<double>& r) noexcept {
    double s = 0.0;
    for (double x : r) s += x * x;
    return std::isfinite(s) ? s : std::numeric_limits<double>::infinity();
}

// Cholesky factor of the q x q symmetric matrix a (lower triangle, in
// place); false when it is not numerically positive definite.
bool cholesky(std::vector<double>& a, std::size_t q) noexcept {
    for (std::size_t j = 0; j < q; ++j) {
        double d = a[j * q + j];
        for (std::size_t k = 0; k < j; ++k) d -= a[j * q + k] * a[j * q + k];
        if (!(d > 0.0) || !std::isfinite(d)) return false;
        const double l = std::sqrt(d);
        a[j * q + j] = l;
        for (std::size_t i = j + 1; i < q; ++i) {
            double s = a[i * q + j];
            for (std::size_t k = 0; k < j; ++k) s -= a[i * q + k] * a[j * q + k];
            a[i * q + j] = s / l;
        }
    }
    return true;
}

// Solves L L' x = b with the factor from cholesky (b overwritten by x).
void cholesky_solve(const std::vector<double>& l, std::size_t q, std::vector<double>& b) noexcept {
    for (std::size_t i = 0; i < q; ++i) {
        double s = b[i];
        for (std::size_t k = 0; k < i; ++k) s -= l[i * q + k] * b[k];
        b[i] = s / l[i * q + i];
    }
    for (std::size_t ii = q; ii-- > 0;) {
        double s = b[ii];
        for (std::size_t k = ii + 1; k < q; ++k) s -= l[k * q + ii] * b[k];
        b[ii] = s / l[ii * q + ii];
    }
}

}  // namespace

SolveResult levenberg_marquardt(LeastSquaresProblem& problem, double* x, const bool* free, const double* lower,
                                const SolveOptions& options) {
    const std::size_t p = problem.params();
    const std::size_t m = problem.rows();
    const double ftol = options.ftol;
    const double xtol = options.xtol;
    std::vector<char> bounded(p, 0);
    for (std::size_t i = 0; i < p; ++i) {
        bounded[i] = lower != nullptr && lower[i] > -std::numeric_limits<double>::infinity();
    }
    std::vector<std::size_t> fr;  // the free parameters
    for (std::size_t i = 0; i < p; ++i) {
        if (free == nullptr || free[i]) fr.push_back(i);
    }
    const std::size_t q = fr.size();
    std::vector<double> t(x, x + p);
    std::vector<double> r(m), rt(m), jac(m * p), a(q * q), fac(q * q), g(q), diag(q, 0.0), step(q), tt(t);
    std::vector<std::size_t> act;  // positions in fr that move in this step
    std::vector<double> sa;        // their part of the step
    SolveResult out;
    problem.residuals(t.data(), r.data());
    out.nfev = 1;
    double cost = sum_of_squares(r);
    if (q == 0 || cost == 0.0) {
        out.cost = cost;
        out.status = SolveStatus::ZeroCost;
        return out;
    }
    double mu = 1e-3;  // relative to the scaling: a nearly Gauss-Newton first step
    double nu = 2.0;
    bool need_jacobian = true;
    while (true) {
        if (need_jacobian) {
            problem.jacobian(t.data(), r.data(), free, jac.data());
            for (std::size_t i = 0; i < q; ++i) {
                for (std::size_t j = 0; j <= i; ++j) {
                    double s = 0.0;
                    for (std::size_t k = 0; k < m; ++k) s += jac[k * p + fr[i]] * jac[k * p + fr[j]];
                    a[i * q + j] = s;
                    a[j * q + i] = s;
                }
                double s = 0.0;
                for (std::size_t k = 0; k < m; ++k) s += jac[k * p + fr[i]] * r[k];
                g[i] = s;
                // Column norms, never shrinking (so the steps' metric is
                // stable); a column without effect is scaled by one.
                const double norm = std::sqrt(a[i * q + i]);
                if (norm > diag[i]) diag[i] = norm;
                if (diag[i] == 0.0 || !std::isfinite(diag[i])) diag[i] = 1.0;
            }
            need_jacobian = false;
        }
        // Parameters on their bound that the gradient pushes outwards stay.
        act.clear();
        for (std::size_t i = 0; i < q; ++i) {
            const std::size_t c = fr[i];
            const bool on_bound = bounded[c] && t[c] <= lower[c];
            if (!(on_bound && g[i] > 0.0)) act.push_back(i);
        }
        const std::size_t na = act.size();
        if (na == 0) {
            out.status = SolveStatus::StepTolerance;
            break;
        }
        fac.assign(na * na, 0.0);
        for (std::size_t i = 0; i < na; ++i) {
            for (std::size_t j = 0; j < na; ++j) fac[i * na + j] = a[act[i] * q + act[j]];
            fac[i * na + i] += mu * diag[act[i]] * diag[act[i]];
        }
        if (!cholesky(fac, na)) {
            mu *= nu;
            nu *= 2.0;
            if (!(mu < 1e300)) {
                out.status = SolveStatus::StepTolerance;
                break;
            }
            continue;
        }
        sa.assign(na, 0.0);
        for (std::size_t i = 0; i < na; ++i) sa[i] = -g[act[i]];
        cholesky_solve(fac, na, sa);
        // The step, shortened so that it ends on the first bound it meets
        // (a parameter already on its bound is only kept from crossing it).
        double frac = 1.0;
        std::size_t stop_at = q;
        for (std::size_t i = 0; i < q; ++i) step[i] = 0.0;
        for (std::size_t i = 0; i < na; ++i) {
            const std::size_t c = fr[act[i]];
            double s = sa[i];
            if (bounded[c] && t[c] + s < lower[c]) {
                if (t[c] > lower[c]) {
                    const double to_bound = (lower[c] - t[c]) / s;
                    if (to_bound < frac) {
                        frac = to_bound;
                        stop_at = act[i];
                    }
                } else {
                    s = 0.0;
                }
            }
            step[act[i]] = s;
        }
        for (std::size_t i = 0; i < q; ++i) step[i] *= frac;
        // Predicted reduction of the cost by the linear model: -(2 g.s + s'As).
        double gs = 0.0;
        double sas = 0.0;
        double dn = 0.0;
        double xn = 0.0;
        for (std::size_t i = 0; i < q; ++i) {
            gs += g[i] * step[i];
            double as = 0.0;
            for (std::size_t j = 0; j < q; ++j) as += a[i * q + j] * step[j];
            sas += step[i] * as;
            dn += (diag[i] * step[i]) * (diag[i] * step[i]);
            xn += (diag[i] * t[fr[i]]) * (diag[i] * t[fr[i]]);
        }
        dn = std::sqrt(dn);
        xn = std::sqrt(xn);
        const double pred = -(2.0 * gs + sas);
        for (std::size_t i = 0; i < p; ++i) tt[i] = t[i];
        for (std::size_t i = 0; i < q; ++i) {
            const std::size_t c = fr[i];
            tt[c] = t[c] + step[i];
            if (bounded[c] && (tt[c] < lower[c] || i == stop_at)) tt[c] = lower[c];
        }
        problem.residuals(tt.data(), rt.data());
        ++out.nfev;
        const double cost_t = sum_of_squares(rt);
        const double ared = 1.0 - cost_t / cost;
        const double prered = pred / cost;
        const double rho = pred > 0.0 ? (cost - cost_t) / pred : -1.0;
        if (rho >= 1e-4) {
            t.swap(tt);
            r.swap(rt);
            cost = cost_t;
            need_jacobian = true;
            const double s = 2.0 * rho - 1.0;
            mu *= std::max(1.0 / 3.0, 1.0 - s * s * s);
            nu = 2.0;
        } else {
            mu *= nu;
            nu *= 2.0;
        }
        if (cost == 0.0) {
            out.status = SolveStatus::ZeroCost;
            break;
        }
        if (std::fabs(ared) <= ftol && prered <= ftol && 0.5 * rho <= 1.0) {
            out.status = SolveStatus::CostTolerance;
            break;
        }
        if (dn <= xtol * xn) {
            out.status = SolveStatus::StepTolerance;
            break;
        }
        if (out.nfev >= options.max_nfev) {
            out.status = SolveStatus::EvaluationLimit;
            break;
        }
    }
    out.cost = cost;
    std::copy(t.begin(), t.end(), x);
    return out;
}

}  // namespace korvex::chain
