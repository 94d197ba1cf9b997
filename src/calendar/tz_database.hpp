// The IANA time zone database of the calendar: one release, embedded in the
// module at build time (the names and compiled zone files of PyPI's tzdata
// wheel, see src/calendar/tzdata.release), read with cctz. Nothing outside
// the module is ever read: no zone files, no TZ or TZDIR, no system database.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include <cctz/time_zone.h>

#include "calendar/tz_embedded.hpp"

namespace korvex::calendar {

// The IANA release the zones come from, such as "2026f".
std::string_view tz_release() noexcept;

// Whether `name` is exactly (case-sensitively) a zone or link name of the
// release. Names the release does not have, such as links IANA removed or
// aliases of other databases, are not zones.
bool is_tz_name(std::string_view name) noexcept;

// Every zone and link name of the release with its zone file, sorted by name.
std::span<const tz_embedded::Zone> tz_zones() noexcept;

// One zone of the release: the UTC offset it gives every instant.
class TimeZone {
public:
    // A stretch of time [lo, hi), in seconds since the epoch, over which the
    // zone's UTC offset (seconds east of UTC) does not change.
    struct Stretch {
        std::int64_t lo = std::numeric_limits<std::int64_t>::min();
        std::int64_t hi = std::numeric_limits<std::int64_t>::max();
        std::int32_t offset = 0;
    };

    // The zone of that name; nothing when the release has no such name.
    static std::optional<TimeZone> load(std::string_view name);

    // The stretch that holds second `s`, from the last change of offset at
    // or before it to the first one after it (changes of name or daylight
    // flag alone do not end a stretch). Any second of the supported range.
    Stretch stretch_at(std::int64_t s) const;

private:
    explicit TimeZone(cctz::time_zone zone);
    std::int32_t offset_at(std::int64_t s) const;
    // The stretch from the zone's list of transitions.
    Stretch listed_stretch(std::int64_t s) const;

    cctz::time_zone zone_;
    // cctz lists a zone's transitions up to about 400 years past the last one
    // in its zone file, those after it generated from the file's rule for the
    // future; beyond `last_` (the last listed one) that rule repeats every
    // 400 years exactly, as the Gregorian calendar does. A zone without such
    // a rule keeps its last offset for ever after its last transition.
    std::int64_t last_ = std::numeric_limits<std::int64_t>::max();
    bool periodic_ = false;
};

}  // namespace korvex::calendar
