#pragma once

#include <cmath>
#include <cstddef>
#include <string_view>

#include "core/error.hpp"
#include "pricing/option_side.hpp"

namespace korvex::pricing {

// Time or volatility that leaves no diffusion. Ordered comparisons on purpose:
// a NaN ttx or vol is not degenerate and flows through the formulas as NaN.
inline bool is_degenerate(double ttx, double vol) { return ttx <= 0.0 || vol <= 0.0; }

// The normal functions in two halves around their libm call, so that code
// evaluating many of them (the block functions below) can do the arithmetic
// for a whole block in vector instructions and call libm in a tight loop,
// with exactly the same operations per value.
inline double norm_cdf_erfc_arg(double x) { return -x / 1.4142135623730951; }
inline double norm_cdf_from_erfc(double erfc_value) { return 0.5 * erfc_value; }
inline double norm_cdf(double x) { return norm_cdf_from_erfc(std::erfc(norm_cdf_erfc_arg(x))); }

// The divisor is deliberately this literal (one ulp above the correctly rounded
// sqrt(2*pi)): every pdf-based value is defined in terms of it.
inline double norm_pdf_exp_arg(double x) { return -0.5 * x * x; }
inline double norm_pdf_from_exp(double exp_value) { return exp_value / 2.5066282746310007; }
inline double norm_pdf(double x) { return norm_pdf_from_exp(std::exp(norm_pdf_exp_arg(x))); }

// The pieces every Black-76 quantity is built from. The scalar functions, the
// implied-vol search and the array kernels all compose these, so a value is
// computed by the same expression whichever way it is asked for.
namespace b76 {

// max(x, 0) where a NaN difference counts as worthless.
inline double positive_part(double x) { return x > 0.0 ? x : 0.0; }

// Discounted intrinsic value: the price when there is no diffusion.
inline double intrinsic(double fwd, double strike, OptionSide side, double df) {
    const double v = side == OptionSide::Call ? positive_part(fwd - strike) : positive_part(strike - fwd);
    return df * v;
}

// d1 from the vol-independent pieces sqrt(ttx) and ln(F/K); s = vol x sqrt(ttx).
inline double d1(double vol, double ttx, double sqrt_ttx, double ln_fk, double& s) {
    s = vol * sqrt_ttx;
    return (0.5 * vol * vol * ttx + ln_fk) / s;
}

// Price from the distribution values on the option's own side: n1 = N(d1),
// n2 = N(d2) for a call; n1 = N(-d1), n2 = N(-d2) for a put.
inline double value(double fwd, double strike, OptionSide side, double df, double n1, double n2) {
    if (side == OptionSide::Call) return df * (fwd * n1 - strike * n2);
    return df * (strike * n2 - fwd * n1);
}

// Delta from the same n1: df N(d1) for a call, -df N(-d1) for a put.
inline double delta(OptionSide side, double df, double n1) {
    if (side == OptionSide::Call) return df * n1;
    return -(df * n1);
}

// At expiry (or zero vol) delta is the step of the discounted intrinsic value.
inline double degenerate_delta(double fwd, double strike, OptionSide side, double df) {
    if (side == OptionSide::Call) return fwd > strike ? df : 0.0;
    return fwd < strike ? -df : 0.0;
}

inline double vega(double pdf_d1, double fwd, double sqrt_ttx, double df) {
    return pdf_d1 * (df * fwd) * sqrt_ttx;
}

inline double gamma(double pdf_d1, double fwd, double vol, double sqrt_ttx, double df) {
    return pdf_d1 * df / (fwd * vol * sqrt_ttx);
}

}  // namespace b76

// The Black-76 price of one option as a function of its volatility. The
// pieces that do not depend on the volatility (sqrt(ttx), ln(F/K)) are
// computed once, so a root search pays only for the two erfc per price; the
// values are bit for bit those of black76_price. Inline so that a search
// loop keeps everything in registers.
class Black76Curve {
public:
    Black76Curve() = default;
    Black76Curve(double fwd, double strike, double ttx, OptionSide side, double df)
        : Black76Curve(fwd, strike, ttx, side, df, std::sqrt(ttx), std::log(fwd / strike)) {}
    // The same curve from its vol-independent pieces, sqrt(ttx) and
    // ln(fwd / strike), computed elsewhere (black76_mispricing_block).
    Black76Curve(double fwd, double strike, double ttx, OptionSide side, double df, double sqrt_ttx,
                 double ln_fk)
        : fwd_(fwd), strike_(strike), ttx_(ttx), df_(df), side_(side), sqrt_ttx_(sqrt_ttx), ln_fk_(ln_fk) {}

    double price(double vol) const {
        if (is_degenerate(ttx_, vol)) return b76::intrinsic(fwd_, strike_, side_, df_);
        double s;
        const double d1 = b76::d1(vol, ttx_, sqrt_ttx_, ln_fk_, s);
        const double d2 = d1 - s;
        if (side_ == OptionSide::Call) {
            return b76::value(fwd_, strike_, side_, df_, norm_cdf(d1), norm_cdf(d2));
        }
        return b76::value(fwd_, strike_, side_, df_, norm_cdf(-d1), norm_cdf(-d2));
    }

private:
    double fwd_ = 0.0, strike_ = 0.0, ttx_ = 0.0, df_ = 0.0;
    OptionSide side_ = OptionSide::Call;
    double sqrt_ttx_ = 0.0, ln_fk_ = 0.0;
};

// Black-76 price; never fails. Degenerate (ttx <= 0 or vol <= 0) gives df x intrinsic.
inline double black76_price(double fwd, double strike, double ttx, double vol, OptionSide side,
                            double df) {
    return Black76Curve(fwd, strike, ttx, side, df).price(vol);
}

// Fair value and the three greeks of n options in one pass each (one ln,
// one sqrt, two erfc and one exp per option): out_*[i] is bit for bit the
// value of b76_fairvalue, b76_delta, b76_gamma and b76_vega for option i.
// Each input is read as in[i * step], so a step of 0 repeats one value;
// is_call[i * call_step] picks the side. The options are taken in blocks,
// each stage of the formula running over a whole block.
struct B76Inputs {
    const double *fwd, *strike, *ttx, *vol, *df;
    const bool* is_call;
    std::size_t fwd_step, strike_step, ttx_step, vol_step, df_step, call_step;
};
void b76_greeks(const B76Inputs& in, std::size_t n, double* out_fairvalue, double* out_delta,
                double* out_gamma, double* out_vega) noexcept;

// The start of n implied-vol searches at once: for option i (contiguous
// inputs), the vol-independent pieces of its Black76Curve, sqrt(ttx) and
// ln(fwd / strike), and its mispricing curve.price(vol) - price[i] at the
// two bracket ends vol_a and vol_b, bit for bit what the curve gives. In
// stages over blocks, like b76_greeks.
void black76_mispricing_block(const double* fwd, const double* strike, const double* ttx,
                              const bool* is_call, const double* df, const double* price, std::size_t n,
                              double vol_a, double vol_b, double* sqrt_ttx, double* ln_fk, double* f_a,
                              double* f_b) noexcept;

// The Python-facing functions: the side text is parsed before any arithmetic.
Result<double> b76_fairvalue(double fwd, double strike, double ttx, double vol,
                             std::string_view call_put, double df);
Result<double> b76_delta(double fwd, double strike, double ttx, double vol,
                         std::string_view call_put, double df);
double b76_vega(double fwd, double strike, double ttx, double vol, double df);
double b76_gamma(double fwd, double strike, double ttx, double vol, double df);

}  // namespace korvex::pricing
