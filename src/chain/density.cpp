#include "chain/density.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "volmodel/vol_model.hpp"

namespace korvex::chain {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double root_2pi() noexcept { return std::sqrt(2.0 * 3.14159265358979323846); }

}  // namespace

double durrleman_g(double k, double w, double w1, double w2) noexcept {
    const double a = 1.0 - k * w1 / (2.0 * w);
    return a * a - 0.25 * w1 * w1 * (1.0 / w + 0.25) + 0.5 * w2;
}

double durrleman_g(double k, double w_minus, double w0, double w_plus, double h) noexcept {
    const double w1 = (w_plus - w_minus) / (2.0 * h);
    const double w2 = (w_plus - 2.0 * w0 + w_minus) / (h * h);
    return durrleman_g(k, w0, w1, w2);
}

double density_from_variance(double k, double w, double w1, double w2) noexcept {
    if (!(w > 0.0)) return kNaN;
    const double g = durrleman_g(k, w, w1, w2);
    const double sw = std::sqrt(w);
    const double d2 = -k / sw - 0.5 * sw;
    return g * std::exp(-0.5 * d2 * d2) / (sw * root_2pi());
}

void density_on_grid(EvaluateFn evaluate, const double* params, double ttx, double spot, const double* k,
                     std::size_t n, double* out) {
    if (n == 0) return;
    std::vector<double> strikes(n), w(n);
    for (std::size_t i = 0; i < n; ++i) strikes[i] = spot * std::exp(k[i]);
    evaluate(params, ttx, spot, strikes.data(), n, w.data());
    for (std::size_t i = 0; i < n; ++i) w[i] = w[i] * w[i] * ttx;
    const double h = n > 1 ? k[1] - k[0] : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        // Derivatives from the nearest centred stencil (the ends use their
        // neighbour's); fewer than three points have none.
        double w1 = kNaN, w2 = kNaN;
        if (n >= 3) {
            const std::size_t j = i == 0 ? 1 : (i == n - 1 ? n - 2 : i);
            w1 = (w[j + 1] - w[j - 1]) / (2.0 * h);
            w2 = (w[j + 1] - 2.0 * w[j] + w[j - 1]) / (h * h);
        }
        out[i] = density_from_variance(k[i], w[i], w1, w2);
    }
}

// ---------------------------------------------------------------- the spline

SplineVariance::SplineVariance(const double* params, double ttx, double spot) noexcept {
    const volmodel::CubicSmile::Prepared c = volmodel::CubicSmile::prepare(params, ttx, spot);
    ttx_ = ttx;
    r_ = c.r;
    atm_ = c.atm;
    y_ = c.y;
    m_ = c.m;
    // The model's standardised moneyness is x = ln(K / spot) / r / atm * 100:
    // a knot x sits at k = x * sd (mirrored where atm is negative).
    sd_ = r_ * atm_ / 100.0;
    if (!(std::isfinite(sd_) && sd_ != 0.0)) sd_ = kNaN;
    for (std::size_t i = 0; i < kKnots; ++i) knots_k_[i] = volmodel::CubicSmile::kX[i] * sd_;
    if (sd_ < 0.0) std::reverse(knots_k_.begin(), knots_k_.end());
}

SplineVariance::Value SplineVariance::at(double k, double inside) const noexcept {
    constexpr auto& X = volmodel::CubicSmile::kX;
    constexpr std::size_t last = kKnots - 1;
    if (!std::isfinite(sd_)) return {kNaN, kNaN, kNaN};
    const double x = ((k / r_) / atm_) * 100.0;
    const double c = 100.0 / (r_ * atm_);  // dx / dk
    const double xi = inside / sd_;
    double v = 0.0, v1 = 0.0, v2 = 0.0;
    if (xi <= X[0] || xi >= X[last]) {
        // The straight continuations of the end secants.
        const std::size_t j = xi <= X[0] ? 0 : last - 1;
        const double s = (y_[j + 1] - y_[j]) / (X[j + 1] - X[j]);
        const std::size_t at = xi <= X[0] ? 0 : last;
        v = (x - X[at]) * s + y_[at];
        v1 = s;
    } else {
        std::size_t i = 0;
        while (i + 1 < last && X[i + 1] <= xi) ++i;
        const double h = X[i + 1] - X[i];
        const double t = (x - X[i]) / h;
        const double t2 = t * t;
        const double t3 = t2 * t;
        // The cubic Hermite basis and its first two derivatives in t.
        const double h00 = (2.0 * t3 - 3.0 * t2) + 1.0, h10 = (t3 - 2.0 * t2) + t;
        const double h01 = 3.0 * t2 - 2.0 * t3, h11 = t3 - t2;
        const double d00 = 6.0 * t2 - 6.0 * t, d10 = (3.0 * t2 - 4.0 * t) + 1.0;
        const double d01 = 6.0 * t - 6.0 * t2, d11 = 3.0 * t2 - 2.0 * t;
        const double e00 = 12.0 * t - 6.0, e10 = 6.0 * t - 4.0;
        const double e01 = 6.0 - 12.0 * t, e11 = 6.0 * t - 2.0;
        v = (h10 * h) * m_[i] + h00 * y_[i] + h01 * y_[i + 1] + (h11 * h) * m_[i + 1];
        v1 = (d00 * y_[i] + d01 * y_[i + 1]) / h + d10 * m_[i] + d11 * m_[i + 1];
        v2 = (e00 * y_[i] + e01 * y_[i + 1]) / (h * h) + (e10 * m_[i] + e11 * m_[i + 1]) / h;
    }
    return {ttx_ * v, ttx_ * v1 * c, ttx_ * v2 * c * c};
}

// ---------------------------------------------------------------- the scan

namespace {

// One point of the scan: where, which piece (the spline: a log-moneyness
// inside it), the difference step (smooth models), and what was found.
struct Sample {
    double k, inside, h;
    double f = kNaN;    // density
    double w = kNaN;    // total variance
    double w2 = kNaN;   // its second derivative
    double rho = kNaN;  // phi(d2) / sqrt(w): the density per unit of g
};

class Source {
public:
    Source(const ModelKind& kind, const double* params, double ttx, double spot)
        : kind_(kind), params_(params), ttx_(ttx), spot_(spot),
          spline_(kind.name == std::string_view(volmodel::CubicSmile::kName)) {
        // The spline's closed form reads the spline's own parameter slots:
        // another model's (shorter) vector must never reach it.
        if (spline_) {
            variance_.emplace(params, ttx, spot);
            sd_ = std::fabs(variance_->scale());
        } else {
            double v = kNaN;
            kind.evaluate(params, ttx, spot, &spot, 1, &v);
            sd_ = v * std::sqrt(ttx);
        }
    }

    bool spline() const noexcept { return spline_; }
    double sd() const noexcept { return sd_; }
    // Only for the spline (spline() is true).
    const SplineVariance& variance() const noexcept { return *variance_; }

    void eval(Sample* s, std::size_t n) {
        evaluations += n;
        const double rt = root_2pi();
        if (spline_) {
            for (std::size_t i = 0; i < n; ++i) {
                const SplineVariance::Value v = variance_->at(s[i].k, s[i].inside);
                finish(s[i], v.w, v.w1, v.w2, rt);
            }
            return;
        }
        strikes_.resize(3 * n);
        vols_.resize(3 * n);
        for (std::size_t i = 0; i < n; ++i) {
            strikes_[3 * i] = spot_ * std::exp(s[i].k - s[i].h);
            strikes_[3 * i + 1] = spot_ * std::exp(s[i].k);
            strikes_[3 * i + 2] = spot_ * std::exp(s[i].k + s[i].h);
        }
        kind_.evaluate(params_, ttx_, spot_, strikes_.data(), 3 * n, vols_.data());
        for (std::size_t i = 0; i < n; ++i) {
            const double wm = vols_[3 * i] * vols_[3 * i] * ttx_;
            const double w0 = vols_[3 * i + 1] * vols_[3 * i + 1] * ttx_;
            const double wp = vols_[3 * i + 2] * vols_[3 * i + 2] * ttx_;
            const double h = s[i].h;
            finish(s[i], w0, (wp - wm) / (2.0 * h), (wp - 2.0 * w0 + wm) / (h * h), rt);
        }
    }

    double at(double k, double inside, double h) {
        Sample s{k, inside, h};
        eval(&s, 1);
        return s.f;
    }

    std::size_t evaluations = 0;

private:
    // density_from_variance, with the normal factor rho kept for the scan.
    static void finish(Sample& s, double w, double w1, double w2, double rt) noexcept {
        s.w = w;
        s.w2 = w2;
        const double sw = std::sqrt(w);
        const double d2 = -s.k / sw - 0.5 * sw;
        const double e = std::exp(-0.5 * d2 * d2);
        s.rho = e / (sw * rt);
        s.f = !(w > 0.0) ? kNaN : durrleman_g(s.k, w, w1, w2) * e / (sw * rt);
    }

    const ModelKind& kind_;
    const double* params_;
    double ttx_, spot_;
    bool spline_;
    std::optional<SplineVariance> variance_;
    double sd_ = kNaN;
    std::vector<double> strikes_, vols_;
};

// Sample spacing: 0.1 of the local scale, the at-the-money deviation near
// the money and a fifth of |k| far out (where a smile's features widen with
// the distance); the smooth models' difference step 1 % of the spacing,
// between 1e-4 and 1e-3 of the scale (finer steps lose more to rounding
// than they gain).
struct Scales {
    double sd;
    double scale(double k) const noexcept { return std::max(sd, 0.2 * std::fabs(k)); }
    double step(double k) const noexcept { return 0.1 * scale(k); }
    double diff(double k, double spacing) const noexcept {
        const double l = scale(k);
        return std::clamp(0.01 * spacing, 1e-4 * l, 1e-3 * l);
    }
};

constexpr double kGolden = 0.6180339887498949;
constexpr int kRefineRounds = 12;
constexpr std::size_t kMaxSamples = 20000;
constexpr std::size_t kMaxMinima = 32;

// Golden-section search of [a, b] for the lowest (sign 1) or highest (sign
// -1) density of one piece; returns (k, density) of the best point seen,
// the ends included.
std::pair<double, double> golden(Source& src, const Scales& sc, double inside, double a, double fa, double b,
                                 double fb, double sign) {
    const double h = sc.diff(0.5 * (a + b), 0.5 * (b - a));
    auto better = [&](double f, double than) { return sign * f < sign * than || std::isnan(than); };
    double best_k = a, best_f = fa;
    if (better(fb, best_f)) best_k = b, best_f = fb;
    double c = b - kGolden * (b - a), d = a + kGolden * (b - a);
    double fc = src.at(c, inside, h), fd = src.at(d, inside, h);
    const double tol = 1e-7 * sc.scale(0.5 * (a + b));
    for (int it = 0; it < 80 && b - a > tol; ++it) {
        if (better(fc, best_f)) best_k = c, best_f = fc;
        if (better(fd, best_f)) best_k = d, best_f = fd;
        if (!(sign * fd < sign * fc)) {
            b = d;
            d = c;
            fd = fc;
            c = b - kGolden * (b - a);
            fc = src.at(c, inside, h);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + kGolden * (b - a);
            fd = src.at(d, inside, h);
        }
    }
    if (better(fc, best_f)) best_k = c, best_f = fc;
    if (better(fd, best_f)) best_k = d, best_f = fd;
    return {best_k, best_f};
}

// The samples of one piece [a, b]: a, then steps of the local spacing, then b.
std::vector<Sample> place(const Scales& sc, double a, double b, double inside) {
    std::vector<Sample> out;
    double k = a;
    while (true) {
        const double s = sc.step(k);
        out.push_back({k, inside, sc.diff(k, s)});
        if (out.size() >= kMaxSamples || !(k + s < b - 0.25 * s)) break;
        k += s;
    }
    if (b > a) out.push_back({b, inside, sc.diff(b, sc.step(b))});
    return out;
}

// The second derivative of the variance that its values at three samples
// imply (twice their second divided difference, a weighted mean of w'' over
// [k0, k2]), against what the same mean would be were w'' the parabola
// through its values at the samples. They disagree where w'' has a feature
// the samples do not resolve.
double curvature_mismatch(const Sample& s0, const Sample& s1, const Sample& s2) noexcept {
    const double h1 = s1.k - s0.k, h2 = s2.k - s1.k;
    const double dd = 2.0 * ((s2.w - s1.w) / h2 - (s1.w - s0.w) / h1) / (h1 + h2);
    const double a = s0.w2, b = s1.w2, c = s2.w2;
    const double r = (h1 * (c - b) + h2 * (a - b)) / (h1 * h2 * (h1 + h2));
    const double p = ((c - b) - r * h2 * h2) / h2;
    const double mean = b + p * (h2 - h1) / 3.0 + r * ((h1 * h1 - h1 * h2) + h2 * h2) / 6.0;
    return std::fabs(dd - mean);
}

// Smooth models: samples added halfway wherever the curvature of the
// variance is not resolved where it matters (its effect on the density
// beyond 1e-4 of the peak), until it is or the spacing reaches 1e-4 of the
// scale.
void refine_smooth(Source& src, const Scales& sc, std::vector<Sample>& s) {
    for (int round = 0; round < kRefineRounds && s.size() >= 3 && s.size() < kMaxSamples; ++round) {
        double peak = 0.0;
        for (const Sample& x : s) {
            if (x.f > peak) peak = x.f;
        }
        std::vector<char> split(s.size(), 0);  // split[i]: the interval (i, i + 1)
        bool any = false;
        for (std::size_t i = 1; i + 1 < s.size(); ++i) {
            const double rho = std::max({s[i - 1].rho, s[i].rho, s[i + 1].rho});
            const double miss = curvature_mismatch(s[i - 1], s[i], s[i + 1]);
            if (!(0.5 * miss * rho > 1e-4 * peak)) continue;
            for (std::size_t j : {i - 1, i}) {
                if (s[j + 1].k - s[j].k > 2e-4 * sc.scale(s[j].k)) split[j] = 1, any = true;
            }
        }
        if (!any) break;
        std::vector<Sample> added;
        for (std::size_t i = 0; i + 1 < s.size(); ++i) {
            if (!split[i]) continue;
            const double k = 0.5 * (s[i].k + s[i + 1].k);
            added.push_back({k, s[i].inside, sc.diff(k, 0.5 * (s[i + 1].k - s[i].k))});
        }
        src.eval(added.data(), added.size());
        std::vector<Sample> merged;
        merged.reserve(s.size() + added.size());
        std::merge(s.begin(), s.end(), added.begin(), added.end(), std::back_inserter(merged),
                   [](const Sample& x, const Sample& y) { return x.k < y.k; });
        s.swap(merged);
    }
}

bool negative(double f, double floor) noexcept { return !(f >= -floor); }

}  // namespace

DensityScan scan_density(const ModelKind& kind, const double* params, double ttx, double spot, double k_lo,
                         double k_hi) {
    DensityScan out;
    Source src(kind, params, ttx, spot);
    if (!(std::isfinite(k_lo) && std::isfinite(k_hi) && k_lo <= k_hi)) {
        out.finite = false;
        out.lowest = out.peak = kNaN;
        return out;
    }
    double sd = src.sd();
    if (!(std::isfinite(sd) && sd > 0.0)) sd = std::max((k_hi - k_lo) / 40.0, 1e-8);
    const Scales sc{sd};

    // Pieces: the spline's knots split the range; a smooth smile is one piece.
    std::vector<double> edges{k_lo};
    if (src.spline()) {
        for (double kn : src.variance().knots()) {
            if (kn > k_lo && kn < k_hi) edges.push_back(kn);
        }
    }
    edges.push_back(k_hi);
    std::vector<std::vector<Sample>> pieces;
    for (std::size_t p = 0; p + 1 < edges.size(); ++p) {
        pieces.push_back(place(sc, edges[p], edges[p + 1], 0.5 * (edges[p] + edges[p + 1])));
        src.eval(pieces.back().data(), pieces.back().size());
        if (!src.spline()) refine_smooth(src, sc, pieces.back());
    }

    double peak = -kInf;
    std::size_t peak_p = 0, peak_i = 0;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        for (std::size_t i = 0; i < pieces[p].size(); ++i) {
            const Sample& s = pieces[p][i];
            if (!std::isfinite(s.f)) out.finite = false;
            if (s.f > peak) peak = s.f, peak_p = p, peak_i = i;
        }
    }
    if (!(peak > 0.0)) {
        // No positive density anywhere: nothing to measure against.
        out.finite = false;
        out.peak = peak;
        out.lowest = kNaN;
        out.regions = {k_lo, k_hi};
        out.evaluations = src.evaluations;
        return out;
    }
    // The peak, refined in its bracket.
    {
        const std::vector<Sample>& s = pieces[peak_p];
        const std::size_t a = peak_i == 0 ? 0 : peak_i - 1, b = std::min(peak_i + 1, s.size() - 1);
        const auto [k, f] = golden(src, sc, s[peak_i].inside, s[a].k, s[a].f, s[b].k, s[b].f, -1.0);
        out.peak = std::max(f, peak);
        out.peak_k = f > peak ? k : s[peak_i].k;
    }
    const double floor = kNegativeFloor * out.peak;

    // Each sampled local minimum near or below zero, refined in its bracket
    // (at an end of the range or of a piece too: a density falling towards
    // the end may turn up again just before it).
    struct Minimum {
        std::size_t piece;
        double k, f;
    };
    std::vector<Minimum> minima;
    out.lowest = kInf;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        const std::vector<Sample>& s = pieces[p];
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i].f < out.lowest) out.lowest = s[i].f, out.lowest_k = s[i].k;
            const bool left_ok = i == 0 || !(s[i - 1].f < s[i].f);
            const bool right_ok = i + 1 == s.size() || !(s[i + 1].f < s[i].f);
            if (!(left_ok && right_ok) || !(s[i].f < 0.01 * out.peak) || s.size() < 2) continue;
            if (minima.size() >= kMaxMinima) continue;
            const std::size_t a = i == 0 ? 0 : i - 1, b = std::min(i + 1, s.size() - 1);
            const auto [k, f] = golden(src, sc, s[i].inside, s[a].k, s[a].f, s[b].k, s[b].f, 1.0);
            minima.push_back({p, k, f});
            if (f < out.lowest) out.lowest = f, out.lowest_k = k;
        }
    }
    if (!std::isfinite(out.lowest)) out.lowest = kNaN;

    // The regions: runs of negative samples (the refined minima among them),
    // each edge bisected to where the density crosses the floor.
    for (const Minimum& m : minima) {
        std::vector<Sample>& s = pieces[m.piece];
        Sample x{m.k, s.front().inside, sc.diff(m.k, sc.step(m.k))};
        x.f = m.f;
        s.insert(std::upper_bound(s.begin(), s.end(), x, [](const Sample& u, const Sample& v) { return u.k < v.k; }),
                 x);
        if (negative(m.f, floor)) out.negative_k.push_back(m.k);
    }
    auto edge = [&](const Sample& in, const Sample& outside) {
        // in: negative, outside: not; same piece.
        double a = in.k, b = outside.k;
        for (int it = 0; it < 24; ++it) {
            const double c = 0.5 * (a + b);
            const double f = src.at(c, in.inside, sc.diff(c, std::fabs(b - a)));
            (negative(f, floor) ? a : b) = c;
        }
        return 0.5 * (a + b);
    };
    std::vector<double> neg_samples;
    bool open = false;
    const Sample* prev = nullptr;
    std::size_t prev_piece = 0;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        for (const Sample& s : pieces[p]) {
            const bool neg = negative(s.f, floor);
            if (neg) neg_samples.push_back(s.k);
            if (neg && !open) {
                out.regions.push_back(prev == nullptr ? s.k : (prev_piece == p ? edge(s, *prev) : s.k));
                open = true;
            } else if (!neg && open) {
                out.regions.push_back(prev_piece == p ? edge(*prev, s) : s.k);
                open = false;
            }
            prev = &s;
            prev_piece = p;
        }
    }
    if (open) out.regions.push_back(prev->k);
    // Up to 64 of the negative samples, evenly spread, for the fit to look at.
    const std::size_t n_neg = neg_samples.size();
    const std::size_t take = std::min<std::size_t>(n_neg, 64);
    for (std::size_t j = 0; j < take; ++j) out.negative_k.push_back(neg_samples[j * n_neg / take]);
    out.evaluations = src.evaluations;
    return out;
}

}  // namespace korvex::chain
