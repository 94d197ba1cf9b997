// korvex_chain's pricing kernels, free of Python: implied vols, Black-76 and
// binary prices and greeks over columns of inputs, into caller-owned
// outputs, split over threads. Each element calls the same core functions as
// the korvex module does for one option.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chain/column.hpp"

namespace korvex::chain {

// Why an implied volatility is NaN. The codes are part of the Python API.
enum class IVStatus : std::int8_t {
    Ok = 0,
    BelowMin = 1,     // the price is below what vol 0.01 gives
    AboveMax = 2,     // above what vol 10 gives
    NoTimeValue = 3,  // ttx <= 0 and the price is not exactly the intrinsic value
    NanInput = 4,     // a NaN input, or inputs for which the price itself is NaN
};

struct IVInputs {
    Column<double> ttx, fwd, strike, price, df;
    Column<bool> is_call;
};

// Implied vols of n elements on `threads` threads; `status` may be null.
void implied_vols(const IVInputs& in, std::size_t n, double* vol, std::int8_t* status, int threads);

struct PricingInputs {
    Column<double> fwd, strike, ttx, vol, df;
    Column<bool> is_call;
};

struct B76Outputs {
    double *fairvalue, *delta, *gamma, *vega;
};
void b76(const PricingInputs& in, std::size_t n, const B76Outputs& out, int threads);

struct BinaryOutputs {
    double *fairvalue, *delta, *gamma, *vega, *theta;
};
void binary(const PricingInputs& in, std::size_t n, const BinaryOutputs& out, int threads);

}  // namespace korvex::chain
