#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "pricing/binary.hpp"
#include "pricing/black76.hpp"
#include "pricing/brent_root.hpp"
#include "pricing/implied_vol.hpp"
#include "pricing/option_side.hpp"

namespace {

using namespace korvex::pricing;
using korvex::ErrorKind;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string unknown_side_message(std::string_view lowered) {
    return "Unknown option type: '" + std::string(lowered) + "'. Use 'call'/'c' or 'put'/'p'.";
}

// Wraps a function and records every point it is evaluated at.
template <class Fn>
struct Recorder {
    Fn fn;
    std::vector<double>* points;
    double operator()(double x) {
        points->push_back(x);
        return fn(x);
    }
};
template <class Fn>
Recorder<Fn> record(Fn fn, std::vector<double>& points) {
    return {fn, &points};
}

bool is_positive_zero(double x) { return x == 0.0 && !std::signbit(x); }

// ---------------------------------------------------------------- option side

TEST(PricingSide, AcceptsEveryCasingOfTheFourSpellings) {
    for (const char* text : {"c", "C", "call", "Call", "CALL", "cALl"}) {
        auto side = parse_option_side(text);
        ASSERT_TRUE(side.has_value()) << text;
        EXPECT_EQ(*side, OptionSide::Call) << text;
    }
    for (const char* text : {"p", "P", "put", "Put", "PUT", "pUt"}) {
        auto side = parse_option_side(text);
        ASSERT_TRUE(side.has_value()) << text;
        EXPECT_EQ(*side, OptionSide::Put) << text;
    }
}

TEST(PricingSide, RejectsNearMissesQuotingTheLoweredText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"XYZ", "xyz"},     {"c ", "c "},       {" call", " call"}, {"", ""},
        {"calls", "calls"}, {"PUTS", "puts"},   {"ca", "ca"},       {"pu", "pu"},
        {std::string("c\0", 2), std::string("c\0", 2)},
    };
    for (const auto& [text, lowered] : cases) {
        auto side = parse_option_side(text);
        ASSERT_FALSE(side.has_value()) << text;
        EXPECT_EQ(side.error().kind, ErrorKind::ValueError);
        EXPECT_EQ(side.error().message, unknown_side_message(lowered));
    }
}

TEST(PricingSide, UsesFullUnicodeLowerCasing) {
    // Fullwidth C lower-cases to fullwidth c, which is not "c".
    auto fullwidth = parse_option_side("\xEF\xBC\xA3");  // U+FF23
    ASSERT_FALSE(fullwidth.has_value());
    EXPECT_EQ(fullwidth.error().message, unknown_side_message("\xEF\xBD\x83"));  // U+FF43

    // Capital I with dot above: the full mapping gives i + combining dot above,
    // not the bare i of the simple mapping.
    auto dotted = parse_option_side("CALL\xC4\xB0");  // "CALL" U+0130
    ASSERT_FALSE(dotted.has_value());
    EXPECT_EQ(dotted.error().message, unknown_side_message("calli\xCC\x87"));

    // Context-sensitive final sigma: capital sigma at the end of a word becomes ς.
    auto sigma = parse_option_side("\xCE\x91\xCE\xA3");  // "ΑΣ"
    ASSERT_FALSE(sigma.has_value());
    EXPECT_EQ(sigma.error().message, unknown_side_message("\xCE\xB1\xCF\x82"));  // "ας"

    // Non-ASCII upper case letters beyond Latin are lowered too.
    auto cyrillic = parse_option_side("\xD0\xA1");  // Cyrillic capital ES, looks like C
    ASSERT_FALSE(cyrillic.has_value());
    EXPECT_EQ(cyrillic.error().message, unknown_side_message("\xD1\x81"));
}

TEST(PricingSide, EverySidedFunctionParsesTheSideBeforeLookingAtNumbers) {
    const std::string msg = unknown_side_message("x");
    // Degenerate inputs (ttx = 0) would otherwise return early.
    EXPECT_EQ(b76_fairvalue(100, 100, 0, 0.2, "X", 1).error().message, msg);
    EXPECT_EQ(b76_delta(100, 100, 0, 0.2, "X", 1).error().message, msg);
    EXPECT_EQ(binary_fairvalue(100, 100, 0, 0.2, "X", 1).error().message, msg);
    EXPECT_EQ(binary_delta(100, 100, 0, 0.2, "X", 1).error().message, msg);
    EXPECT_EQ(binary_gamma(100, 100, -1, 0.2, "X", 1).error().message, msg);
    EXPECT_EQ(binary_vega(100, 100, 1, 0.0, "X", 1).error().message, msg);
    EXPECT_EQ(binary_theta(kNaN, kNaN, kNaN, kNaN, "X", kNaN).error().message, msg);
    // An unattainable price would otherwise give NaN.
    EXPECT_EQ(calibrate_black76_iv(1, 100, 100, 1e9, "X", 1).error().message, msg);
}

// ---------------------------------------------------------------- normal functions

TEST(PricingNormal, LimitsAndCentre) {
    EXPECT_EQ(norm_cdf(0.0), 0.5);
    EXPECT_EQ(norm_cdf(kInf), 1.0);
    EXPECT_EQ(norm_cdf(-kInf), 0.0);
    EXPECT_TRUE(std::isnan(norm_cdf(kNaN)));
    EXPECT_EQ(norm_pdf(0.0), 1.0 / 2.5066282746310007);
    EXPECT_NE(norm_pdf(0.0), 1.0 / 2.5066282746310002);
    EXPECT_EQ(norm_pdf(kInf), 0.0);
    EXPECT_NEAR(norm_cdf(1.959963984540054), 0.975, 1e-15);
    EXPECT_NEAR(norm_cdf(-1.0) + norm_cdf(1.0), 1.0, 1e-16);
    EXPECT_NEAR(norm_pdf(1.0), 0.24197072451914337, 1e-16);
}

// ---------------------------------------------------------------- Black-76

TEST(PricingBlack76, DegenerateTimeOrVolGivesDiscountedIntrinsic) {
    for (auto [ttx, vol] : {std::pair{0.0, 0.2}, {-1.0, 0.2}, {1.0, 0.0}, {1.0, -0.3}}) {
        EXPECT_EQ(black76_price(105, 100, ttx, vol, OptionSide::Call, 0.5), 2.5);
        EXPECT_EQ(black76_price(105, 100, ttx, vol, OptionSide::Put, 0.5), 0.0);
        EXPECT_EQ(black76_price(95, 100, ttx, vol, OptionSide::Put, 0.5), 2.5);
        EXPECT_EQ(black76_price(95, 100, ttx, vol, OptionSide::Call, 0.5), 0.0);
        EXPECT_TRUE(is_positive_zero(b76_vega(105, 100, ttx, vol, 1)));
        EXPECT_TRUE(is_positive_zero(b76_gamma(105, 100, ttx, vol, 1)));
    }
    // A NaN difference counts as worthless at expiry.
    EXPECT_EQ(black76_price(kNaN, 100, 0, 0.2, OptionSide::Call, 1), 0.0);
    EXPECT_EQ(black76_price(100, kNaN, 0, 0.2, OptionSide::Put, 1), 0.0);
}

TEST(PricingBlack76, DegenerateDeltaIsTheStepOfTheIntrinsicValue) {
    EXPECT_EQ(*b76_delta(105, 100, 0, 0.2, "c", 0.9), 0.9);
    EXPECT_TRUE(is_positive_zero(*b76_delta(95, 100, 0, 0.2, "c", 0.9)));
    EXPECT_TRUE(is_positive_zero(*b76_delta(100, 100, 0, 0.2, "c", 0.9)));
    EXPECT_EQ(*b76_delta(95, 100, 1, 0, "p", 0.9), -0.9);
    EXPECT_TRUE(is_positive_zero(*b76_delta(105, 100, 1, 0, "p", 0.9)));
    EXPECT_TRUE(is_positive_zero(*b76_delta(100, 100, 1, -1, "p", 0.9)));
    EXPECT_TRUE(is_positive_zero(*b76_delta(kNaN, 100, 0, 0.2, "c", 1)));
    EXPECT_TRUE(is_positive_zero(*b76_delta(kNaN, 100, 0, 0.2, "p", 1)));
}

// ---------------------------------------------------------------- binaries

TEST(PricingBinary, DegenerateValuesAndGreeks) {
    EXPECT_EQ(*binary_fairvalue(105, 100, 0, 0.2, "c", 0.8), 0.8);
    EXPECT_EQ(*binary_fairvalue(105, 100, 0, 0.2, "p", 0.8), 0.0);
    EXPECT_EQ(*binary_fairvalue(95, 100, 1, -0.2, "p", 0.8), 0.8);
    EXPECT_EQ(*binary_fairvalue(100, 100, 0, 0.2, "c", 0.8), 0.0);
    EXPECT_EQ(*binary_fairvalue(100, 100, 0, 0.2, "p", 0.8), 0.0);
    EXPECT_EQ(*binary_fairvalue(kNaN, 100, 0, 0.2, "c", 0.8), 0.0);
    EXPECT_EQ(*binary_fairvalue(100, kNaN, 0, 0.2, "p", 0.8), 0.0);
    for (const char* side : {"c", "p"}) {
        EXPECT_TRUE(is_positive_zero(*binary_delta(105, 100, 0, 0.2, side, 1)));
        EXPECT_TRUE(is_positive_zero(*binary_gamma(105, 100, 0, 0.2, side, 1)));
        EXPECT_TRUE(is_positive_zero(*binary_vega(105, 100, 1, -0.2, side, 1)));
        EXPECT_TRUE(is_positive_zero(*binary_theta(105, 100, -1, 0.2, side, 1)));
    }
}

// ---------------------------------------------------------------- Brent

TEST(PricingBrent, InvertsAtTheMoneyCallsWithTheDocumentedEffort) {
    auto price_at = [](double vol) { return black76_price(100, 100, 1, vol, OptionSide::Call, 1); };
    const double target = price_at(0.2);
    std::vector<double> points;
    auto root = brent_root(record([&](double v) { return price_at(v) - target; }, points), 0.01, 10.0);
    ASSERT_TRUE(root.has_value());
    EXPECT_NEAR(*root, 0.2000145, 5e-8);
    // The two bracket ends, then four steps inside the loop.
    ASSERT_EQ(points.size(), 6u);
    EXPECT_EQ(points[0], 0.01);
    EXPECT_EQ(points[1], 10.0);
    // The answer is the better end of the final bracket, one of the points tried.
    EXPECT_NE(std::find(points.begin(), points.end(), *root), points.end());
    EXPECT_EQ(*calibrate_black76_iv(1, 100, 100, target, "c", 1), *root);

    for (double vol : {0.5, 1.0, 3.0}) {
        std::vector<double> pts;
        const double p = price_at(vol);
        auto r = brent_root(record([&](double v) { return price_at(v) - p; }, pts), 0.01, 10.0);
        ASSERT_TRUE(r.has_value());
        EXPECT_NEAR(*r, vol, 5e-05) << vol;
        EXPECT_LT(pts.size(), 20u) << vol;
    }
}

TEST(PricingBrent, SameSignOrNaNAtTheEndsIsNotABracket) {
    std::vector<double> points;
    EXPECT_FALSE(brent_root(record([](double x) { return x + 1.0; }, points), 0.01, 10.0));
    EXPECT_EQ(points.size(), 2u);
    points.clear();
    EXPECT_FALSE(brent_root(record([](double x) { return -x; }, points), 0.01, 10.0));
    EXPECT_EQ(points.size(), 2u);
    for (double bad_end : {0.01, 10.0}) {
        points.clear();
        auto f = [bad_end](double x) { return x == bad_end ? kNaN : x - 3.0; };
        EXPECT_FALSE(brent_root(record(f, points), 0.01, 10.0)) << bad_end;
        EXPECT_EQ(points.size(), 2u);
    }
}

// The sign tests compare signs: products of tiny function values underflow
// to zero and must neither fake a bracket nor hide that the root left [b, c].
TEST(PricingBrent, TinyFunctionValuesKeepTheirSigns) {
    // Same sign at both ends, values near 1e-170: no bracket.
    std::vector<double> points;
    EXPECT_FALSE(brent_root(record([](double x) { return 1e-170 * (x + 1.0); }, points), 0.01, 10.0));
    EXPECT_EQ(points.size(), 2u);
    EXPECT_FALSE(brent_root([](double x) { return -1e-170 * (x + 1.0); }, 0.01, 10.0));

    // Scaling f by a power of two changes no ratio and no comparison, so the
    // search must visit exactly the same points as for the unscaled f.
    const double scale = std::ldexp(1.0, -560);  // about 2.6e-169
    auto f = [](double x) { return (x - 3.0) * (x - 3.0) * (x - 3.0) + 0.5 * (x - 3.0); };
    std::vector<double> plain;
    std::vector<double> scaled;
    auto r1 = brent_root(record(f, plain), 0.01, 10.0);
    auto r2 = brent_root(record([&](double x) { return f(x) * scale; }, scaled), 0.01, 10.0);
    ASSERT_TRUE(r1 && r2);
    EXPECT_EQ(*r1, *r2);
    EXPECT_EQ(plain, scaled);
    EXPECT_NEAR(*r2, 3.0, 1e-4);
}

TEST(PricingImpliedVol, TinyForwardAndStrikeAreNotFakeBrackets) {
    // F = K = 1e-170: a call is worth at most F, so twice F is unattainable.
    const double f = 1e-170;
    EXPECT_TRUE(std::isnan(*calibrate_black76_iv(1.0, f, f, 2.0 * f, "c", 1.0)));
    EXPECT_TRUE(std::isnan(*calibrate_black76_iv(1.0, f, f, 0.0, "p", 1.0)));
    // An attainable price still inverts.
    const double price = black76_price(f, f, 1.0, 0.3, OptionSide::Call, 1.0);
    EXPECT_NEAR(*calibrate_black76_iv(1.0, f, f, price, "c", 1.0), 0.3, 1e-4);
}

TEST(PricingBrent, ExactZeroAtAnEndIsReturnedAtOnce) {
    std::vector<double> points;
    EXPECT_EQ(*brent_root(record([](double x) { return x - 0.01; }, points), 0.01, 10.0), 0.01);
    EXPECT_EQ(points.size(), 2u);
    points.clear();
    EXPECT_EQ(*brent_root(record([](double x) { return x - 10.0; }, points), 0.01, 10.0), 10.0);
    EXPECT_EQ(points.size(), 2u);
    points.clear();
    EXPECT_EQ(*brent_root(record([](double) { return 0.0; }, points), 0.01, 10.0), 10.0);
}

TEST(PricingBrent, StopsAtTheBudgetWithTheLatestEstimate) {
    // A flat, high-order root takes many steps; cut the search short and the
    // answer is the last point evaluated, after exactly budget + 2 evaluations.
    auto f = [](double x) { return std::pow(x - 3.0, 21); };
    std::vector<double> full;
    auto unlimited = brent_root(record(f, full), 0.01, 10.0);
    ASSERT_TRUE(unlimited.has_value());
    ASSERT_GT(full.size(), 12u);
    EXPECT_NEAR(*unlimited, 3.0, 1e-4);
    for (int budget : {1, 2, 5, 10}) {
        std::vector<double> cut;
        auto r = brent_root(record(f, cut), 0.01, 10.0, budget);
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(cut.size(), static_cast<std::size_t>(budget) + 2) << budget;
        EXPECT_EQ(*r, cut.back());
        EXPECT_EQ(*r, full[static_cast<std::size_t>(budget) + 1]) << budget;
    }
    std::vector<double> zero_budget;
    brent_root(record(f, zero_budget), 0.01, 10.0, 0);
    EXPECT_EQ(zero_budget.size(), 3u);
}

TEST(PricingBrent, HardFunctionsStayWithinTheDefaultBudgetAndTolerance) {
    const double inf = kInf;
    std::vector<std::function<double(double)>> fns = {
        [](double x) { return std::pow(x - 3.0, 9); },
        [](double x) { return std::cbrt(x - 7.5); },
        [](double x) { return std::exp(50 * (x - 3.0)) - 1; },
        [](double x) { return std::tanh(1000 * (x - 0.5)); },
        [](double x) { return x < 4.2 ? -1.0 : 1.0; },
        [inf](double x) { return x < 5 ? x - 100 : inf; },
        [](double x) { return x < 9.9 ? -std::pow(9.9 - x, 50) : 1e300; },
    };
    for (std::size_t i = 0; i < fns.size(); ++i) {
        std::vector<double> points;
        auto r = brent_root(record(fns[i], points), 0.01, 10.0);
        ASSERT_TRUE(r.has_value()) << i;
        EXPECT_LE(points.size(), 102u) << i;
    }
    // The step function has its sign change at 4.2; the final bracket is at
    // most twice the tolerance wide.
    auto step = brent_root([](double x) { return x < 4.2 ? -1.0 : 1.0; }, 0.01, 10.0);
    EXPECT_NEAR(*step, 4.2, 2 * (5e-05 + 4.3 * 4.440892098500626e-16));
}

// ---------------------------------------------------------------- implied volatility

TEST(PricingImpliedVol, NaNAnywhereGivesNaNNotTheLowerEnd) {
    EXPECT_TRUE(std::isnan(*calibrate_black76_iv(1, 100, 100, kNaN, "c", 1)));
    EXPECT_TRUE(std::isnan(*calibrate_black76_iv(1, kNaN, 100, 8.0, "c", 1)));
    EXPECT_TRUE(std::isnan(*calibrate_black76_iv(1, 100, kNaN, 8.0, "p", 1)));
    EXPECT_TRUE(std::isnan(*calibrate_black76_iv(kNaN, 100, 100, 8.0, "c", 1)));
    EXPECT_TRUE(std::isnan(*calibrate_black76_iv(1, 100, 100, 8.0, "c", kNaN)));
}

TEST(PricingImpliedVol, ExpiredOptionsAreOnlyMatchedAtExactIntrinsic) {
    EXPECT_EQ(*calibrate_black76_iv(0, 105, 100, 5.0, "c", 1), 10.0);
    EXPECT_TRUE(std::isnan(*calibrate_black76_iv(0, 105, 100, 4.0, "c", 1)));
    EXPECT_EQ(*calibrate_black76_iv(-1, 95, 100, 2.5, "p", 0.5), 10.0);
}

}  // namespace
