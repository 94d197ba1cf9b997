#include "core/utc_instant.hpp"

#include <cmath>
#include <limits>

namespace korvex {

namespace {

// Float-to-int64 conversion that saturates instead of being undefined.
std::int64_t saturating_floor(double x) noexcept {
    const double f = std::floor(x);
    if (f >= 9.223372036854775e18) return std::numeric_limits<std::int64_t>::max();
    if (f < -9.223372036854775808e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(f);
}

}  // namespace

bool UtcInstant::try_from_timestamp(double ts, UtcInstant& out) noexcept {
    if (std::isnan(ts)) return false;
    std::int64_t secs = saturating_floor(ts);
    if (secs == std::numeric_limits<std::int64_t>::max() ||
        secs == std::numeric_limits<std::int64_t>::min()) {
        return false;
    }
    // ts - floor(ts) is exact for doubles of this magnitude, in [0, 1).
    double frac = std::round((ts - static_cast<double>(secs)) * 1e9);
    auto nanos = static_cast<std::uint32_t>(frac);
    if (nanos >= 1'000'000'000u) {
        nanos -= 1'000'000'000u;
        secs += 1;
    }
    return try_from_parts(secs, nanos, out);
}

}  // namespace korvex
