// The volatility surface of korvex_chain on flat smiles, where every rule
// in time and every delta strike has a closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string_view>
#include <vector>

#include "chain/column.hpp"
#include "chain/smile_kernels.hpp"
#include "chain/surface.hpp"

namespace {

using korvex::chain::Column;
using korvex::chain::find_model_kind;
using korvex::chain::ModelKind;
using korvex::chain::SurfaceNode;
using korvex::chain::VolSurface;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A CubicSpline whose knot increments are all zero: vol `vol` at every strike.
SurfaceNode flat_node(double vol, double forward, double time) {
    const ModelKind* kind = find_model_kind("CubicSpline");
    EXPECT_NE(kind, nullptr);
    SurfaceNode node;
    node.smile = kind->evaluate;
    for (const auto& p : kind->params) {
        double v = p.default_value;
        if (p.name == "ref_vol") v = vol * 100.0;
        if (p.name == "ref_spot") v = forward;
        if (p.name.size() == 3 && (p.name[0] == 'p' || p.name[0] == 'c')) v = 0.0;  // p05..c25
        node.params.push_back(v);
    }
    node.ttx = time;
    node.forward = forward;
    node.time = time;
    node.variance_time = time;
    return node;
}

struct Values {
    double w, vol, fwd;
};

Values at(const VolSurface& s, double theta, double x, bool strikes = false) {
    Values v{};
    s.evaluate(Column<double>{&theta, 0}, Column<double>{&x, 0}, strikes, 1, &v.w, &v.vol, &v.fwd, 1);
    return v;
}

VolSurface two_flat_nodes() {
    return VolSurface({flat_node(0.5, 100.0, 0.1), flat_node(0.4, 104.0, 0.3)}, true);
}

TEST(VolSurface, FittedExpiriesAreTheSmilesThemselves) {
    const VolSurface s = two_flat_nodes();
    for (double k : {-0.5, 0.0, 0.3}) {
        EXPECT_EQ(at(s, 0.1, k).vol, 0.5);
        EXPECT_EQ(at(s, 0.3, k).vol, 0.4);
        EXPECT_EQ(at(s, 0.1, k).w, 0.5 * 0.5 * 0.1);
    }
    EXPECT_EQ(at(s, 0.1, 0.0).fwd, 100.0);
    EXPECT_EQ(at(s, 0.3, 0.0).fwd, 104.0);
    EXPECT_EQ(at(s, 0.3, 80.0, true).vol, 0.4);  // a strike at the node itself
}

TEST(VolSurface, TotalVarianceAndLogForwardLinearInTime) {
    const VolSurface s = two_flat_nodes();
    const double w1 = 0.25 * 0.1, w2 = 0.16 * 0.3;
    for (double a : {0.1, 0.5, 0.9}) {
        const double t = 0.1 + a * 0.2;
        const Values v = at(s, t, 0.2);
        EXPECT_NEAR(v.w, (1 - a) * w1 + a * w2, 1e-15);
        EXPECT_NEAR(v.vol, std::sqrt(v.w / t), 1e-15);
        EXPECT_NEAR(std::log(v.fwd), (1 - a) * std::log(100.0) + a * std::log(104.0), 1e-14);
        // A strike is read at its own time's forward.
        EXPECT_NEAR(at(s, t, v.fwd * std::exp(0.2), true).w, v.w, 1e-15);
    }
}

TEST(VolSurface, BeforeTheFirstAndAfterTheLastExpiry) {
    const VolSurface s = two_flat_nodes();
    EXPECT_EQ(at(s, 0.05, 0.1).vol, 0.5);
    EXPECT_EQ(at(s, 0.0, 0.1).vol, 0.5);
    EXPECT_EQ(at(s, 0.0, 0.1).w, 0.0);
    EXPECT_TRUE(std::isnan(at(s, -1e-9, 0.1).vol));
    EXPECT_TRUE(std::isnan(at(s, kNaN, 0.1).w));
    EXPECT_TRUE(std::isnan(at(s, 0.2, -1.0, true).vol));  // no strike, no vol
    // The last interval's forward variance goes on.
    const double fv = (0.16 * 0.3 - 0.25 * 0.1) / 0.2;
    EXPECT_NEAR(at(s, 0.5, 0.0).w, 0.16 * 0.3 + 0.2 * fv, 1e-15);
    // ... floored at zero where total variance falls.
    const VolSurface falling({flat_node(0.5, 100.0, 0.1), flat_node(0.2, 100.0, 0.3)}, true);
    EXPECT_EQ(at(falling, 0.7, 0.0).w, 0.2 * 0.2 * 0.3);
    // ln F continues with the nearest interval's slope.
    const double slope = (std::log(104.0) - std::log(100.0)) / 0.2;
    EXPECT_NEAR(at(s, 0.0, 0.0).fwd, 100.0 * std::exp(-0.1 * slope), 1e-12);
    // One expiry: its vol at fixed k for ever, a flat forward.
    const VolSurface one({flat_node(0.5, 100.0, 0.1)}, true);
    EXPECT_EQ(at(one, 3.0, 0.4).vol, 0.5);
    EXPECT_EQ(at(one, 3.0, 0.4).fwd, 100.0);
}

TEST(VolSurface, AnotherClockRestatesTheVols) {
    SurfaceNode node = flat_node(0.5, 100.0, 0.2);
    node.variance_time = 0.1;  // the smile's clock: half the surface's time
    node.vol_scale = std::sqrt(0.1 / 0.2);
    const VolSurface s({node}, false);
    EXPECT_EQ(at(s, 0.2, 0.0).w, 0.25 * 0.1);
    EXPECT_NEAR(at(s, 0.2, 0.0).vol, 0.5 * std::sqrt(0.5), 1e-16);
}

TEST(VolSurface, DeltaStrikesOfAFlatSmileInClosedForm) {
    const VolSurface s = two_flat_nodes();
    const double theta[] = {0.1, 0.2, 0.5};
    const double targets[] = {0.25, -0.25, 0.10, 0.0};
    constexpr std::size_t nt = 4;
    double k[3 * nt], vol[3 * nt];
    s.delta_strikes(theta, 3, targets, nt, false, k, vol);
    const double z25 = 0.6744897501960817;  // N^-1(0.75)
    const double z10 = 1.2815515655446004;  // N^-1(0.90)
    for (std::size_t r = 0; r < 3; ++r) {
        const double w = at(s, theta[r], 0.0).w;
        const double u = std::sqrt(w);
        EXPECT_NEAR(k[r * nt + 0], w / 2 + z25 * u, 1e-10);  // N(d1) = 0.25
        EXPECT_NEAR(k[r * nt + 1], w / 2 - z25 * u, 1e-10);  // N(d1) - 1 = -0.25
        EXPECT_NEAR(k[r * nt + 2], w / 2 + z10 * u, 1e-10);
        EXPECT_NEAR(k[r * nt + 3], w / 2, 1e-10);            // the straddle: d1 = 0
        EXPECT_NEAR(vol[r * nt], std::sqrt(w / theta[r]), 1e-15);
    }
    // Premium-adjusted: e^k N(d2) = 0.25 on the out-of-the-money side, and
    // the straddle at d2 = 0.
    s.delta_strikes(theta, 3, targets, nt, true, k, vol);
    for (std::size_t r = 0; r < 3; ++r) {
        const double u = std::sqrt(at(s, theta[r], 0.0).w);
        const double kc = k[r * nt];
        const double d2 = -kc / u - u / 2;
        EXPECT_NEAR(std::exp(kc) * 0.5 * std::erfc(-d2 / std::sqrt(2.0)), 0.25, 1e-12);
        EXPECT_GT(kc, -u * u / 2);  // right of the peak of the premium-adjusted delta
        EXPECT_NEAR(k[r * nt + 3], -u * u / 2, 1e-10);
    }
    // No time, no strike.
    const double none[] = {-0.1};
    s.delta_strikes(none, 1, targets, 1, false, k, vol);
    EXPECT_TRUE(std::isnan(k[0]) && std::isnan(vol[0]));
}

}  // namespace
