#include "chain/fit_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace korvex::chain {

double soft_l1(double r) noexcept {
    const double t = std::sqrt(r * r + 1.0) + 1.0;
    return std::sqrt(2.0 / t) * r;
}

void fit_residual_row(const double* vols, const FitQuotes& q, double* out) noexcept {
    for (std::size_t j = 0; j < q.n; ++j) {
        const double v = vols[j];
        if (!std::isfinite(v)) {
            out[j] = q.fill;
            out[q.n + j] = q.pull_w[j] != 0.0 ? q.fill : 0.0;
            continue;
        }
        double outside = 0.0;
        if (v < q.lo[j]) outside = q.lo[j] - v;
        if (v > q.hi[j]) outside = v - q.hi[j];
        out[j] = soft_l1(outside * q.inv_scale[j]) * q.robust;
        out[q.n + j] = soft_l1((v - q.mid[j]) * q.inv_scale[j]) * q.pull_w[j];
    }
}

}  // namespace korvex::chain

namespace korvex::chain {

namespace {
double param_at(const FitCoordinates& c, std::size_t i, double u) noexcept {
    return c.bounded[i] && !c.direct ? c.lower[i] + u * u : u;
}
}  // namespace

void fit_params_at(const FitCoordinates& c, const double* u, double* params) noexcept {
    for (std::size_t k = 0; k < c.n_params; ++k) params[k] = c.base[k];
    for (std::size_t i = 0; i < c.p; ++i) params[c.idx[i]] = param_at(c, i, u[i]);
}

void fit_walls_at(const FitCoordinates& c, const double* u, double* out) noexcept {
    for (std::size_t i = 0; i < c.p; ++i) {
        const double beyond = std::fabs(param_at(c, i, u[i])) - c.upper[i];
        out[i] = beyond > 0.0 ? c.wall * beyond : 0.0;
    }
}

}  // namespace korvex::chain

namespace korvex::chain {

double durrleman_g(double k, double w_minus, double w0, double w_plus, double h) noexcept {
    const double w1 = (w_plus - w_minus) / (2.0 * h);
    const double w2 = (w_plus - 2.0 * w0 + w_minus) / (h * h);
    const double a = 1.0 - k * w1 / (2.0 * w0);
    return a * a - 0.25 * w1 * w1 * (1.0 / w0 + 0.25) + 0.5 * w2;
}

}  // namespace korvex::chain

namespace korvex::chain {

FitEvaluator::FitEvaluator(const FitProblem& problem)
    : f_(problem),
      params_(problem.c.n_params),
      vols_(problem.q.n),
      dk_(3 * problem.density_rows()),
      dv_(3 * problem.density_rows()),
      row_(problem.rows()),
      up_(problem.c.p) {}

void FitEvaluator::residuals(const double* u, double* out) {
    const FitProblem& f = f_;
    const std::size_t n = f.q.n;
    const std::size_t p = f.c.p;
    fit_params_at(f.c, u, params_.data());
    f.evaluate(params_.data(), f.ttx, f.spot, f.strikes, n, vols_.data());
    fit_residual_row(vols_.data(), f.q, out);
    fit_walls_at(f.c, u, out + 2 * n);
    const std::size_t nd = f.density_rows();
    if (nd != 0) {
        // Stencils around each density point, then g from the variances.
        const FitDensity& d = f.d;
        const double scale = d.kind == 2 ? std::fabs(params_[d.level_slot]) / 100.0 * std::sqrt(f.ttx) : 1.0;
        const double h = d.h * scale;
        for (std::size_t i = 0; i < nd; ++i) {
            const double k = d.pts[i] * scale;
            dk_[3 * i] = f.spot * std::exp(k - h);
            dk_[3 * i + 1] = f.spot * std::exp(k);
            dk_[3 * i + 2] = f.spot * std::exp(k + h);
        }
        f.evaluate(params_.data(), f.ttx, f.spot, dk_.data(), 3 * nd, dv_.data());
        double* dens = out + 2 * n + p;
        for (std::size_t i = 0; i < nd; ++i) {
            const double k = d.pts[i] * scale;
            const double wm = dv_[3 * i] * dv_[3 * i] * f.ttx;
            const double w0 = dv_[3 * i + 1] * dv_[3 * i + 1] * f.ttx;
            const double wp = dv_[3 * i + 2] * dv_[3 * i + 2] * f.ttx;
            const double g = durrleman_g(k, wm, w0, wp, h);
            // As max(margin - g, 0) * weight in numpy: NaN stays NaN, and
            // whatever is not finite becomes the fill value.
            const double short_of = d.margin - g;
            const double res = std::isnan(short_of) ? short_of : (short_of > 0.0 ? d.weight * short_of : 0.0);
            dens[i] = std::isfinite(res) ? res : f.q.fill;
        }
    }
    if (f.n_reg != 0) {
        double* reg = out + 2 * n + p + nd;
        for (std::size_t k = 0; k < f.n_reg; ++k) {
            double s = 0.0;
            for (std::size_t i = 0; i < p; ++i) s += f.reg[k * p + i] * params_[f.c.idx[i]];
            reg[k] = s - f.reg_c[k];
        }
    }
}

void FitEvaluator::jacobian(const double* u, const double* r, const bool* free, double* jac) {
    const std::size_t p = f_.c.p;
    const std::size_t rows = f_.rows();
    for (std::size_t i = 0; i < p; ++i) up_[i] = u[i];
    for (std::size_t i = 0; i < p; ++i) {
        if (free != nullptr && !free[i]) {
            for (std::size_t k = 0; k < rows; ++k) jac[k * p + i] = 0.0;
            continue;
        }
        const double ui = up_[i];
        const double h = 1e-6 * std::max(std::fabs(ui), 1.0);
        up_[i] = ui + h;
        residuals(up_.data(), row_.data());
        up_[i] = ui;
        for (std::size_t k = 0; k < rows; ++k) jac[k * p + i] = (row_[k] - r[k]) / h;
    }
}

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

FitSolveResult fit_solve(const FitProblem& problem, double* u, const bool* free, double ftol, double xtol,
                         std::size_t max_nfev) {
    FitProblem f = problem;
    f.c.direct = true;
    const std::size_t p = f.c.p;
    const std::size_t m = f.rows();
    std::vector<std::size_t> fr;
    for (std::size_t i = 0; i < p; ++i) {
        if (free == nullptr || free[i]) fr.push_back(i);
    }
    const std::size_t q = fr.size();
    // t: the parameters themselves (bounded ones), or the coordinates.
    std::vector<double> t(p);
    for (std::size_t i = 0; i < p; ++i) t[i] = f.c.bounded[i] ? f.c.lower[i] + u[i] * u[i] : u[i];
    auto back = [&] {
        for (std::size_t i = 0; i < p; ++i) {
            u[i] = f.c.bounded[i] ? std::sqrt(std::max(t[i] - f.c.lower[i], 0.0)) : t[i];
        }
    };
    FitEvaluator ev(f);
    std::vector<double> r(m), rt(m), jac(m * p), a(q * q), fac(q * q), g(q), diag(q, 0.0), step(q), tt(t);
    std::vector<std::size_t> act;  // positions in fr that move in this step
    std::vector<double> sa;        // their part of the step
    FitSolveResult out;
    ev.residuals(t.data(), r.data());
    out.nfev = 1;
    double cost = sum_of_squares(r);
    if (q == 0 || cost == 0.0) {
        out.cost = cost;
        out.status = 3;
        back();
        return out;
    }
    double mu = 1e-3;  // relative to the scaling: a nearly Gauss-Newton first step
    double nu = 2.0;
    bool need_jacobian = true;
    while (true) {
        if (need_jacobian) {
            ev.jacobian(t.data(), r.data(), free, jac.data());
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
            const bool on_bound = f.c.bounded[c] && t[c] <= f.c.lower[c];
            if (!(on_bound && g[i] > 0.0)) act.push_back(i);
        }
        const std::size_t na = act.size();
        if (na == 0) {
            out.status = 2;
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
                out.status = 2;
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
            if (f.c.bounded[c] && t[c] + s < f.c.lower[c]) {
                if (t[c] > f.c.lower[c]) {
                    const double to_bound = (f.c.lower[c] - t[c]) / s;
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
            if (f.c.bounded[c] && (tt[c] < f.c.lower[c] || i == stop_at)) tt[c] = f.c.lower[c];
        }
        ev.residuals(tt.data(), rt.data());
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
            out.status = 3;
            break;
        }
        if (std::fabs(ared) <= ftol && prered <= ftol && 0.5 * rho <= 1.0) {
            out.status = 1;
            break;
        }
        if (dn <= xtol * xn) {
            out.status = 2;
            break;
        }
        if (out.nfev >= max_nfev) {
            out.status = 5;
            break;
        }
    }
    out.cost = cost;
    back();
    return out;
}

}  // namespace korvex::chain

namespace korvex::chain {

void density_on_grid(EvaluateFn evaluate, const double* params, double ttx, double spot, const double* k,
                     std::size_t n, double* out) {
    if (n == 0) return;
    std::vector<double> strikes(n), w(n);
    for (std::size_t i = 0; i < n; ++i) strikes[i] = spot * std::exp(k[i]);
    evaluate(params, ttx, spot, strikes.data(), n, w.data());
    for (std::size_t i = 0; i < n; ++i) w[i] = w[i] * w[i] * ttx;
    const double h = n > 1 ? k[1] - k[0] : 0.0;
    const double root_2pi = std::sqrt(2.0 * 3.14159265358979323846);
    for (std::size_t i = 0; i < n; ++i) {
        double g = std::numeric_limits<double>::quiet_NaN();
        if (n >= 3) {
            const std::size_t j = i == 0 ? 1 : (i == n - 1 ? n - 2 : i);
            const double w1 = (w[j + 1] - w[j - 1]) / (2.0 * h);
            const double w2 = (w[j + 1] - 2.0 * w[j] + w[j - 1]) / (h * h);
            const double a = 1.0 - k[i] * w1 / (2.0 * w[i]);
            g = a * a - 0.25 * w1 * w1 * (1.0 / w[i] + 0.25) + 0.5 * w2;
        }
        const double sw = std::sqrt(w[i]);
        const double d2 = -k[i] / sw - 0.5 * sw;
        out[i] = g * std::exp(-0.5 * d2 * d2) / (sw * root_2pi);
    }
}

}  // namespace korvex::chain
