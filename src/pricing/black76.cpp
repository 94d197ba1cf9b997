#include "pricing/black76.hpp"

#include <cmath>

namespace korvex::pricing {

Result<double> b76_fairvalue(double fwd, double strike, double ttx, double vol,
                             std::string_view call_put, double df) {
    auto side = parse_option_side(call_put);
    if (!side) return std::unexpected(std::move(side.error()));
    return black76_price(fwd, strike, ttx, vol, *side, df);
}

// Delta is the derivative of the price with respect to the forward:
// df * N(d1) for a call, -df * N(-d1) for a put.
Result<double> b76_delta(double fwd, double strike, double ttx, double vol,
                         std::string_view call_put, double df) {
    auto parsed = parse_option_side(call_put);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    const OptionSide side = *parsed;
    if (is_degenerate(ttx, vol)) return b76::degenerate_delta(fwd, strike, side, df);
    double s;
    const double d1 = b76::d1(vol, ttx, std::sqrt(ttx), std::log(fwd / strike), s);
    return b76::delta(side, df, side == OptionSide::Call ? norm_cdf(d1) : norm_cdf(-d1));
}

double b76_vega(double fwd, double strike, double ttx, double vol, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const double sqrt_ttx = std::sqrt(ttx);
    double s;
    const double d1 = b76::d1(vol, ttx, sqrt_ttx, std::log(fwd / strike), s);
    return b76::vega(norm_pdf(d1), fwd, sqrt_ttx, df);
}

// Second derivative of the price with respect to the forward, the same for
// both sides: n(d1) * df / (F * vol * sqrt(T)).
double b76_gamma(double fwd, double strike, double ttx, double vol, double df) {
    if (is_degenerate(ttx, vol)) return 0.0;
    const double sqrt_ttx = std::sqrt(ttx);
    double s;
    const double d1 = b76::d1(vol, ttx, sqrt_ttx, std::log(fwd / strike), s);
    return b76::gamma(norm_pdf(d1), fwd, vol, sqrt_ttx, df);
}

namespace {

// Options per block: the stage buffers stay in the first-level cache.
constexpr std::size_t kGreeksBlock = 128;

}  // namespace

void b76_greeks(const B76Inputs& in, std::size_t n, double* out_fairvalue, double* out_delta,
                double* out_gamma, double* out_vega) noexcept {
    double fwd[kGreeksBlock], strike[kGreeksBlock], ttx[kGreeksBlock], vol[kGreeksBlock], df[kGreeksBlock];
    bool call[kGreeksBlock];
    double sqrt_ttx[kGreeksBlock], s[kGreeksBlock], ratio[kGreeksBlock], ln_fk[kGreeksBlock];
    double d1[kGreeksBlock], arg1[kGreeksBlock], arg2[kGreeksBlock], arg_pdf[kGreeksBlock];
    double erfc1[kGreeksBlock], erfc2[kGreeksBlock], gauss[kGreeksBlock];

    for (std::size_t base = 0; base < n; base += kGreeksBlock) {
        const std::size_t m = n - base < kGreeksBlock ? n - base : kGreeksBlock;
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = base + j;
            fwd[j] = in.fwd[i * in.fwd_step];
            strike[j] = in.strike[i * in.strike_step];
            ttx[j] = in.ttx[i * in.ttx_step];
            vol[j] = in.vol[i * in.vol_step];
            df[j] = in.df[i * in.df_step];
            call[j] = in.is_call[i * in.call_step];
        }
        // Degenerate options run through the stages too (their values are
        // discarded at the end): no stage branches on them.
        for (std::size_t j = 0; j < m; ++j) {
            sqrt_ttx[j] = std::sqrt(ttx[j]);
            ratio[j] = fwd[j] / strike[j];
        }
        for (std::size_t j = 0; j < m; ++j) ln_fk[j] = std::log(ratio[j]);
        for (std::size_t j = 0; j < m; ++j) {
            d1[j] = b76::d1(vol[j], ttx[j], sqrt_ttx[j], ln_fk[j], s[j]);
            const double d2 = d1[j] - s[j];
            // N(d1), N(d2) for a call; N(-d1), N(-d2) for a put.
            arg1[j] = norm_cdf_erfc_arg(call[j] ? d1[j] : -d1[j]);
            arg2[j] = norm_cdf_erfc_arg(call[j] ? d2 : -d2);
            arg_pdf[j] = norm_pdf_exp_arg(d1[j]);
        }
        for (std::size_t j = 0; j < m; ++j) {
            erfc1[j] = std::erfc(arg1[j]);
            erfc2[j] = std::erfc(arg2[j]);
            gauss[j] = std::exp(arg_pdf[j]);
        }
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = base + j;
            const OptionSide side = call[j] ? OptionSide::Call : OptionSide::Put;
            const double n1 = norm_cdf_from_erfc(erfc1[j]);
            const double n2 = norm_cdf_from_erfc(erfc2[j]);
            const double pdf = norm_pdf_from_exp(gauss[j]);
            const bool degenerate = is_degenerate(ttx[j], vol[j]);
            out_fairvalue[i] = degenerate ? b76::intrinsic(fwd[j], strike[j], side, df[j])
                                          : b76::value(fwd[j], strike[j], side, df[j], n1, n2);
            out_delta[i] = degenerate ? b76::degenerate_delta(fwd[j], strike[j], side, df[j])
                                      : b76::delta(side, df[j], n1);
            out_gamma[i] = degenerate ? 0.0 : b76::gamma(pdf, fwd[j], vol[j], sqrt_ttx[j], df[j]);
            out_vega[i] = degenerate ? 0.0 : b76::vega(pdf, fwd[j], sqrt_ttx[j], df[j]);
        }
    }
}

namespace {

// Black76Curve::price(vol) - price for options [0, m) of a block at one vol,
// the pieces sqrt_ttx and ln_fk given.
void mispricing_stage(const double* fwd, const double* strike, const double* ttx, const bool* call,
                      const double* df, const double* price, const double* sqrt_ttx, const double* ln_fk,
                      std::size_t m, double vol, double* out) noexcept {
    double arg1[kGreeksBlock], arg2[kGreeksBlock], erfc1[kGreeksBlock], erfc2[kGreeksBlock];
    for (std::size_t j = 0; j < m; ++j) {
        double s;
        const double d1 = b76::d1(vol, ttx[j], sqrt_ttx[j], ln_fk[j], s);
        const double d2 = d1 - s;
        arg1[j] = norm_cdf_erfc_arg(call[j] ? d1 : -d1);
        arg2[j] = norm_cdf_erfc_arg(call[j] ? d2 : -d2);
    }
    for (std::size_t j = 0; j < m; ++j) {
        erfc1[j] = std::erfc(arg1[j]);
        erfc2[j] = std::erfc(arg2[j]);
    }
    for (std::size_t j = 0; j < m; ++j) {
        const OptionSide side = call[j] ? OptionSide::Call : OptionSide::Put;
        const double p = is_degenerate(ttx[j], vol)
                             ? b76::intrinsic(fwd[j], strike[j], side, df[j])
                             : b76::value(fwd[j], strike[j], side, df[j], norm_cdf_from_erfc(erfc1[j]),
                                          norm_cdf_from_erfc(erfc2[j]));
        out[j] = p - price[j];
    }
}

}  // namespace

void black76_mispricing_block(const double* fwd, const double* strike, const double* ttx,
                              const bool* is_call, const double* df, const double* price, std::size_t n,
                              double vol_a, double vol_b, double* sqrt_ttx, double* ln_fk, double* f_a,
                              double* f_b) noexcept {
    for (std::size_t base = 0; base < n; base += kGreeksBlock) {
        const std::size_t m = n - base < kGreeksBlock ? n - base : kGreeksBlock;
        double ratio[kGreeksBlock];
        for (std::size_t j = 0; j < m; ++j) {
            sqrt_ttx[base + j] = std::sqrt(ttx[base + j]);
            ratio[j] = fwd[base + j] / strike[base + j];
        }
        for (std::size_t j = 0; j < m; ++j) ln_fk[base + j] = std::log(ratio[j]);
        mispricing_stage(fwd + base, strike + base, ttx + base, is_call + base, df + base, price + base,
                         sqrt_ttx + base, ln_fk + base, m, vol_a, f_a + base);
        mispricing_stage(fwd + base, strike + base, ttx + base, is_call + base, df + base, price + base,
                         sqrt_ttx + base, ln_fk + base, m, vol_b, f_b + base);
    }
}

}  // namespace korvex::pricing
