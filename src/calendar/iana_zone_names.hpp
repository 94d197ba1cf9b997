// The zone and link names of the IANA time zone database.
#pragma once

#include <cstddef>
#include <string_view>

namespace korvex::calendar {

// The database release the names come from, such as "2025b".
extern const std::string_view kIanaRelease;

// Whether `name` is exactly (case-sensitively) a zone or link of the database.
bool is_iana_zone_name(std::string_view name) noexcept;

std::size_t iana_zone_name_count() noexcept;

}  // namespace korvex::calendar
