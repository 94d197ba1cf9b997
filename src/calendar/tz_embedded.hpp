// The IANA time zone release embedded at build time (generated from
// third_party/tzdata by cmake/embed_tzdata.cmake): what the calendar's time
// zones are read from. calendar/tz_database.hpp is the interface to use.
#pragma once

#include <span>
#include <string_view>

namespace korvex::calendar::tz_embedded {

// A zone or link name of the release and its compiled zone file (TZif).
struct Zone {
    std::string_view name;
    std::string_view tzif;
};

// The release, such as "2026f".
extern const std::string_view kRelease;
// Every name of the release, sorted (byte order).
extern const std::span<const Zone> kZones;

}  // namespace korvex::calendar::tz_embedded
