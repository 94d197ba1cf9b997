// Reading a calendar document (JSON) into plain values.
//
// The document is an object with three required members: "DayWeightings"
// (weekday name -> weight), "TimeWeightings" (weekday name -> object of
// quarter-hour interval labels -> raw weight) and "IanaTimeZone" (zone name).
// Other members are allowed and ignored, but must be well-formed JSON.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "calendar/buckets.hpp"
#include "core/error.hpp"

namespace korvex::calendar {

// One entry of "TimeWeightings": the key as written and the raw weight of
// each quarter-hour after applying the entry's labels in document order
// (a bucket that no label names keeps 0).
struct DayProfile {
    std::string key;
    std::array<double, kBucketsPerDay> raw{};
};

struct CalendarDocument {
    // Entries in document order; a later entry for the same key wins.
    std::vector<std::pair<std::string, double>> day_weightings;
    std::vector<DayProfile> time_weightings;
    std::string iana_time_zone;

    // The last "TimeWeightings" entry whose key is exactly `key`, if any.
    const DayProfile* find_profile(std::string_view key) const noexcept;
};

Result<CalendarDocument> parse_calendar_document(std::string_view json);

// The quarter-hour that an interval label such as "09:30 - 09:45" starts,
// or nothing when the label starts at or after 24:00. Only the start is
// read: the text before the first '-', trimmed of Unicode white space, split
// at ':' into hours and minutes. A piece that is not an unsigned decimal
// number (optional '+', digits only, within 64 bits) counts as 0.
std::optional<int> label_bucket(std::string_view label);

}  // namespace korvex::calendar
