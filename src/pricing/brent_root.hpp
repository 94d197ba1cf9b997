// Brent's bracketed root finder (inverse quadratic interpolation and secant
// steps, guarded by bisection) with the fixed tolerance and evaluation budget
// used by the implied-volatility search.
#pragma once

#include <cmath>
#include <optional>
#include <utility>

namespace korvex::pricing {

// Half of the 1e-4 tolerance, and twice the double machine epsilon as the
// relative term of the convergence test.
inline constexpr double kBrentAbsTol = 5e-05;
inline constexpr double kBrentRelTol = 4.440892098500626e-16;
// Evaluations allowed after the two at the bracket ends.
inline constexpr int kBrentMaxEvaluations = 100;

// Whether a and b are both positive or both negative. Brent's bracket tests
// compare signs rather than test a * b > 0: for tiny function values (the
// price of an option on a forward of 1e-170) the product underflows to 0 and
// would fake a sign change. A zero or a NaN has no sign here.
constexpr bool same_sign(double a, double b) noexcept { return (a > 0.0 && b > 0.0) || (a < 0.0 && b < 0.0); }

// Finds a zero of f on [lower, upper]. Returns std::nullopt when the bracket
// does not bracket: f has the same sign at both ends, or is NaN at either end
// (a NaN end value says nothing about a sign change, and searching anyway
// would walk towards one end and report it as a root).
//
// f is any callable double(double); it is called directly, at most
// max_evaluations + 2 times (a budget below 1 counts as 1). When the budget
// runs out the latest estimate is returned without a convergence test.
template <class Fn>
std::optional<double> brent_root(Fn&& f, double lower, double upper,
                                 int max_evaluations = kBrentMaxEvaluations) {
    double a = lower;
    double b = upper;
    double fa = f(a);
    double fb = f(b);
    if (std::isnan(fa) || std::isnan(fb) || same_sign(fa, fb)) return std::nullopt;

    double c = a;
    double fc = fa;
    double d = b - a;
    double e = d;
    int remaining = max_evaluations;

    for (;;) {
        if (same_sign(fb, fc)) {
            // The root left [b, c]: the contrapoint goes back to the previous estimate.
            c = a;
            fc = fa;
            d = b - a;
            e = d;
        }
        if (std::fabs(fc) < std::fabs(fb)) {
            // Keep b as the better point.
            a = b;
            b = c;
            c = a;
            fa = fb;
            fb = fc;
            fc = fa;
        }
        const double tol1 = std::fabs(b) * kBrentRelTol + kBrentAbsTol;
        const double xm = 0.5 * (c - b);
        if (std::fabs(xm) <= tol1 || fb == 0.0) return b;

        if (std::fabs(e) >= tol1 && std::fabs(fa) > std::fabs(fb)) {
            const double s = fb / fa;
            double p;
            double q;
            if (a == c) {
                // Only two distinct points: secant step.
                p = 2.0 * xm * s;
                q = 1.0 - s;
            } else {
                // Inverse quadratic interpolation through a, b and c.
                q = fa / fc;
                const double r = fb / fc;
                p = s * (2.0 * xm * q * (q - r) - (b - a) * (r - 1.0));
                q = (q - 1.0) * (r - 1.0) * (s - 1.0);
            }
            if (p > 0.0) q = -q;
            p = std::fabs(p);
            if (2.0 * p < 3.0 * xm * q - std::fabs(tol1 * q) && p < std::fabs(0.5 * e * q)) {
                e = d;
                d = p / q;
            } else {
                d = xm;
                e = d;
            }
        } else {
            d = xm;
            e = d;
        }

        a = b;
        fa = fb;
        b += std::fabs(d) > tol1 ? d : std::copysign(tol1, xm);
        fb = f(b);
        if (--remaining <= 0) return b;
    }
}

}  // namespace korvex::pricing
