// Brent's bracketed root finder (inverse quadratic interpolation and secant
// steps, guarded by bisection) with the fixed tolerance and evaluation budget
// used by the implied-volatility search.
//
// The algorithm lives once, in BrentSearch, as a resumable search: it names
// the abscissa it wants evaluated next and is fed the function value there.
// brent_root() drives one search with a callable; the array kernels drive
// several independent searches side by side, so that the price evaluations
// of different options overlap in the processor, and still walk exactly the
// same iterates as the scalar search.
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

// True when x and y are both positive or both negative. A zero or a NaN has
// no sign here. Written as comparisons rather than as x * y > 0, whose
// product underflows to zero for tiny values (1e-170 squared) and would then
// hide a missing sign change.
inline bool same_sign(double x, double y) noexcept {
    return (x > 0.0 && y > 0.0) || (x < 0.0 && y < 0.0);
}

class BrentSearch {
public:
    enum class Step {
        Evaluate,      // wants f(abscissa())
        Root,          // finished: root() is the estimate
        NotBracketed,  // finished: no sign change between the bracket ends
    };

    BrentSearch() noexcept = default;

    // Starts a search for a zero on [lower, upper] that may evaluate the
    // function max_evaluations times after the two bracket ends (a budget
    // below 1 counts as 1). The first abscissa wanted is `lower`.
    BrentSearch(double lower, double upper, int max_evaluations = kBrentMaxEvaluations) noexcept
        : a_(lower), b_(upper), x_(lower), remaining_(max_evaluations) {}

    // The point whose function value feed() expects next.
    double abscissa() const noexcept { return x_; }

    // Takes f(abscissa()) and advances the search to the next evaluation
    // or to its end.
    Step feed(double fx) noexcept {
        switch (phase_) {
            case Phase::Lower:
                fa_ = fx;
                x_ = b_;
                phase_ = Phase::Upper;
                return Step::Evaluate;
            case Phase::Upper:
                fb_ = fx;
                // A NaN end value says nothing about a sign change, and
                // searching anyway would walk towards one end and report it
                // as a root.
                if (std::isnan(fa_) || std::isnan(fb_) || same_sign(fa_, fb_)) {
                    phase_ = Phase::Done;
                    return Step::NotBracketed;
                }
                c_ = a_;
                fc_ = fa_;
                d_ = b_ - a_;
                e_ = d_;
                phase_ = Phase::Iterate;
                return iterate();
            case Phase::Iterate:
                fb_ = fx;
                // Out of budget: the latest estimate, without a convergence test.
                if (--remaining_ <= 0) {
                    phase_ = Phase::Done;
                    return Step::Root;
                }
                return iterate();
            case Phase::Done:
                break;
        }
        return Step::Root;
    }

    // The estimate once feed() has returned Step::Root.
    double root() const noexcept { return b_; }
    // The function values at the lower and upper bracket ends once feed()
    // has returned Step::NotBracketed: their signs tell a target below the
    // range from one above it.
    double f_lower() const noexcept { return fa_; }
    double f_upper() const noexcept { return fb_; }

private:
    enum class Phase : unsigned char { Lower, Upper, Iterate, Done };

    // One pass of the loop up to the next evaluation, or to convergence.
    Step iterate() noexcept {
        if (same_sign(fb_, fc_)) {
            // The root left [b, c]: the contrapoint goes back to the previous estimate.
            c_ = a_;
            fc_ = fa_;
            d_ = b_ - a_;
            e_ = d_;
        }
        if (std::fabs(fc_) < std::fabs(fb_)) {
            // Keep b as the better point.
            a_ = b_;
            b_ = c_;
            c_ = a_;
            fa_ = fb_;
            fb_ = fc_;
            fc_ = fa_;
        }
        const double tol1 = std::fabs(b_) * kBrentRelTol + kBrentAbsTol;
        const double xm = 0.5 * (c_ - b_);
        if (std::fabs(xm) <= tol1 || fb_ == 0.0) {
            phase_ = Phase::Done;
            return Step::Root;
        }

        if (std::fabs(e_) >= tol1 && std::fabs(fa_) > std::fabs(fb_)) {
            const double s = fb_ / fa_;
            double p;
            double q;
            if (a_ == c_) {
                // Only two distinct points: secant step.
                p = 2.0 * xm * s;
                q = 1.0 - s;
            } else {
                // Inverse quadratic interpolation through a, b and c.
                q = fa_ / fc_;
                const double r = fb_ / fc_;
                p = s * (2.0 * xm * q * (q - r) - (b_ - a_) * (r - 1.0));
                q = (q - 1.0) * (r - 1.0) * (s - 1.0);
            }
            if (p > 0.0) q = -q;
            p = std::fabs(p);
            if (2.0 * p < 3.0 * xm * q - std::fabs(tol1 * q) && p < std::fabs(0.5 * e_ * q)) {
                e_ = d_;
                d_ = p / q;
            } else {
                d_ = xm;
                e_ = d_;
            }
        } else {
            d_ = xm;
            e_ = d_;
        }

        a_ = b_;
        fa_ = fb_;
        b_ += std::fabs(d_) > tol1 ? d_ : std::copysign(tol1, xm);
        x_ = b_;
        return Step::Evaluate;
    }

    // b: current best estimate; a: previous estimate; c: contrapoint, with
    // the root between b and c; d: last step; e: the step before it.
    double a_ = 0.0, b_ = 0.0, c_ = 0.0;
    double fa_ = 0.0, fb_ = 0.0, fc_ = 0.0;
    double d_ = 0.0, e_ = 0.0;
    double x_ = 0.0;
    int remaining_ = kBrentMaxEvaluations;
    Phase phase_ = Phase::Lower;
};

// Finds a zero of f on [lower, upper]. Returns std::nullopt when the bracket
// does not bracket: f has the same sign at both ends, or is NaN at either end.
//
// f is any callable double(double); it is called directly, at most
// max_evaluations + 2 times (a budget below 1 counts as 1), first at lower,
// then at upper. When the budget runs out the latest estimate is returned
// without a convergence test.
template <class Fn>
std::optional<double> brent_root(Fn&& f, double lower, double upper,
                                 int max_evaluations = kBrentMaxEvaluations) {
    BrentSearch search(lower, upper, max_evaluations);
    for (;;) {
        switch (search.feed(f(search.abscissa()))) {
            case BrentSearch::Step::Evaluate:
                break;
            case BrentSearch::Step::Root:
                return search.root();
            case BrentSearch::Step::NotBracketed:
                return std::nullopt;
        }
    }
}

}  // namespace korvex::pricing
