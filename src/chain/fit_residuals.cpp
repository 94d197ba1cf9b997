#include "chain/fit_residuals.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "chain/density.hpp"

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

namespace {

// Signed square root of the soft-L1 loss 2 (sqrt(1 + r^2) - 1), written as
// r sqrt(2 / (sqrt(1 + r^2) + 1)) to avoid cancellation for small r.
double soft_l1(double r) noexcept;
// From the vols of one parameter row at the n quotes, the 2n residuals:
// out[j] = robust * soft_l1(distance outside the band * inv_scale), and
// out[n + j] = pull_w * soft_l1((vol - mid) * inv_scale).
void fit_residual_row(const double* vols, const FitQuotes& q, double* out) noexcept;
// The parameter vector at u (n_params values into `params`).
void fit_params_at(const FitCoordinates& c, const double* u, double* params) noexcept;
// The residual walls at u (p values into `out`).
void fit_walls_at(const FitCoordinates& c, const double* u, double* out) noexcept;

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

double param_at(const FitCoordinates& c, std::size_t i, double u) noexcept {
    return c.bounded[i] && !c.direct ? c.lower[i] + u * u : u;
}

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

FitEvaluator::FitEvaluator(const FitProblem& problem)
    : f_(problem),
      params_(problem.c.n_params),
      vols_(problem.q.n),
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
        const FitDensity& d = f.d;
        double* dens = out + 2 * n + p;
        // As max(margin - g, 0) * weight in numpy: NaN stays NaN, and
        // whatever is not finite becomes the fill value.
        auto penalty = [&](double g) {
            const double short_of = d.margin - g;
            const double res = std::isnan(short_of) ? short_of : (short_of > 0.0 ? d.weight * short_of : 0.0);
            return std::isfinite(res) ? res : f.q.fill;
        };
        if (d.kind == 2) {
            const SplineVariance sv(params_.data(), f.ttx, f.spot);
            const double scale = sv.scale();
            for (std::size_t i = 0; i < nd; ++i) {
                const double k = d.pts[i] * scale;
                const SplineVariance::Value v = sv.at(k, d.inside[i] * scale);
                dens[i] = penalty(durrleman_g(k, v.w, v.w1, v.w2));
            }
        } else {
            // The stencils around each density point, then g from the variances.
            const double h = d.h;
            f.evaluate(params_.data(), f.ttx, f.spot, d.stencil, 3 * nd, dv_.data());
            for (std::size_t i = 0; i < nd; ++i) {
                const double wm = dv_[3 * i] * dv_[3 * i] * f.ttx;
                const double w0 = dv_[3 * i + 1] * dv_[3 * i + 1] * f.ttx;
                const double wp = dv_[3 * i + 2] * dv_[3 * i + 2] * f.ttx;
                dens[i] = penalty(durrleman_g(d.pts[i], wm, w0, wp, h));
            }
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

SolveResult fit_solve(const FitProblem& problem, double* u, const bool* free, const SolveOptions& options) {
    FitProblem f = problem;
    f.c.direct = true;
    const std::size_t p = f.c.p;
    // t: the parameters themselves (bounded ones), or the coordinates.
    std::vector<double> t(p);
    std::vector<double> lower(p, -std::numeric_limits<double>::infinity());
    for (std::size_t i = 0; i < p; ++i) {
        t[i] = f.c.bounded[i] ? f.c.lower[i] + u[i] * u[i] : u[i];
        if (f.c.bounded[i]) lower[i] = f.c.lower[i];
    }
    FitEvaluator ev(f);
    const SolveResult out = levenberg_marquardt(ev, t.data(), free, lower.data(), options);
    for (std::size_t i = 0; i < p; ++i) {
        u[i] = f.c.bounded[i] ? std::sqrt(std::max(t[i] - f.c.lower[i], 0.0)) : t[i];
    }
    return out;
}

}  // namespace

StoredFitProblem::StoredFitProblem(const ModelKind& kind, const Arrays& a, double wall, double ttx, double spot,
                                   double robust, double fill)
    : evaluate_(kind.evaluate),
      n_params_(kind.param_count()),
      p_(a.idx.size()),
      base_(a.base.begin(), a.base.end()),
      lower_(a.lower.begin(), a.lower.end()),
      upper_(a.upper.begin(), a.upper.end()),
      strikes_(a.strikes.begin(), a.strikes.end()),
      lo_(a.lo.begin(), a.lo.end()),
      hi_(a.hi.begin(), a.hi.end()),
      mid_(a.mid.begin(), a.mid.end()),
      inv_scale_(a.inv_scale.begin(), a.inv_scale.end()),
      pull_w_(a.pull_w.begin(), a.pull_w.end()),
      idx_(a.idx.begin(), a.idx.end()),
      bounded_(new bool[a.bounded.size()]),
      wall_(wall),
      ttx_(ttx),
      spot_(spot),
      robust_(robust),
      fill_(fill) {
    std::copy(a.bounded.begin(), a.bounded.end(), bounded_.get());
}

void StoredFitProblem::set_density(int kind, std::span<const double> pts, double h, std::span<const double> inside,
                                   double margin, double weight) {
    density_kind_ = kind;
    density_pts_.assign(pts.begin(), pts.end());
    density_h_ = h;
    density_stencil_.clear();
    if (kind == 2) {
        density_inside_.assign(inside.begin(), inside.end());
    } else {
        density_inside_.clear();
        // The points stay put for the whole solve: their stencils' strikes
        // are worked out once, not at every evaluation.
        density_stencil_.resize(3 * pts.size());
        for (std::size_t i = 0; i < pts.size(); ++i) {
            density_stencil_[3 * i] = spot_ * std::exp(pts[i] - h);
            density_stencil_[3 * i + 1] = spot_ * std::exp(pts[i]);
            density_stencil_[3 * i + 2] = spot_ * std::exp(pts[i] + h);
        }
    }
    margin_ = margin;
    weight_ = weight;
}

std::size_t StoredFitProblem::rows() const noexcept { return view().rows(); }

void StoredFitProblem::set_regulariser(std::span<const double> reg, std::span<const double> c) {
    reg_.assign(reg.begin(), reg.end());
    reg_c_.assign(c.begin(), c.end());
}

void StoredFitProblem::residuals_at(const double* theta, std::size_t m, double* r, double* cost) const {
    FitProblem f = view();
    f.c.direct = true;
    const std::size_t rows = f.rows();
    FitEvaluator ev(f);
    std::vector<double> scratch(r == nullptr ? rows : 0);
    for (std::size_t i = 0; i < m; ++i) {
        double* row = r != nullptr ? r + i * rows : scratch.data();
        ev.residuals(theta + i * p_, row);
        if (cost != nullptr) {
            double s = 0.0;
            for (std::size_t k = 0; k < rows; ++k) s += row[k] * row[k];
            cost[i] = s;
        }
    }
}

void StoredFitProblem::residuals_jacobian(const double* u, bool direct, double* r, double* jac) const {
    FitProblem f = view();
    f.c.direct = direct;
    FitEvaluator ev(f);
    ev.residuals(u, r);
    ev.jacobian(u, r, nullptr, jac);
}

SolveResult StoredFitProblem::solve(double* u, const bool* free, const SolveOptions& options) const {
    return fit_solve(view(), u, free, options);
}

FitProblem StoredFitProblem::view() const noexcept {
    FitProblem f;
    f.evaluate = evaluate_;
    f.ttx = ttx_;
    f.spot = spot_;
    f.strikes = strikes_.data();
    f.q = FitQuotes{lo_.data(), hi_.data(), mid_.data(), inv_scale_.data(), pull_w_.data(), strikes_.size(),
                    robust_, fill_};
    f.c = FitCoordinates{base_.data(), n_params_, idx_.data(), bounded_.get(), lower_.data(), upper_.data(),
                         p_, wall_};
    f.d = FitDensity{density_kind_, density_pts_.data(), density_pts_.size(), density_h_, density_inside_.data(),
                     density_stencil_.data(), margin_, weight_};
    f.reg = reg_.data();
    f.reg_c = reg_c_.data();
    f.n_reg = reg_c_.size();
    return f;
}

}  // namespace korvex::chain
