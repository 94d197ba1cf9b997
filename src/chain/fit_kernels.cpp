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
