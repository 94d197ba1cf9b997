// The array kernels of korvex_chain, free of Python: each takes columns of
// inputs and fills caller-owned outputs over an index range, calling the same
// core functions as the korvex module does for one option.
#pragma once

#include <cstddef>
#include <cstdint>

#include "calendar/calendar.hpp"
#include "core/utc_instant.hpp"

namespace korvex::chain {

// One input column: an array of the call's length (step 1) or a single
// value repeated for every element (step 0).
template <class T>
struct Column {
    const T* data = nullptr;
    std::size_t step = 1;
    T operator[](std::size_t i) const noexcept { return data[i * step]; }
};

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

// Implied vols of elements [begin, end); `status` may be null.
void implied_vols(const IVInputs& in, std::size_t begin, std::size_t end, double* vol,
                  std::int8_t* status) noexcept;

struct PricingInputs {
    Column<double> fwd, strike, ttx, vol, df;
    Column<bool> is_call;
};

struct B76Outputs {
    double *fairvalue, *delta, *gamma, *vega;
};
void b76(const PricingInputs& in, std::size_t begin, std::size_t end, const B76Outputs& out) noexcept;

struct BinaryOutputs {
    double *fairvalue, *delta, *gamma, *vega, *theta;
};
void binary(const PricingInputs& in, std::size_t begin, std::size_t end,
            const BinaryOutputs& out) noexcept;

// Instants given either as float epoch seconds (`seconds`, converted as a
// float timestamp is) or as integer ticks of a fixed unit (`ticks`, with
// INT64_MIN meaning no instant): a tick is 1 / ticks_per_second seconds for
// units of a second and below, seconds_per_tick seconds above.
struct InstantColumn {
    Column<double> seconds;
    Column<std::int64_t> ticks;
    std::int64_t ticks_per_second = 1;
    std::int64_t seconds_per_tick = 1;
    bool is_ticks = false;
};

// The instant of element i, or false when there is none (NaN, NaT, out of range).
bool instant_at(const InstantColumn& c, std::size_t i, UtcInstant& out) noexcept;

// The UTC days (since 1970-01-01) of the earliest and latest instants of
// elements [begin, end), widened into lo and hi; an element without an
// instant does not count, nor does a column of one value (step 0).
void instant_day_range(const InstantColumn& c, std::size_t begin, std::size_t end, std::int64_t& lo,
                       std::int64_t& hi) noexcept;

// Lends a calendar, once, to a bus_ttx call that meets instants its table
// does not cover.
using CalendarLender = calendar::Calendar& (*)(void* context);

// As Calendar::get_bus_ttx for elements [begin, end), NaN where it fails:
// year positions from `table` where it covers the instant, from the lent
// calendar elsewhere.
void bus_ttx(const calendar::PositionTable& table, CalendarLender lend, void* lend_context,
             const InstantColumn& from, const InstantColumn& to, std::size_t begin, std::size_t end,
             double* out);
void cal_ttx(const InstantColumn& from, const InstantColumn& to, std::size_t begin, std::size_t end,
             double* out) noexcept;

}  // namespace korvex::chain
