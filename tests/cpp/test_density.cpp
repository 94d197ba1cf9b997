// The risk-neutral density of korvex_chain's butterfly check: the spline's
// variance and its derivatives in closed form, and the scan for the lowest
// density, against the models' own vols and known densities.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "chain/density.hpp"
#include "chain/smile_kernels.hpp"
#include "volmodel/vol_model.hpp"

namespace {

using korvex::chain::density_from_variance;
using korvex::chain::find_model_kind;
using korvex::chain::ModelKind;
using korvex::chain::scan_density;
using korvex::chain::SplineVariance;
using korvex::volmodel::CubicSmile;

constexpr double kTtx = 0.05;
constexpr double kSpot = 100.0;

// A spline whose density dips below zero right next to its knot at -1.5
// deviations, over a stretch narrower than most grids' spacing.
std::array<double, 13> dipping_spline() {
    // vpr, ref_spot, ref_vol, p05, p10, p15, p20, p25, c05, c10, c15, c20, c25
    return {1.0, kSpot, 60.0, -1.6, -0.7, 2.6, -0.8, 3.2, 1.7, 4.0, 2.4, -0.2, 5.7};
}

const ModelKind& kind(const char* name) { return *find_model_kind(name); }

double model_w(const ModelKind& m, const double* p, double k) {
    const double strike = kSpot * std::exp(k);
    double v = 0.0;
    m.evaluate(p, kTtx, kSpot, &strike, 1, &v);
    return v * v * kTtx;
}

TEST(SplineVariance, MatchesTheModelsVolsAndTheirDifferences) {
    const auto p = dipping_spline();
    const SplineVariance sv(p.data(), kTtx, kSpot);
    const ModelKind& m = kind("CubicSpline");
    const double sd = sv.scale();
    EXPECT_NEAR(sd, 0.6 * std::sqrt(kTtx), 1e-15);
    std::vector<double> xs{-7.0, -5.5};
    for (std::size_t i = 0; i + 1 < CubicSmile::kKnots; ++i) {
        for (double t : {0.2, 0.5, 0.8}) xs.push_back(CubicSmile::kX[i] + t * (CubicSmile::kX[i + 1] - CubicSmile::kX[i]));
    }
    xs.insert(xs.end(), {5.5, 7.0});
    for (double x : xs) {
        const double k = x * sd;
        const SplineVariance::Value v = sv.at(k, k);
        const double h = 1e-4 * sd;
        const double wm = model_w(m, p.data(), k - h), w0 = model_w(m, p.data(), k), wp = model_w(m, p.data(), k + h);
        EXPECT_NEAR(v.w, w0, 1e-14 * w0) << x;
        EXPECT_NEAR(v.w1, (wp - wm) / (2.0 * h), 1e-6 * std::fabs(w0 / sd)) << x;
        EXPECT_NEAR(v.w2, (wp - 2.0 * w0 + wm) / (h * h), 1e-5 * std::fabs(w0 / (sd * sd))) << x;
    }
    // At a knot the two pieces agree on the variance and its slope; the
    // curvature jumps.
    const double knot = sv.knots()[2];
    const SplineVariance::Value left = sv.at(knot, knot - 0.1 * sd), right = sv.at(knot, knot + 0.1 * sd);
    EXPECT_NEAR(left.w, right.w, 1e-15);
    EXPECT_NEAR(left.w1, right.w1, 1e-12);
    EXPECT_GT(std::fabs(left.w2 - right.w2), 1e-3);
}

// The lowest density of the spline over [lo, hi] from a dense sampling of
// each piece between its knots, both ends included.
double dense_spline_lowest(const SplineVariance& sv, double lo, double hi, double* peak) {
    std::vector<double> edges{lo};
    for (double kn : sv.knots()) {
        if (kn > lo && kn < hi) edges.push_back(kn);
    }
    edges.push_back(hi);
    double low = INFINITY;
    *peak = -INFINITY;
    for (std::size_t p = 0; p + 1 < edges.size(); ++p) {
        const double a = edges[p], b = edges[p + 1], inside = 0.5 * (a + b);
        for (int i = 0; i <= 200000; ++i) {
            const double k = a + (b - a) * i / 200000.0;
            const SplineVariance::Value v = sv.at(k, inside);
            const double f = density_from_variance(k, v.w, v.w1, v.w2);
            low = std::min(low, f);
            *peak = std::max(*peak, f);
        }
    }
    return low;
}

TEST(ScanDensity, FindsTheSplinesDipNextToAKnot) {
    const auto p = dipping_spline();
    const SplineVariance sv(p.data(), kTtx, kSpot);
    const double sd = sv.scale(), lo = -4.0 * sd, hi = 4.0 * sd;
    double peak = 0.0;
    const double low = dense_spline_lowest(sv, lo, hi, &peak);
    ASSERT_LT(low, -0.005 * peak);
    const auto s = scan_density(kind("CubicSpline"), p.data(), kTtx, kSpot, lo, hi);
    EXPECT_TRUE(s.finite);
    EXPECT_NEAR(s.lowest, low, 1e-6 * std::fabs(low));
    EXPECT_NEAR(s.peak, peak, 1e-9 * peak);
    // The dip starts at the knot and is one region that holds the lowest point.
    ASSERT_EQ(s.regions.size(), 2u);
    EXPECT_NEAR(s.regions[0], sv.knots()[2], 1e-12);
    EXPECT_LE(s.regions[0], s.lowest_k);
    EXPECT_GE(s.regions[1], s.lowest_k);
    EXPECT_LT(s.regions[1] - s.regions[0], 0.02 * sd);
    ASSERT_FALSE(s.negative_k.empty());
    EXPECT_NEAR(s.negative_k.front(), s.lowest_k, 1e-12);
}

// VolGeo's density in closed form: its variance is the larger root of a
// quadratic in x = k / sqrt(ttx), differentiated exactly (spot = ref_spot).
double volgeo_density(double ref_vol, double corr, double vvol, double k) {
    const double r = std::sqrt(kTtx), rho = std::tanh(corr), s0 = ref_vol / 100.0;
    const double beta = vvol * rho / 100.0, gamma = (1.0 - rho * rho) * vvol * vvol / (s0 * 100.0) / 100.0;
    const double x = k / r, b = 2.0 * beta * s0 * x + s0 * s0, b1 = 2.0 * beta * s0;
    const double q = std::sqrt(4.0 * gamma * x * x + b * b);
    const double q1 = (4.0 * gamma * x + b * b1) / q, q2 = (4.0 * gamma + b1 * b1 - q1 * q1) / q;
    return density_from_variance(k, kTtx * (q + b) / 2.0, r * (q1 + b1) / 2.0, q2 / 2.0);
}

TEST(ScanDensity, FindsAVolGeoDipAsItsClosedFormDoes) {
    const std::array<double, 6> p{1.0, kSpot, 60.0, -0.3, 100.0, 0.0};
    const double sd = 0.6 * std::sqrt(kTtx), lo = -4.0 * sd, hi = 4.0 * sd;
    double low = INFINITY, low_k = 0.0, peak = -INFINITY;
    for (int i = 0; i <= 400000; ++i) {
        const double k = lo + (hi - lo) * i / 400000.0, f = volgeo_density(60.0, -0.3, 100.0, k);
        if (f < low) low = f, low_k = k;
        peak = std::max(peak, f);
    }
    ASSERT_LT(low, -1e-3 * peak);
    const ModelKind& m = kind("VolGeo");
    const auto s = scan_density(m, p.data(), kTtx, kSpot, lo, hi);
    EXPECT_NEAR(s.lowest / s.peak, low / peak, 1e-4 * std::fabs(low / peak));
    EXPECT_NEAR(s.lowest_k, low_k, 1e-3 * sd);
    ASSERT_EQ(s.regions.size(), 2u);
    EXPECT_LT(s.regions[0], low_k);
    EXPECT_GT(s.regions[1], low_k);
    EXPECT_NEAR(volgeo_density(60.0, -0.3, 100.0, s.regions[0]), 0.0, 1e-6 * peak);
    EXPECT_NEAR(volgeo_density(60.0, -0.3, 100.0, s.regions[1]), 0.0, 1e-6 * peak);
    // A range that ends a little short of the lowest point, nearer than the
    // samples' spacing: the minimum between the end and its neighbour is
    // still found.
    for (double gap : {0.01, 0.03, 0.07}) {
        const auto t = scan_density(m, p.data(), kTtx, kSpot, low_k - gap * sd, hi);
        EXPECT_NEAR(t.lowest, s.lowest, 1e-4 * std::fabs(s.lowest)) << gap;
        const auto u = scan_density(m, p.data(), kTtx, kSpot, lo, low_k + gap * sd);
        EXPECT_NEAR(u.lowest, s.lowest, 1e-4 * std::fabs(s.lowest)) << gap;
    }
}

TEST(ScanDensity, AFlatSmilesDensityIsTheLognormal) {
    // GVVSpline with no skew, smile or wings is flat: the density of
    // ln(S_T / F) is normal with variance w and mean -w / 2.
    const std::array<double, 8> p{1.0, kSpot, 40.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const double w = 0.16 * kTtx;
    const auto s = scan_density(kind("GVVSpline"), p.data(), kTtx, kSpot, -1.0, 1.0);
    EXPECT_TRUE(s.finite);
    EXPECT_TRUE(s.regions.empty());
    EXPECT_NEAR(s.peak, 1.0 / std::sqrt(2.0 * 3.14159265358979323846 * w), 1e-6 * s.peak);
    EXPECT_NEAR(s.peak_k, -0.5 * w, 1e-5);
    EXPECT_GE(s.lowest, 0.0);
}

TEST(ScanDensity, ARangeThatIsNoRangeOrASmileWithoutVariance) {
    const auto p = dipping_spline();
    const ModelKind& m = kind("CubicSpline");
    EXPECT_FALSE(scan_density(m, p.data(), kTtx, kSpot, 0.1, -0.1).finite);
    EXPECT_FALSE(scan_density(m, p.data(), kTtx, kSpot, NAN, 0.1).finite);
    auto flat = p;
    flat[2] = 0.0;  // ref_vol 0: no variance anywhere
    const auto s = scan_density(m, flat.data(), kTtx, kSpot, -0.1, 0.1);
    EXPECT_FALSE(s.finite);
    ASSERT_EQ(s.regions.size(), 2u);
    EXPECT_EQ(s.regions[0], -0.1);
    EXPECT_EQ(s.regions[1], 0.1);
}

}  // namespace
