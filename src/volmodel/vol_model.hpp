// The three volatility smile models: GVVSpline, CubicSpline and VolGeo.
//
// Each model is its parameter table, its fitting list, its admissibility
// bounds and its formula; everything else comes from Model<> (model.hpp).
// Parameters such as ref_vol are held in percent (50.0 is a vol of 0.5);
// every vol a model returns is a decimal. The formulas live in
// gvv_spline.cpp, cubic_spline.cpp and vol_geo.cpp.
#pragma once

#include <array>
#include <cmath>
#include <string_view>

#include "volmodel/model.hpp"

namespace korvex::volmodel {

// Closed-form smile in log-moneyness against ref_spot per sqrt(ttx): the
// variance is the larger root of a quadratic shaped by ref_vol, skew and
// smile, plus a bounded wing term on the low (pwing) or high (cwing) side.
// The spot of a call does not enter; only reanchor moves the smile.
struct GvvSmile {
    static constexpr const char* kName = "GVVSpline";
    static constexpr std::array<ParamDef, 8> kParams{{
        {"vpr", 1.0},
        {"ref_spot", 100.0},
        {"ref_vol", 50.0},
        {"skew", 0.0},
        {"smile", 5.0},
        {"pwing", 0.0},
        {"cwing", 0.0},
        {"offset", 0.0},
    }};
    static constexpr std::array<std::string_view, 3> kFitting{"ref_vol", "skew", "smile"};
    static constexpr std::array<ParamBound, 4> kBounds{{
        {"pwing", 0.0, false},
        {"cwing", 0.0, false},
        {"smile", 1.0, false},
        {"ref_vol", 10.0, true},
    }};

    static constexpr std::size_t kRefSpot = param_index(kParams, "ref_spot");
    static constexpr std::size_t kRefVol = param_index(kParams, "ref_vol");
    static constexpr std::size_t kSkew = param_index(kParams, "skew");
    static constexpr std::size_t kSmile = param_index(kParams, "smile");
    static constexpr std::size_t kPwing = param_index(kParams, "pwing");
    static constexpr std::size_t kCwing = param_index(kParams, "cwing");

    struct Prepared {
        double ref_spot;
        double v, s, m, pw, cw;  // percent parameters as decimals
        double r;                // sqrt(ttx)
    };
    static Prepared prepare(const double* p, double ttx, double spot) noexcept;
    static double vol(const Prepared& c, double strike) noexcept;
};

// At-the-money vol plus ten vol increments at fixed points of a
// standardised log-moneyness axis; the variance is interpolated between them
// by a monotone cubic Hermite curve (Fritsch-Butland slopes) and continued
// linearly beyond the outer points. The at-the-money vol follows the spot
// through vpr.
struct CubicSmile {
    static constexpr const char* kName = "CubicSpline";
    static constexpr std::array<ParamDef, 13> kParams{{
        {"vpr", 1.0},
        {"ref_spot", 100.0},
        {"ref_vol", 50.0},
        {"p05", 0.0},
        {"p10", 0.0},
        {"p15", 0.0},
        {"p20", 0.0},
        {"p25", 0.0},
        {"c05", 0.0},
        {"c10", 0.0},
        {"c15", 0.0},
        {"c20", 0.0},
        {"c25", 0.0},
    }};
    static constexpr std::array<std::string_view, 11> kFitting{
        "ref_vol", "p25", "p20", "p15", "p10", "p05", "c05", "c10", "c15", "c20", "c25"};
    // The outer increments keep both wings' variance rising.
    static constexpr std::array<ParamBound, 3> kBounds{{
        {"p25", 0.0, false},
        {"c25", 0.0, false},
        {"ref_vol", 1.0, true},
    }};

    static constexpr std::size_t kVpr = param_index(kParams, "vpr");
    static constexpr std::size_t kRefSpot = param_index(kParams, "ref_spot");
    static constexpr std::size_t kRefVol = param_index(kParams, "ref_vol");
    static constexpr std::size_t kP05 = param_index(kParams, "p05");
    static constexpr std::size_t kP10 = param_index(kParams, "p10");
    static constexpr std::size_t kP15 = param_index(kParams, "p15");
    static constexpr std::size_t kP20 = param_index(kParams, "p20");
    static constexpr std::size_t kP25 = param_index(kParams, "p25");
    static constexpr std::size_t kC05 = param_index(kParams, "c05");
    static constexpr std::size_t kC10 = param_index(kParams, "c10");
    static constexpr std::size_t kC15 = param_index(kParams, "c15");
    static constexpr std::size_t kC20 = param_index(kParams, "c20");
    static constexpr std::size_t kC25 = param_index(kParams, "c25");

    static constexpr std::size_t kKnots = 11;
    // Knot positions in at-the-money standard deviations of log-moneyness.
    static constexpr std::array<double, kKnots> kX{-5.0, -2.5, -1.5, -1.0, -0.5, 0.0,
                                                   0.5,  1.0,  1.5,  2.5,  5.0};

    struct Prepared {
        double spot;
        double atm;  // spot-adjusted at-the-money vol, percent
        double r;    // sqrt(ttx)
        std::array<double, kKnots> y;  // knot variances
        std::array<double, kKnots> m;  // knot slopes
    };
    static Prepared prepare(const double* p, double ttx, double spot) noexcept;
    static double vol(const Prepared& c, double strike) noexcept;
};

// Closed-form smile from an at-the-money vol, a correlation-like skew
// (rho = tanh(corr)) and a vol-of-vol curvature: the variance is the larger
// root of a quadratic in log-moneyness against the spot per sqrt(ttx). The
// at-the-money vol moves with the spot along the smile's own slope.
struct VolGeoSmile {
    static constexpr const char* kName = "VolGeo";
    static constexpr std::array<ParamDef, 6> kParams{{
        {"vpr", 1.0},
        {"ref_spot", 100.0},
        {"ref_vol", 50.0},
        {"corr", 0.0},
        {"vvol", 20.0},
        {"offset", 0.0},
    }};
    static constexpr std::array<std::string_view, 3> kFitting{"ref_vol", "corr", "vvol"};
    static constexpr std::array<ParamBound, 2> kBounds{{
        {"vvol", 1.0, false},
        {"ref_vol", 1.0, true},
    }};

    static constexpr std::size_t kVpr = param_index(kParams, "vpr");
    static constexpr std::size_t kRefSpot = param_index(kParams, "ref_spot");
    static constexpr std::size_t kRefVol = param_index(kParams, "ref_vol");
    static constexpr std::size_t kCorr = param_index(kParams, "corr");
    static constexpr std::size_t kVvol = param_index(kParams, "vvol");

    struct Prepared {
        double spot;
        double sigma0;  // spot-adjusted at-the-money vol, decimal
        double beta;
        double gamma;
        double r;       // sqrt(ttx)
    };
    static Prepared prepare(const double* p, double ttx, double spot) noexcept;

    // The vol in two halves around its one libm call, ln(strike / spot), so
    // that many strikes can be evaluated a block at a time (see Model).
    static double log_arg(const Prepared& c, double strike) noexcept { return strike / c.spot; }
    // Square root of the larger root w of w^2 - b w - gamma x^2 = 0.
    static double vol_from_log(const Prepared& c, double ln) noexcept {
        const double x = ln / c.r;
        const double b = ((c.beta + c.beta) * x) * c.sigma0 + c.sigma0 * c.sigma0;
        return std::sqrt((std::sqrt(((c.gamma * x) * x) * 4.0 + b * b) + b) * 0.5);
    }
    static double vol(const Prepared& c, double strike) noexcept {
        return vol_from_log(c, std::log(log_arg(c, strike)));
    }
};

// Instantiated once each, next to the formula they evaluate.
extern template class Model<GvvSmile>;
extern template class Model<CubicSmile>;
extern template class Model<VolGeoSmile>;

using GVVSpline = Model<GvvSmile>;
using CubicSpline = Model<CubicSmile>;
using VolGeo = Model<VolGeoSmile>;

static_assert(VolModel<GVVSpline> && VolModel<CubicSpline> && VolModel<VolGeo>);

}  // namespace korvex::volmodel
