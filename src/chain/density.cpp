#include "chain/density.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace korvex::chain {

double durrleman_g(double k, double w_minus, double w0, double w_plus, double h) noexcept {
    const double w1 = (w_plus - w_minus) / (2.0 * h);
    const double w2 = (w_plus - 2.0 * w0 + w_minus) / (h * h);
    const double a = 1.0 - k * w1 / (2.0 * w0);
    return a * a - 0.25 * w1 * w1 * (1.0 / w0 + 0.25) + 0.5 * w2;
}

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
