#include "chain/fit_kernels.hpp"

#include <cmath>

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
    return c.bounded[i] ? c.lower[i] + u * u : u;
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
