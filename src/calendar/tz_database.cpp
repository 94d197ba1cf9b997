#include "calendar/tz_database.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <cctz/zone_info_source.h>

#include "core/error.hpp"

namespace korvex::calendar {

namespace {

const tz_embedded::Zone* find(std::string_view name) noexcept {
    const auto zones = tz_embedded::kZones;
    const auto it = std::ranges::lower_bound(zones, name, {}, &tz_embedded::Zone::name);
    return it != zones.end() && it->name == name ? &*it : nullptr;
}

// A zone file of the release, handed to cctz as if read from a file.
class EmbeddedZoneFile final : public cctz::ZoneInfoSource {
public:
    explicit EmbeddedZoneFile(std::string_view data) : data_(data) {}
    std::size_t Read(void* ptr, std::size_t size) override {
        size = std::min(size, data_.size() - at_);
        std::memcpy(ptr, data_.data() + at_, size);
        at_ += size;
        return size;
    }
    int Skip(std::size_t offset) override {
        if (offset > data_.size() - at_) return -1;
        at_ += offset;
        return 0;
    }
    std::string Version() const override { return std::string(tz_embedded::kRelease); }

private:
    std::string_view data_;
    std::size_t at_ = 0;
};

// Where cctz gets a zone from: the embedded release, or nowhere. cctz's own
// fallback (TZDIR, /usr/share/zoneinfo and the like) is never called.
std::unique_ptr<cctz::ZoneInfoSource> embedded_zone_file(
    const std::string& name, const std::function<std::unique_ptr<cctz::ZoneInfoSource>(const std::string&)>&) {
    const tz_embedded::Zone* zone = find(name);
    if (!zone) return nullptr;
    return std::make_unique<EmbeddedZoneFile>(zone->tzif);
}

// Days of 400 Gregorian years: the calendar, and so every rule of the form
// "second Sunday of March", repeats after them.
constexpr std::int64_t kCycleSeconds = std::int64_t{146097} * 86400;
// More changes of name or daylight flag alone in a row are not looked past.
constexpr int kMaxSameOffsetTransitions = 64;

cctz::time_point<cctz::seconds> at_second(std::int64_t s) {
    return cctz::time_point<cctz::seconds>(cctz::seconds(s));
}

std::int64_t seconds_of(const cctz::civil_second& cs) { return cs - cctz::civil_second(); }

}  // namespace

std::string_view tz_release() noexcept { return tz_embedded::kRelease; }

bool is_tz_name(std::string_view name) noexcept { return find(name) != nullptr; }

std::span<const tz_embedded::Zone> tz_zones() noexcept { return tz_embedded::kZones; }

TimeZone::TimeZone(cctz::time_zone zone) : zone_(zone) {
    cctz::time_zone::civil_transition last;
    if (!zone_.prev_transition(cctz::time_point<cctz::seconds>::max(), &last)) return;
    last_ = zone_.lookup(last.to).trans.time_since_epoch().count();
    // The listed transitions come from a rule that repeats every 400 years
    // exactly when the last one recurs 400 years earlier, with the same
    // offsets on either side (real transitions never go back that far).
    const std::int64_t before = offset_at(last_ - 1);
    const std::int64_t after = offset_at(last_);
    periodic_ = before != after && offset_at(last_ - kCycleSeconds - 1) == before &&
                offset_at(last_ - kCycleSeconds) == after;
}

std::optional<TimeZone> TimeZone::load(std::string_view name) {
    if (!is_tz_name(name)) return std::nullopt;
    cctz::time_zone zone;
    if (!cctz::load_time_zone(std::string(name), &zone)) {
        throw InternalFault("embedded zone file not readable: " + std::string(name));
    }
    return TimeZone(zone);
}

std::int32_t TimeZone::offset_at(std::int64_t s) const {
    const int offset = zone_.lookup(at_second(s)).offset;
    if (offset <= -86400 || offset >= 86400) throw InternalFault("zone offset is not within a day");
    return offset;
}

TimeZone::Stretch TimeZone::listed_stretch(std::int64_t s) const {
    Stretch stretch;
    stretch.offset = offset_at(s);
    const std::int64_t offset = stretch.offset;
    cctz::time_zone::civil_transition tr;
    // The last transition at or before s (prev_transition finds the last
    // one strictly before its argument): tr.to is its instant on the wall
    // clock of the offset after it, which is the stretch's offset. Earlier
    // transitions that left the offset as it was are looked past.
    auto at = at_second(s) + cctz::seconds(1);
    for (int i = 0;; ++i) {
        if (!zone_.prev_transition(at, &tr)) {
            stretch.lo = std::numeric_limits<std::int64_t>::min();
            break;
        }
        const std::int64_t t = seconds_of(tr.to) - offset;
        stretch.lo = t;
        if (seconds_of(tr.from) - t != offset || i + 1 == kMaxSameOffsetTransitions) break;
        at = at_second(t);
    }
    // The first transition after s: tr.from is its instant on the wall clock
    // of the offset before it, the stretch's offset.
    at = at_second(s);
    for (int i = 0;; ++i) {
        if (!zone_.next_transition(at, &tr)) {
            stretch.hi = std::numeric_limits<std::int64_t>::max();
            break;
        }
        const std::int64_t t = seconds_of(tr.from) - offset;
        stretch.hi = t;
        if (seconds_of(tr.to) - t != offset || i + 1 == kMaxSameOffsetTransitions) break;
        at = at_second(t);
    }
    return stretch;
}

TimeZone::Stretch TimeZone::stretch_at(std::int64_t s) const {
    if (!periodic_ || s < last_) {
        Stretch stretch = listed_stretch(s);
        if (!(s >= stretch.lo && s < stretch.hi)) throw InternalFault("zone transitions do not enclose the instant");
        return stretch;
    }
    // Beyond the listed transitions: the same stretch some whole number of
    // 400-year cycles earlier, within the last cycle listed, moved back out.
    const std::int64_t cycles = (s - last_) / kCycleSeconds + 1;
    const std::int64_t shift = cycles * kCycleSeconds;
    const Stretch inner = listed_stretch(s - shift);
    Stretch stretch;
    stretch.lo = std::max(inner.lo, last_ - kCycleSeconds) + shift;
    stretch.hi = std::min(inner.hi, last_) + shift;
    stretch.offset = inner.offset;
    if (!(s >= stretch.lo && s < stretch.hi) || stretch.offset != offset_at(s)) {
        throw InternalFault("zone offsets beyond the listed transitions do not repeat");
    }
    return stretch;
}

}  // namespace korvex::calendar

// cctz asks this for the source of every zone it loads.
namespace cctz_extension {
ZoneInfoSourceFactory zone_info_source_factory = korvex::calendar::embedded_zone_file;
}  // namespace cctz_extension
