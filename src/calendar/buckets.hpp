// The intraday grid of every calendar: a day of local wall-clock time is cut
// into quarter-hour buckets, and each bucket carries its share of the day's
// business weight. Every part of the calendar uses these names.
#pragma once

#include <cstdint>

namespace korvex::calendar {

inline constexpr int kMinutesPerDay = 1440;
inline constexpr int kMinutesPerBucket = 15;
inline constexpr int kBucketsPerDay = kMinutesPerDay / kMinutesPerBucket;  // 96
inline constexpr std::int64_t kSecondsPerBucket = kMinutesPerBucket * 60;  // 900
inline constexpr std::int64_t kSecondsPerDay = std::int64_t{kMinutesPerDay} * 60;

static_assert(kBucketsPerDay == 96 && kSecondsPerBucket == 900);

}  // namespace korvex::calendar
