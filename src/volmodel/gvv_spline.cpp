// GVVSpline: vol formula.
#include <cmath>
#include <limits>

#include "volmodel/vol_model.hpp"

namespace korvex::volmodel {

template class Model<GvvSmile>;

GvvSmile::Prepared GvvSmile::prepare(const double* p, double ttx, double /*spot*/) noexcept {
    Prepared c;
    c.ref_spot = p[kRefSpot];
    c.v = p[kRefVol] / 100.0;
    c.s = p[kSkew] / 100.0;
    c.m = p[kSmile] / 100.0;
    c.pw = p[kPwing] / 100.0;
    c.cw = p[kCwing] / 100.0;
    c.r = std::sqrt(ttx);
    return c;
}

double GvvSmile::vol(const Prepared& c, double strike) noexcept {
    const double x = std::log(strike / c.ref_spot) / c.r;
    // About x/2 near the anchor, x far from it, always with the sign of x.
    const double y = (1.0 - 0.5 * std::exp(-(x * x))) * x;
    const double b = ((2.0 * c.s) * y) * c.v + c.v * c.v;
    // Larger root of w^2 - b w - m y^2 = 0; v^2 at the anchor.
    const double w = (std::sqrt((4.0 * c.m) * (y * y) + b * b) + b) * 0.5;
    // Wing term: grows like (y/sqrt(w))^4 near the anchor, bounded by 6^4.
    const double q = 6.0 * std::tanh((y / std::sqrt(w)) / 6.0);
    const double t = (q * q) * (q * q);
    double variance = w;
    if (y < 0.0) {
        variance = w + c.pw * t;
    } else if (y > 0.0) {
        variance = w + c.cw * t;
    }
    const double v = std::sqrt(variance);
    return std::isfinite(v) ? v : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace korvex::volmodel
