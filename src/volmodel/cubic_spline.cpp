// CubicSpline: vol formula.
#include <cmath>
#include <cstddef>

#include "volmodel/vol_model.hpp"

namespace korvex::volmodel {

template class Model<CubicSmile>;

CubicSmile::Prepared CubicSmile::prepare(const double* p, double ttx, double spot) noexcept {
    const double ref_vol = p[kRefVol];
    Prepared c;
    c.spot = spot;
    c.r = std::sqrt(ttx);

    // At-the-money vol in percent, shifted by the spot's move from the
    // anchor. With no move there is no shift: without this test the shift
    // would be 0 / ln(ttx), NaN at ttx = 1, and spoil every vol. The zero
    // shift is still added, as the formula reads: 0.0 + ref_vol turns a
    // ref_vol of -0.0 into +0.0, and the sign of atm decides which wing a
    // strike's standardised moneyness falls on.
    const double move = std::log(spot / p[kRefSpot]);
    if (move == 0.0) {
        c.atm = 0.0 + ref_vol;
    } else {
        c.atm = ((((p[kP05] - p[kC05]) / 0.1) * 100.0) * ((move / std::log(ttx)) / ref_vol)) *
                    p[kVpr] +
                ref_vol;
    }
    const double atm = c.atm;

    // Knot vols: the at-the-money vol plus the increments summed outwards.
    const double p1 = p[kP05];
    const double p2 = p1 + p[kP10];
    const double p3 = p2 + p[kP15];
    const double p4 = p3 + p[kP20];
    const double p5 = p4 + p[kP25];
    const double c1 = p[kC05];
    const double c2 = c1 + p[kC10];
    const double c3 = c2 + p[kC15];
    const double c4 = c3 + p[kC20];
    const double c5 = c4 + p[kC25];
    const std::array<double, kKnots> knot_vol{
        (p5 + atm) / 100.0, (p4 + atm) / 100.0, (p3 + atm) / 100.0, (p2 + atm) / 100.0,
        (p1 + atm) / 100.0, atm / 100.0,        (c1 + atm) / 100.0, (c2 + atm) / 100.0,
        (c3 + atm) / 100.0, (c4 + atm) / 100.0, (c5 + atm) / 100.0};
    for (std::size_t i = 0; i < kKnots; ++i) c.y[i] = knot_vol[i] * knot_vol[i];

    std::array<double, kKnots - 1> h;
    std::array<double, kKnots - 1> d;
    for (std::size_t i = 0; i + 1 < kKnots; ++i) {
        h[i] = kX[i + 1] - kX[i];
        d[i] = (c.y[i + 1] - c.y[i]) / h[i];
    }

    // Fritsch-Butland slopes. The end knots take the end secants so the
    // curve meets its linear continuation with a continuous slope; an
    // inner knot between secants of opposite sign (or a zero one) stays
    // flat so the curve does not overshoot.
    c.m[0] = d[0];
    c.m[kKnots - 1] = d[kKnots - 2];
    for (std::size_t k = 1; k + 1 < kKnots; ++k) {
        if (d[k - 1] * d[k] <= 0.0) {
            c.m[k] = 0.0;
        } else {
            const double w1 = 2.0 * h[k] + h[k - 1];
            const double w2 = h[k] + 2.0 * h[k - 1];
            c.m[k] = (w1 + w2) / (w1 / d[k - 1] + w2 / d[k]);
        }
    }
    return c;
}

double CubicSmile::vol(const Prepared& c, double strike) noexcept {
    constexpr std::size_t last = kKnots - 1;
    const auto& y = c.y;
    const double x = ((std::log(strike / c.spot) / c.r) / c.atm) * 100.0;

    double variance;
    if (x <= kX[0]) {
        variance = (x - kX[0]) * ((y[1] - y[0]) / (kX[1] - kX[0])) + y[0];
    } else if (x >= kX[last]) {
        variance = ((y[last] - y[last - 1]) / (kX[last] - kX[last - 1])) * (x - kX[last]) + y[last];
    } else {
        // Interval starting at the last knot at or left of x, so a point on
        // an inner knot uses the interval that starts there. A NaN x counts
        // no knots and lands in the first interval, giving NaN.
        std::size_t n = 0;
        while (n < kKnots && kX[n] <= x) ++n;
        const std::size_t i = n == 0 ? 0 : (n - 1 > last - 1 ? last - 1 : n - 1);

        const double h = kX[i + 1] - kX[i];
        const double t = (x - kX[i]) / h;
        const double t2 = t * t;
        const double t3 = t2 * t;
        const double h00 = (2.0 * t3 - 3.0 * t2) + 1.0;
        const double h01 = 3.0 * t2 - 2.0 * t3;
        const double h10 = (t3 - 2.0 * t2) + t;
        const double h11 = t3 - t2;
        variance = (h10 * h) * c.m[i] + h00 * y[i];
        variance = variance + h01 * y[i + 1];
        variance = variance + (h11 * h) * c.m[i + 1];
    }
    // A negative variance (far out on a falling linear wing) gives NaN.
    return std::sqrt(variance);
}

}  // namespace korvex::volmodel
