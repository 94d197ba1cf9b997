// Volatility smile models: shared parameter handling and the three formulas.
//
// Reference values with 12 or more digits were computed independently in
// 50-digit decimal arithmetic; shorter ones are the published worked values
// and are compared at the precision they are given with.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "volmodel/vol_model.hpp"

namespace {

using korvex::ParamMap;
using korvex::UtcInstant;
using korvex::volmodel::CubicSpline;
using korvex::volmodel::GVVSpline;
using korvex::volmodel::VolGeo;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const UtcInstant kExpiry = *UtcInstant::from_parts(1767225600, 0);  // 2026-01-01

std::string digits(double v, int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", n, v);
    return buf;
}

#define EXPECT_DIGITS(value, text, n) EXPECT_EQ(digits((value), (n)), (text))

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::map<std::string, double> sorted(const ParamMap& m) { return {m.begin(), m.end()}; }

template <class M>
M make(std::initializer_list<std::pair<const std::string, double>> values) {
    ParamMap p;
    for (const auto& kv : values) p.insert(kv);
    return M::with_params(kExpiry, p);
}

// ---------------------------------------------------------------------------
// Behaviour common to every model, checked against each model's own table.

template <class M>
struct Traits;

template <>
struct Traits<GVVSpline> {
    static inline const std::map<std::string, double> defaults{
        {"vpr", 1.0},   {"ref_spot", 100.0}, {"ref_vol", 50.0}, {"skew", 0.0},
        {"smile", 5.0}, {"pwing", 0.0},      {"cwing", 0.0},    {"offset", 0.0}};
    static inline const std::vector<std::string> fitting{"ref_vol", "skew", "smile"};
    static constexpr const char* name = "GVVSpline";
};

template <>
struct Traits<CubicSpline> {
    static inline const std::map<std::string, double> defaults{
        {"vpr", 1.0}, {"ref_spot", 100.0}, {"ref_vol", 50.0}, {"p05", 0.0}, {"p10", 0.0},
        {"p15", 0.0}, {"p20", 0.0},        {"p25", 0.0},      {"c05", 0.0}, {"c10", 0.0},
        {"c15", 0.0}, {"c20", 0.0},        {"c25", 0.0}};
    static inline const std::vector<std::string> fitting{
        "ref_vol", "p25", "p20", "p15", "p10", "p05", "c05", "c10", "c15", "c20", "c25"};
    static constexpr const char* name = "CubicSpline";
};

template <>
struct Traits<VolGeo> {
    static inline const std::map<std::string, double> defaults{
        {"vpr", 1.0},  {"ref_spot", 100.0}, {"ref_vol", 50.0},
        {"corr", 0.0}, {"vvol", 20.0},      {"offset", 0.0}};
    static inline const std::vector<std::string> fitting{"ref_vol", "corr", "vvol"};
    static constexpr const char* name = "VolGeo";
};

template <class M>
class AnyModel : public ::testing::Test {};
using Models = ::testing::Types<GVVSpline, CubicSpline, VolGeo>;
TYPED_TEST_SUITE(AnyModel, Models);

TYPED_TEST(AnyModel, DefaultsNamesAndFittingList) {
    using M = TypeParam;
    const M m(kExpiry);
    EXPECT_STREQ(M::kName, Traits<M>::name);
    EXPECT_EQ(sorted(m.get_param_dict()), Traits<M>::defaults);
    EXPECT_EQ(m.get_param_dict().size(), Traits<M>::defaults.size());
    EXPECT_EQ(m.get_fitting_params(), Traits<M>::fitting);
    EXPECT_TRUE(m.arb_free());
    EXPECT_EQ(m.expiry(), kExpiry);
    for (const auto& [name, value] : Traits<M>::defaults) {
        ASSERT_TRUE(m.get_parameter(name).has_value()) << name;
        EXPECT_EQ(*m.get_parameter(name), value) << name;
    }
}

TYPED_TEST(AnyModel, WithParamsTakesKnownNamesAndIgnoresTheRest) {
    using M = TypeParam;
    EXPECT_EQ(sorted(M::with_params(kExpiry, {}).get_param_dict()), Traits<M>::defaults);

    ParamMap p{{"ref_vol", -3.0}, {"vpr", kNaN}, {"REF_SPOT", 7.0}, {"ref_spot ", 7.0},
               {"bogus", 1.0}};
    const M m = M::with_params(kExpiry, p);
    auto expected = Traits<M>::defaults;
    expected["ref_vol"] = -3.0;  // nothing is validated
    expected.erase("vpr");
    auto got = sorted(m.get_param_dict());
    EXPECT_TRUE(std::isnan(got.at("vpr")));
    got.erase("vpr");
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(m.arb_free());
}

TYPED_TEST(AnyModel, UnknownNamesNeverChangeAnything) {
    using M = TypeParam;
    M m(kExpiry);
    for (const char* name : {"Ref_Vol", "REF_VOL", "ref_vol ", "", "expiry", "bogus"}) {
        EXPECT_FALSE(m.get_parameter(name).has_value()) << name;
        m.set_param(name, 3.0);
        m.bump_param(name, 3.0);
    }
    EXPECT_EQ(sorted(m.get_param_dict()), Traits<M>::defaults);
}

TYPED_TEST(AnyModel, SetParamStoresAnyValue) {
    using M = TypeParam;
    M m(kExpiry);
    m.set_param("ref_vol", -1e308);
    EXPECT_EQ(*m.get_parameter("ref_vol"), -1e308);
    m.set_param("ref_spot", kInf);
    EXPECT_EQ(*m.get_parameter("ref_spot"), kInf);
    m.set_param("vpr", kNaN);
    EXPECT_TRUE(std::isnan(*m.get_parameter("vpr")));
    // The dict is a snapshot.
    ParamMap d = m.get_param_dict();
    d["ref_vol"] = 1.0;
    EXPECT_EQ(*m.get_parameter("ref_vol"), -1e308);
}

TYPED_TEST(AnyModel, SingleStrikeMatchesListEvaluation) {
    using M = TypeParam;
    const M m = make<M>({{"ref_vol", 40.0}, {"ref_spot", 95.0}});
    const std::vector<double> strikes{100.0, 50.0, 95.0, 140.0, 1e-9, 0.0, -5.0, kNaN, kInf, 1e9};
    for (double ttx : {0.25, 1.0, 2.0, 0.0, -1.0}) {
        for (double spot : {100.0, 95.0, 80.0}) {
            const auto all = m.get_vol(ttx, spot, strikes);
            ASSERT_EQ(all.size(), strikes.size());
            for (std::size_t i = 0; i < strikes.size(); ++i) {
                EXPECT_TRUE(same_bits(all[i], m.get_vol_single(ttx, spot, strikes[i])))
                    << "ttx " << ttx << " spot " << spot << " strike " << strikes[i];
                // Each strike is evaluated on its own.
                EXPECT_TRUE(same_bits(all[i], m.get_vol(ttx, spot, {strikes[i]})[0]));
            }
        }
    }
    EXPECT_TRUE(m.get_vol(0.25, 100.0, {}).empty());
}

TYPED_TEST(AnyModel, BumpedAddsIncrementsKeepsExpiryAndLeavesSourceAlone) {
    using M = TypeParam;
    const M m(kExpiry);
    const M b = m.bumped({{"ref_vol", 2.5}, {"ref_spot", -10.0}, {"nope", 1.0}});
    auto expected = Traits<M>::defaults;
    expected["ref_vol"] = 52.5;
    expected["ref_spot"] = 90.0;
    EXPECT_EQ(sorted(b.get_param_dict()), expected);
    EXPECT_EQ(b.expiry(), kExpiry);
    EXPECT_EQ(sorted(m.get_param_dict()), Traits<M>::defaults);
}

TYPED_TEST(AnyModel, BumpAdmissibilityOfTheCandidateDecides) {
    using M = TypeParam;
    M m(kExpiry);
    m.bump_param("ref_vol", 0.5);
    EXPECT_EQ(*m.get_parameter("ref_vol"), 50.5);
    m.bump_param("ref_vol", -60.0);  // would leave the admissible region
    EXPECT_EQ(*m.get_parameter("ref_vol"), 50.5);
    m.bump_param("ref_vol", kNaN);
    EXPECT_EQ(*m.get_parameter("ref_vol"), 50.5);
    m.bump_param("ref_vol", 0.0);
    EXPECT_EQ(*m.get_parameter("ref_vol"), 50.5);

    // Untested parameters follow any bump, NaN included, while admissible...
    m.bump_param("ref_spot", kNaN);
    EXPECT_TRUE(std::isnan(*m.get_parameter("ref_spot")));
    m.bump_param("vpr", -kInf);
    EXPECT_EQ(*m.get_parameter("vpr"), -kInf);

    // ...but not on a model that is not admissible, even by zero...
    M bad(kExpiry);
    bad.set_param("ref_vol", 0.5);
    ASSERT_FALSE(bad.arb_free());
    bad.bump_param("vpr", 1.0);
    EXPECT_EQ(*bad.get_parameter("vpr"), 1.0);
    // ...until a bump brings it back in.
    bad.bump_param("ref_vol", 40.0);
    EXPECT_EQ(*bad.get_parameter("ref_vol"), 40.5);
    EXPECT_TRUE(bad.arb_free());
}

TYPED_TEST(AnyModel, ReanchorReadsTheVolBeforeMovingTheAnchor) {
    using M = TypeParam;
    M m(kExpiry);
    m.reanchor(100.0, 0.25);
    EXPECT_EQ(*m.get_parameter("ref_spot"), 100.0);
    EXPECT_EQ(*m.get_parameter("ref_vol"), 50.0);

    M shaped = make<M>({{"skew", -10.0}, {"pwing", 2.0}, {"corr", -0.5}, {"p05", 1.0},
                        {"p10", 0.5}, {"c05", 0.25}, {"ref_vol", 45.0}});
    const double before = shaped.get_vol_single(0.5, 112.0, 112.0);
    shaped.reanchor(112.0, 0.5);
    EXPECT_EQ(*shaped.get_parameter("ref_spot"), 112.0);
    EXPECT_EQ(*shaped.get_parameter("ref_vol"), before * 100.0);
    // Anchored at the new spot, the at-the-money vol is the new ref_vol.
    EXPECT_NEAR(shaped.get_vol_single(0.5, 112.0, 112.0), before, 1e-15);

    M lost(kExpiry);
    lost.reanchor(kNaN, 0.25);
    EXPECT_TRUE(std::isnan(*lost.get_parameter("ref_spot")));
    EXPECT_TRUE(std::isnan(*lost.get_parameter("ref_vol")));
}

TYPED_TEST(AnyModel, CopiesAreIndependent) {
    using M = TypeParam;
    M a(kExpiry);
    M b = a;
    b.set_param("ref_vol", 20.0);
    EXPECT_EQ(*a.get_parameter("ref_vol"), 50.0);
    M c = std::move(b);
    EXPECT_EQ(*c.get_parameter("ref_vol"), 20.0);
}

// ---------------------------------------------------------------------------
// GVVSpline

TEST(GVVSpline, WorkedValues) {
    const std::vector<double> ks{50.0, 80.0, 100.0, 125.0, 200.0};
    auto v = GVVSpline(kExpiry).get_vol(1.0, 100.0, ks);
    const char* flat[] = {"0.538127600017", "0.50270076116", "0.5", "0.50270076116",
                          "0.538127600017"};
    for (int i = 0; i < 5; ++i) EXPECT_DIGITS(v[i], flat[i], 12);

    v = make<GVVSpline>({{"skew", -10.0}, {"pwing", 2.0}, {"cwing", 1.0}}).get_vol(1.0, 100.0, ks);
    const char* skewed[] = {"0.584500367234", "0.514142057139", "0.5", "0.491091647804",
                            "0.506483329596"};
    for (int i = 0; i < 5; ++i) EXPECT_DIGITS(v[i], skewed[i], 12);

    v = make<GVVSpline>({{"ref_vol", 60.0}, {"skew", -20.0}, {"smile", 10.0}, {"pwing", 5.0},
                         {"cwing", 3.0}, {"ref_spot", 100.0}})
            .get_vol(0.25, 100.0, {60.0, 90.0, 100.0, 110.0, 150.0});
    const char* short_dated[] = {"0.849813108568", "0.624128124973", "0.6", "0.5824146332",
                                 "0.601368799767"};
    for (int i = 0; i < 5; ++i) EXPECT_DIGITS(v[i], short_dated[i], 12);
}

TEST(GVVSpline, AnchorGivesRefVolExactly) {
    for (double skew : {-80.0, 0.0, 35.0}) {
        for (double wing : {0.0, 7.0, 1e6}) {
            const auto m = make<GVVSpline>({{"ref_vol", 37.3}, {"ref_spot", 81.7}, {"skew", skew},
                                            {"smile", 13.0}, {"pwing", wing}, {"cwing", wing}});
            EXPECT_EQ(m.get_vol_single(0.3, 50.0, 81.7), 37.3 / 100.0);
        }
    }
}

TEST(GVVSpline, SpotVprAndOffsetDoNotMoveTheSmile) {
    const auto base = make<GVVSpline>({{"skew", -7.0}, {"pwing", 3.0}, {"cwing", 1.0}});
    const std::vector<double> ks{60.0, 95.0, 100.0, 130.0};
    const auto ref = base.get_vol(0.4, 100.0, ks);
    EXPECT_EQ(base.get_vol(0.4, 55.0, ks), ref);
    EXPECT_EQ(base.get_vol(0.4, kNaN, ks), ref);
    auto other = base;
    other.set_param("vpr", 9.0);
    other.set_param("offset", -4.0);
    EXPECT_EQ(other.get_vol(0.4, 100.0, ks), ref);
    other.set_param("ref_spot", 101.0);
    EXPECT_NE(other.get_vol(0.4, 100.0, ks), ref);
}

TEST(GVVSpline, EachWingMovesOnlyItsSide) {
    const auto base = make<GVVSpline>({{"skew", -5.0}});
    auto put = base;
    put.set_param("pwing", 4.0);
    auto call = base;
    call.set_param("cwing", 4.0);
    for (double k : {40.0, 90.0, 99.9}) {
        EXPECT_GT(put.get_vol_single(0.5, 100.0, k), base.get_vol_single(0.5, 100.0, k));
        EXPECT_EQ(call.get_vol_single(0.5, 100.0, k), base.get_vol_single(0.5, 100.0, k));
    }
    for (double k : {100.1, 110.0, 250.0}) {
        EXPECT_EQ(put.get_vol_single(0.5, 100.0, k), base.get_vol_single(0.5, 100.0, k));
        EXPECT_GT(call.get_vol_single(0.5, 100.0, k), base.get_vol_single(0.5, 100.0, k));
    }
    EXPECT_EQ(put.get_vol_single(0.5, 100.0, 100.0), 0.5);
    EXPECT_EQ(call.get_vol_single(0.5, 100.0, 100.0), 0.5);
}

TEST(GVVSpline, AdmissibilityBoundaries) {
    auto check = [](const char* name, double value) {
        GVVSpline m(kExpiry);
        m.set_param(name, value);
        return m.arb_free();
    };
    EXPECT_FALSE(check("ref_vol", 10.0));
    EXPECT_TRUE(check("ref_vol", std::nextafter(10.0, 11.0)));
    EXPECT_TRUE(check("smile", 1.0));
    EXPECT_FALSE(check("smile", std::nextafter(1.0, 0.0)));
    EXPECT_TRUE(check("pwing", -0.0));
    EXPECT_FALSE(check("pwing", -1e-300));
    EXPECT_FALSE(check("cwing", -1e-300));
    for (const char* name : {"ref_vol", "smile", "pwing", "cwing"}) EXPECT_FALSE(check(name, kNaN));
    for (const char* name : {"skew", "vpr", "ref_spot", "offset"}) EXPECT_TRUE(check(name, kNaN));
}

TEST(GVVSpline, BumpsAtTheBoundaries) {
    GVVSpline m(kExpiry);
    m.bump_param("pwing", -1.0);
    EXPECT_EQ(*m.get_parameter("pwing"), 0.0);
    m.bump_param("pwing", 1.0);
    EXPECT_EQ(*m.get_parameter("pwing"), 1.0);
    m.bump_param("smile", -4.0);  // lands exactly on 1.0: allowed
    EXPECT_EQ(*m.get_parameter("smile"), 1.0);
    m.bump_param("ref_vol", -40.0);  // lands exactly on 10.0: refused
    EXPECT_EQ(*m.get_parameter("ref_vol"), 50.0);
    for (const char* name : {"pwing", "cwing", "smile", "ref_vol"}) {
        const double before = *m.get_parameter(name);
        m.bump_param(name, kNaN);
        EXPECT_EQ(*m.get_parameter(name), before) << name;
    }
    for (const char* name : {"skew", "offset"}) {
        m.bump_param(name, kInf);
        EXPECT_EQ(*m.get_parameter(name), kInf) << name;
    }
}

TEST(GVVSpline, DegenerateInputsGiveNaN) {
    const GVVSpline m(kExpiry);
    for (double v : m.get_vol(0.0, 100.0, {50.0, 100.0, 150.0})) EXPECT_TRUE(std::isnan(v));
    for (double v : m.get_vol(-1.0, 100.0, {50.0, 150.0})) EXPECT_TRUE(std::isnan(v));
    for (double v : m.get_vol(0.5, 100.0, {0.0, -10.0, kNaN})) EXPECT_TRUE(std::isnan(v));
    // Non-finite vols are reported as NaN, never as infinity.
    const auto huge = make<GVVSpline>({{"ref_vol", 1e300}});
    EXPECT_TRUE(std::isnan(huge.get_vol_single(1.0, 100.0, 100.0)));
    const auto concave = make<GVVSpline>({{"smile", -500.0}});
    EXPECT_TRUE(std::isnan(concave.get_vol_single(1.0, 100.0, 20.0)));
}

TEST(GVVSpline, ReanchorWithZeroTimeAwayFromAnchorLosesRefVol) {
    GVVSpline m(kExpiry);
    m.reanchor(110.0, 0.0);
    EXPECT_EQ(*m.get_parameter("ref_spot"), 110.0);
    EXPECT_TRUE(std::isnan(*m.get_parameter("ref_vol")));
}

// ---------------------------------------------------------------------------
// CubicSpline

CubicSpline stepped() {
    CubicSpline m(kExpiry);
    for (const char* n : {"p05", "p10", "p15", "p20", "p25"}) m.set_param(n, 1.0);
    for (const char* n : {"c05", "c10", "c15", "c20", "c25"}) m.set_param(n, 0.5);
    return m;
}

TEST(CubicSpline, WorkedValues) {
    const CubicSpline m = stepped();
    auto v = m.get_vol(0.25, 100.0, {100.0, 90.0, 110.0, 60.0, 80.0, 125.0});
    EXPECT_EQ(v[0], 0.5);
    EXPECT_DIGITS(v[1], "0.50822429", 8);
    EXPECT_DIGITS(v[2], "0.50359893", 8);
    EXPECT_DIGITS(v[1], "0.50822428784", 12);
    EXPECT_DIGITS(v[2], "0.503598929232", 12);
    EXPECT_DIGITS(v[3], "0.536396561106", 12);
    EXPECT_DIGITS(v[4], "0.51785157276", 12);
    EXPECT_DIGITS(v[5], "0.508925753592", 12);

    // A spot rise with p05 > c05 lowers the at-the-money vol before one year.
    v = m.get_vol(0.25, 105.0, {105.0, 100.0});
    EXPECT_DIGITS(v[0], "0.49648053", 8);
    EXPECT_DIGITS(v[0], "0.496480533605", 12);
    EXPECT_DIGITS(v[1], "0.498972905971", 12);

    const CubicSpline flat(kExpiry);
    for (double v0 : flat.get_vol(0.7, 123.0, {1.0, 50.0, 123.0, 400.0, 1e6})) EXPECT_EQ(v0, 0.5);
}

TEST(CubicSpline, SpotShiftChangesDirectionAtOneYear) {
    const CubicSpline m = stepped();
    EXPECT_LT(m.get_vol_single(0.5, 105.0, 105.0), 0.5);
    EXPECT_GT(m.get_vol_single(2.0, 105.0, 105.0), 0.5);
    EXPECT_GT(m.get_vol_single(0.5, 95.0, 95.0), 0.5);
    auto heavy = m;
    heavy.set_param("vpr", 2.0);
    EXPECT_LT(heavy.get_vol_single(0.5, 105.0, 105.0), m.get_vol_single(0.5, 105.0, 105.0));
}

TEST(CubicSpline, NoSpotMoveMeansNoShiftEvenAtOneYear) {
    const CubicSpline m = stepped();
    const auto v = m.get_vol(1.0, 100.0, {100.0, 90.0, 110.0});
    EXPECT_EQ(v[0], 0.5);
    EXPECT_DIGITS(v[1], "0.502813675929", 12);
    EXPECT_DIGITS(v[2], "0.501178644218", 12);
    // Even a weight that would poison the shift leaves the unmoved anchor alone.
    auto odd = m;
    odd.set_param("vpr", kNaN);
    EXPECT_EQ(odd.get_vol_single(1.0, 100.0, 100.0), 0.5);
    // A spot that did move still divides by ln(1) = 0.
    for (double x : m.get_vol(1.0, 105.0, {100.0, 105.0, 110.0})) EXPECT_TRUE(std::isnan(x));
    const CubicSpline flat(kExpiry);  // p05 == c05: 0 x inf
    for (double x : flat.get_vol(1.0, 105.0, {100.0, 105.0})) EXPECT_TRUE(std::isnan(x));
    // Reanchoring at one year without a move keeps the model usable.
    auto r = m;
    r.reanchor(100.0, 1.0);
    EXPECT_EQ(*r.get_parameter("ref_vol"), 50.0);
}

TEST(CubicSpline, StrikeAtSpotGivesAbsoluteAtmVol) {
    auto m = stepped();
    m.set_param("p05", 300.0);  // a large put increment drags atm below zero on a rise
    m.set_param("vpr", 5.0);
    const double atm = m.get_vol_single(0.25, 120.0, 120.0);
    EXPECT_GT(atm, 0.0);
    // atm itself, in percent, from the shift formula.
    const double shift = ((((300.0 - 0.5) / 0.1) * 100.0) *
                          ((std::log(120.0 / 100.0) / std::log(0.25)) / 50.0)) * 5.0 + 50.0;
    ASSERT_LT(shift, 0.0);
    EXPECT_EQ(atm, std::fabs(shift) / 100.0);
    m.reanchor(120.0, 0.25);
    EXPECT_EQ(*m.get_parameter("ref_vol"), atm * 100.0);
    EXPECT_GT(*m.get_parameter("ref_vol"), 0.0);
}

// Strike whose standardised moneyness is x, for spot 100, ttx 0.25, atm 50.
double strike_at(double x) { return 100.0 * std::exp(x * 0.5 * 0.5); }

TEST(CubicSpline, KnotsCarryTheirVols) {
    const CubicSpline m = stepped();
    const std::vector<std::pair<double, double>> knots{
        {-2.5, 0.54}, {-1.5, 0.53}, {-1.0, 0.52}, {-0.5, 0.51},
        {0.5, 0.505}, {1.0, 0.51},  {1.5, 0.515}, {2.5, 0.52}};
    for (auto [x, vol] : knots) {
        EXPECT_NEAR(m.get_vol_single(0.25, 100.0, strike_at(x)), vol, 1e-12) << x;
    }
    EXPECT_NEAR(m.get_vol_single(0.25, 100.0, strike_at(-5.0)), 0.55, 1e-12);
    EXPECT_NEAR(m.get_vol_single(0.25, 100.0, strike_at(5.0)), 0.525, 1e-12);
}

TEST(CubicSpline, MonotoneDataGiveAMonotoneSmile) {
    const CubicSpline m = stepped();
    double prev = m.get_vol_single(0.25, 100.0, 100.0);
    for (double x = -0.05; x > -7.0; x -= 0.05) {
        const double v = m.get_vol_single(0.25, 100.0, strike_at(x));
        EXPECT_GE(v, prev) << x;
        prev = v;
    }
    prev = m.get_vol_single(0.25, 100.0, 100.0);
    for (double x = 0.05; x < 7.0; x += 0.05) {
        const double v = m.get_vol_single(0.25, 100.0, strike_at(x));
        EXPECT_GE(v, prev) << x;
        prev = v;
    }
}

TEST(CubicSpline, TurningKnotIsFlat) {
    // Up to -0.5, back down to -1: the knot at -0.5 is a local maximum.
    const auto m = make<CubicSpline>({{"p05", 2.0}, {"p10", -2.0}});
    const double top = m.get_vol_single(0.25, 100.0, strike_at(-0.5));
    EXPECT_NEAR(top, 0.52, 1e-12);
    for (double dx : {1e-3, 1e-2, 0.1, 0.3}) {
        EXPECT_LE(m.get_vol_single(0.25, 100.0, strike_at(-0.5 - dx)), top);
        EXPECT_LE(m.get_vol_single(0.25, 100.0, strike_at(-0.5 + dx)), top);
    }
}

TEST(CubicSpline, WingsContinueLinearlyInVariance) {
    const CubicSpline m = stepped();
    auto var = [&](double x) {
        const double v = m.get_vol_single(0.25, 100.0, strike_at(x));
        return v * v;
    };
    // End secant slopes: put side (0.55^2 - 0.54^2) / -2.5, call (0.525^2 - 0.52^2) / 2.5.
    EXPECT_NEAR((var(-9.0) - var(-6.0)) / -3.0, (0.55 * 0.55 - 0.54 * 0.54) / -2.5, 1e-10);
    EXPECT_NEAR((var(9.0) - var(6.0)) / 3.0, (0.525 * 0.525 - 0.52 * 0.52) / 2.5, 1e-10);
    // A falling outer wing runs into negative variance: NaN, no error.
    const auto falling = make<CubicSpline>({{"p25", -20.0}});
    EXPECT_FALSE(falling.arb_free());
    EXPECT_TRUE(std::isnan(falling.get_vol_single(0.25, 100.0, strike_at(-40.0))));
}

TEST(CubicSpline, CallIncrementsLeaveThePutSideAlone) {
    const auto base = make<CubicSpline>({{"p05", 1.0}, {"p10", 2.0}, {"p25", 3.0}});
    auto call = base;
    for (const char* n : {"c10", "c15", "c20", "c25"}) call.set_param(n, 4.0);
    auto put = make<CubicSpline>({{"c05", 1.0}, {"c10", 2.0}, {"c25", 3.0}});
    auto put_bumped = put;
    for (const char* n : {"p10", "p15", "p20", "p25"}) put_bumped.set_param(n, 4.0);
    for (double x : {-6.0, -3.0, -1.2, -0.7, -0.2, 0.0}) {
        EXPECT_EQ(call.get_vol_single(0.25, 100.0, strike_at(x)),
                  base.get_vol_single(0.25, 100.0, strike_at(x)));
        EXPECT_EQ(put_bumped.get_vol_single(0.25, 100.0, strike_at(-x)),
                  put.get_vol_single(0.25, 100.0, strike_at(-x)));
    }
    EXPECT_NE(call.get_vol_single(0.25, 100.0, strike_at(1.2)),
              base.get_vol_single(0.25, 100.0, strike_at(1.2)));
}

TEST(CubicSpline, AdmissibilityAndBumps) {
    auto check = [](const char* name, double value) {
        CubicSpline m(kExpiry);
        m.set_param(name, value);
        return m.arb_free();
    };
    EXPECT_TRUE(check("p25", -0.0));
    EXPECT_FALSE(check("p25", -1e-300));
    EXPECT_FALSE(check("c25", -1e-300));
    EXPECT_FALSE(check("ref_vol", 1.0));
    EXPECT_TRUE(check("ref_vol", std::nextafter(1.0, 2.0)));
    for (const char* name : {"p25", "c25", "ref_vol"}) EXPECT_FALSE(check(name, kNaN));
    EXPECT_TRUE(check("p05", -30.0));  // inner increments are not tested

    CubicSpline m(kExpiry);
    m.bump_param("p25", -0.1);
    m.bump_param("c25", kNaN);
    m.bump_param("ref_vol", -49.0);
    EXPECT_EQ(sorted(m.get_param_dict()), Traits<CubicSpline>::defaults);
    m.bump_param("p10", -3.0);
    EXPECT_EQ(*m.get_parameter("p10"), -3.0);
    EXPECT_FALSE(m.get_parameter("offset").has_value());
}

TEST(CubicSpline, DegenerateInputsGiveNaN) {
    // At ttx = 0 the moneyness is infinite: a flat wing multiplies it by a
    // zero slope (NaN), a sloped one runs off to infinity.
    const CubicSpline flat(kExpiry);
    for (double v : flat.get_vol(0.0, 100.0, {50.0, 100.0, 150.0})) EXPECT_TRUE(std::isnan(v));
    const CubicSpline m = stepped();
    for (double v : m.get_vol(0.0, 100.0, {50.0, 100.0, 150.0})) EXPECT_FALSE(std::isfinite(v));
    for (double v : m.get_vol(-0.5, 100.0, {50.0, 150.0})) EXPECT_TRUE(std::isnan(v));
    for (double v : m.get_vol(0.25, 100.0, {0.0, -1.0})) EXPECT_FALSE(std::isfinite(v));
}

// ---------------------------------------------------------------------------
// VolGeo

TEST(VolGeo, WorkedValues) {
    auto v = VolGeo(kExpiry).get_vol(0.25, 100.0, {90.0, 100.0, 110.0});
    EXPECT_DIGITS(v[0], "0.51330499", 8);
    EXPECT_EQ(v[1], 0.5);
    EXPECT_DIGITS(v[2], "0.51101065", 8);
    EXPECT_DIGITS(v[0], "0.513304991355", 12);
    EXPECT_DIGITS(v[2], "0.511010649158", 12);

    const auto skewed = make<VolGeo>({{"corr", -0.5}});
    v = skewed.get_vol(0.25, 100.0, {90.0, 100.0, 110.0});
    EXPECT_DIGITS(v[0], "0.52865095", 8);
    EXPECT_EQ(v[1], 0.5);
    EXPECT_DIGITS(v[2], "0.49176763", 8);
    EXPECT_DIGITS(v[0], "0.528650945247", 12);
    EXPECT_DIGITS(v[2], "0.491767633684", 12);

    v = skewed.get_vol(0.25, 105.0, {105.0, 100.0, 90.0, 120.0});
    EXPECT_DIGITS(v[0], "0.49981963", 8);
    EXPECT_DIGITS(v[1], "0.51100892", 8);
    EXPECT_DIGITS(v[0], "0.499819625824", 12);
    EXPECT_DIGITS(v[1], "0.511008924851", 12);
    EXPECT_DIGITS(v[2], "0.546218442999877", 15);
    EXPECT_DIGITS(v[3], "0.493533253537", 12);
}

TEST(VolGeo, VolSquaredIsTheLargerRootOfTheQuadratic) {
    const auto m = make<VolGeo>({{"corr", 0.3}, {"vvol", 45.0}, {"ref_vol", 70.0}});
    const double rho = std::tanh(0.3);
    const double s0 = 0.7, beta = 0.45 * rho, gamma = (1.0 - rho * rho) * 0.45 * 0.45 / s0;
    for (double k : {40.0, 80.0, 100.0, 125.0, 300.0}) {
        const double x = std::log(k / 100.0) / std::sqrt(0.8);
        const double b = 2.0 * beta * x * s0 + s0 * s0;
        const double w = std::pow(m.get_vol_single(0.8, 100.0, k), 2);
        EXPECT_NEAR(w * w - b * w - gamma * x * x, 0.0, 1e-12) << k;
        EXPECT_GE(w, b / 2.0);
    }
}

TEST(VolGeo, SymmetryAndTheAnchor) {
    const auto m = make<VolGeo>({{"ref_spot", 80.0}, {"vvol", 35.0}});
    EXPECT_NEAR(m.get_vol_single(0.3, 100.0, 90.0), m.get_vol_single(0.3, 100.0, 100.0 * 100.0 / 90.0),
                1e-15);
    // Without correlation the spot does not shift the at-the-money vol.
    EXPECT_EQ(m.get_vol_single(0.3, 100.0, 100.0), 0.5);
    const auto skewed = make<VolGeo>({{"corr", 0.7}, {"ref_spot", 80.0}});
    EXPECT_EQ(skewed.get_vol_single(0.3, 80.0, 80.0), 0.5);
    EXPECT_NE(skewed.get_vol_single(0.3, 100.0, 100.0), 0.5);
    // No vol of vol: flat at the at-the-money vol.
    const auto flat = make<VolGeo>({{"vvol", 0.0}, {"corr", -1.0}});
    for (double v : flat.get_vol(0.3, 100.0, {20.0, 90.0, 100.0, 500.0})) EXPECT_EQ(v, 0.5);
    // offset is carried but never used.
    auto off = skewed;
    off.set_param("offset", 3.0);
    EXPECT_EQ(*off.get_parameter("offset"), 3.0);
    EXPECT_EQ(off.get_vol(0.3, 90.0, {70.0, 90.0, 140.0}),
              skewed.get_vol(0.3, 90.0, {70.0, 90.0, 140.0}));
}

TEST(VolGeo, SaturatedCorrelation) {
    // tanh is exactly 1 from corr = 20 on; the low-strike side then collapses to 0.
    const auto one = make<VolGeo>({{"corr", 20.0}});
    EXPECT_EQ(one.get_vol_single(0.25, 100.0, 100.0), 0.5);
    EXPECT_EQ(one.get_vol_single(0.25, 100.0, 10.0), 0.0);
    EXPECT_GT(one.get_vol_single(0.25, 100.0, 200.0), 0.5);
    const auto minus_one = make<VolGeo>({{"corr", -20.0}});
    EXPECT_EQ(minus_one.get_vol_single(0.25, 100.0, 1000.0), 0.0);
    // Far beyond, exp(2 corr) overflows; the correlation still saturates
    // instead of turning every vol into NaN.
    const std::vector<double> ks{10.0, 90.0, 100.0, 110.0, 200.0};
    EXPECT_EQ(make<VolGeo>({{"corr", 400.0}}).get_vol(0.25, 100.0, ks), one.get_vol(0.25, 100.0, ks));
    EXPECT_EQ(make<VolGeo>({{"corr", kInf}}).get_vol(0.25, 105.0, ks), one.get_vol(0.25, 105.0, ks));
    EXPECT_EQ(make<VolGeo>({{"corr", -400.0}}).get_vol(0.25, 100.0, ks),
              minus_one.get_vol(0.25, 100.0, ks));
    for (double v : make<VolGeo>({{"corr", kNaN}}).get_vol(0.25, 100.0, ks)) EXPECT_TRUE(std::isnan(v));
}

TEST(VolGeo, DegenerateInputs) {
    const VolGeo m(kExpiry);
    for (double v : m.get_vol(0.0, 100.0, {90.0, 100.0, 110.0})) EXPECT_TRUE(std::isnan(v));
    for (double v : m.get_vol(-1.0, 100.0, {90.0, 110.0})) EXPECT_TRUE(std::isnan(v));
    for (double v : m.get_vol(0.25, 100.0, {0.0, -1.0})) EXPECT_FALSE(std::isfinite(v));
    // A shift that brings the at-the-money vol to zero divides by zero.
    const auto zero = make<VolGeo>({{"corr", 1.0}, {"ref_vol", 0.0}});
    EXPECT_FALSE(std::isfinite(zero.get_vol_single(0.25, 100.0, 90.0)));
}

TEST(VolGeo, AdmissibilityBumpsAndReanchor) {
    auto check = [](const char* name, double value) {
        VolGeo m(kExpiry);
        m.set_param(name, value);
        return m.arb_free();
    };
    EXPECT_TRUE(check("vvol", 1.0));
    EXPECT_FALSE(check("vvol", std::nextafter(1.0, 0.0)));
    EXPECT_FALSE(check("ref_vol", 1.0));
    EXPECT_FALSE(check("vvol", kNaN));
    EXPECT_TRUE(check("corr", kNaN));

    VolGeo m(kExpiry);
    m.bump_param("vvol", -19.5);
    EXPECT_EQ(*m.get_parameter("vvol"), 20.0);
    m.bump_param("vvol", -19.0);
    EXPECT_EQ(*m.get_parameter("vvol"), 1.0);
    m.bump_param("corr", -0.5);
    EXPECT_EQ(*m.get_parameter("corr"), -0.5);

    // With correlation, a spot move shifts the at-the-money vol; reanchor
    // keeps |sigma0| and restarts the shift from the new spot.
    auto r = make<VolGeo>({{"corr", -0.5}});
    const double sigma0 = r.get_vol_single(0.25, 105.0, 105.0);
    r.reanchor(105.0, 0.25);
    EXPECT_EQ(*r.get_parameter("ref_vol"), sigma0 * 100.0);
    EXPECT_NEAR(r.get_vol_single(0.25, 105.0, 105.0), sigma0, 1e-16);
    EXPECT_EQ(*r.get_parameter("corr"), -0.5);
}

}  // namespace
