// korvex_chain's time kernels, free of Python: business and calendar years
// between columns of instants, split over threads, each pair computed as
// korvex's Calendar computes it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chain/column.hpp"

namespace korvex::chain {

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

// Tick units the kernels read: ticks_per_second a power of 1000 up to 1e18
// with seconds_per_tick 1, or whole seconds (ticks_per_second 1) per tick.
bool supported_time_unit(std::int64_t ticks_per_second, std::int64_t seconds_per_tick) noexcept;

// As Calendar("BTCUSDT").get_bus_ttx for n pairs, NaN where it fails. The
// calendars (stateful, so one per thread) come from a pool kept for later
// calls, and so does the last position table made, for calls over the same
// years.
void bus_ttx(const InstantColumn& from, const InstantColumn& to, std::size_t n, double* out, int threads);

// As Calendar.get_cal_ttx for n pairs, NaN where an instant is missing.
void cal_ttx(const InstantColumn& from, const InstantColumn& to, std::size_t n, double* out, int threads);

}  // namespace korvex::chain
