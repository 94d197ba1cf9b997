// korvex_chain's time kernels, free of Python: business and calendar years
// between columns of instants, split over threads, each pair computed as
// korvex's Calendar computes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "chain/column.hpp"
#include "core/error.hpp"

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

// The calendar of a bus_ttx call: the name of an embedded calendar (as
// korvex's Calendar(underlying) takes it) or the text of a calendar document.
struct CalendarSource {
    std::string_view text;
    bool is_document = false;
};

// As Calendar(...).get_bus_ttx for n pairs, NaN where it fails; the error
// of Calendar::create or Calendar::from_document, with nothing written, when
// the calendar does not build. The calendars (stateful, so one per thread)
// come from a pool kept for later calls with the same calendar, and so does
// the last position table made from it, for calls over the same years.
Result<void> bus_ttx(const CalendarSource& calendar, const InstantColumn& from, const InstantColumn& to,
                     std::size_t n, double* out, int threads);

// As Calendar.get_cal_ttx for n pairs, NaN where an instant is missing.
void cal_ttx(const InstantColumn& from, const InstantColumn& to, std::size_t n, double* out, int threads);

}  // namespace korvex::chain
