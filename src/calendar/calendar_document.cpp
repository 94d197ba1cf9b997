#include "calendar/calendar_document.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <simdjson.h>

#include "core/json_parser.hpp"
#include "core/unicode.hpp"

namespace korvex::calendar {

namespace {

constexpr std::string_view kDayWeightings = "DayWeightings";

bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
constexpr std::string_view kTimeWeightings = "TimeWeightings";
constexpr std::string_view kIanaTimeZone = "IanaTimeZone";

std::unexpected<Error> parser_error(simdjson::error_code code) {
    return value_error(simdjson::error_message(code));
}

std::unexpected<Error> field_error(std::string_view what, std::string_view key) {
    std::string msg(what);
    msg += " `";
    msg += key;
    msg += '`';
    return value_error(std::move(msg));
}

bool is_number(const simdjson::dom::element& e) {
    const auto t = e.type();
    return t == simdjson::dom::element_type::INT64 || t == simdjson::dom::element_type::UINT64 ||
           t == simdjson::dom::element_type::DOUBLE;
}

// An unsigned decimal integer: optional '+', then one or more ASCII digits,
// within 64 bits. Anything else reads as nothing.
std::optional<std::uint64_t> read_unsigned(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(ch - '0');
        if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
        v = v * 10 + digit;
    }
    return v;
}

// Reads one "TimeWeightings" entry; labels are applied in document order, so
// of two labels that address the same quarter-hour the later one stays.
Result<DayProfile> read_profile(std::string_view day, const simdjson::dom::element& value) {
    simdjson::dom::object labels;
    if (value.get_object().get(labels)) {
        return field_error("invalid type: expected an object of interval labels for", day);
    }
    DayProfile profile;
    profile.key = std::string(day);
    for (auto [label, weight] : labels) {
        if (!is_number(weight)) {
            return field_error("invalid type: expected a number for the interval label", label);
        }
        double w = 0.0;
        if (auto err = weight.get_double().get(w)) return parser_error(err);
        if (auto bucket = label_bucket(label)) profile.raw[static_cast<std::size_t>(*bucket)] = w;
    }
    return profile;
}

// The parser reads every number as a double except integer literals, which
// it keeps as 64-bit integers and refuses beyond that range ("Problem while
// parsing a number"), although they are valid JSON and a weight is a double
// whatever its spelling: 100000000000000000000 must read as 1e20 does, in a
// weight as in a member that is ignored. When the parser refuses a number,
// integer literals of more digits than its integers can be sure to hold are
// handed to it again with ".0" appended, which it reads as the nearest
// double: the very value the integer has as a double (and the value a
// shorter literal, read as an integer, becomes as a weight). A number too
// large for a double is still refused, in either spelling. Returns nothing
// when no literal needs it.
std::optional<std::string> with_long_integers_as_doubles(std::string_view json) {
    constexpr std::size_t kSafeDigits = 18;  // every 18-digit integer fits 64 bits
    std::string out;
    std::size_t copied = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (in_string) {
            if (c == '\\') ++i;  // the escaped character cannot end the string
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') {
            in_string = true;
            continue;
        }
        if (c != '-' && !ascii_digit(c)) continue;
        // One number: -? digits (. digits)? ([eE] [+-]? digits)?
        std::size_t j = i + (c == '-' ? 1 : 0);
        const std::size_t int_begin = j;
        while (j < json.size() && ascii_digit(json[j])) ++j;
        const std::size_t int_end = j;
        bool integer = true;
        if (j < json.size() && json[j] == '.') {
            integer = false;
            for (++j; j < json.size() && ascii_digit(json[j]);) ++j;
        }
        if (j < json.size() && (json[j] == 'e' || json[j] == 'E')) {
            integer = false;
            ++j;
            if (j < json.size() && (json[j] == '+' || json[j] == '-')) ++j;
            while (j < json.size() && ascii_digit(json[j])) ++j;
        }
        if (integer && int_end - int_begin > kSafeDigits) {
            out.append(json.substr(copied, int_end - copied));
            out.append(".0");
            copied = int_end;
        }
        i = j - 1;
    }
    if (copied == 0) return std::nullopt;
    out.append(json.substr(copied));
    return out;
}

}  // namespace

const DayProfile* CalendarDocument::find_profile(std::string_view key) const noexcept {
    for (auto it = time_weightings.rbegin(); it != time_weightings.rend(); ++it) {
        if (it->key == key) return &*it;
    }
    return nullptr;
}

namespace {

constexpr int kNotPlain = -2;
constexpr int kIgnored = -1;

// The usual label, "HH:MM" then blanks up to a '-' or the end, read
// directly: the bucket, kIgnored at or after 24:00, or kNotPlain.
int plain_label_bucket(std::string_view label) {
    if (label.size() < 5 || !ascii_digit(label[0]) || !ascii_digit(label[1]) || label[2] != ':' ||
        !ascii_digit(label[3]) || !ascii_digit(label[4])) {
        return kNotPlain;
    }
    for (std::size_t i = 5; i < label.size() && label[i] != '-'; ++i) {
        if (!ascii_space(label[i])) return kNotPlain;
    }
    const int minute = ((label[0] - '0') * 10 + (label[1] - '0')) * 60 + (label[3] - '0') * 10 + (label[4] - '0');
    return minute >= kMinutesPerDay ? kIgnored : minute / kMinutesPerBucket;
}

}  // namespace

std::optional<int> label_bucket(std::string_view label) {
    if (const int plain = plain_label_bucket(label); plain != kNotPlain) {
        return plain == kIgnored ? std::nullopt : std::optional<int>(plain);
    }

    std::string_view start = label.substr(0, label.find('-'));
    // ASCII white space is trimmed here; ICU is asked only when a non-ASCII
    // character is left at either end.
    while (!start.empty() && ascii_space(start.front())) start.remove_prefix(1);
    while (!start.empty() && ascii_space(start.back())) start.remove_suffix(1);
    if (!start.empty() && (static_cast<unsigned char>(start.front()) >= 0x80 ||
                           static_cast<unsigned char>(start.back()) >= 0x80)) {
        start = unicode::trim_white_space(start);
    }

    const auto colon = start.find(':');
    const std::uint64_t hours = read_unsigned(start.substr(0, colon)).value_or(0);
    std::uint64_t minutes = 0;
    if (colon != std::string_view::npos) {
        std::string_view rest = start.substr(colon + 1);
        minutes = read_unsigned(rest.substr(0, rest.find(':'))).value_or(0);
    }
    // A start at or after the end of the day is ignored, decided without
    // letting hours * 60 + minutes overflow 64 bits.
    constexpr std::uint64_t day = kMinutesPerDay;
    if (hours >= day / 60 || minutes >= day) return std::nullopt;
    const std::uint64_t minute_of_day = hours * 60 + minutes;
    if (minute_of_day >= day) return std::nullopt;
    return static_cast<int>(minute_of_day / kMinutesPerBucket);
}

Result<CalendarDocument> parse_calendar_document(std::string_view json) {
    // The whole text is validated here, including members that are ignored.
    // Nothing parsed outlives this call.
    const ScratchJsonParser parser;
    simdjson::dom::element root;
    // The text as it is first: scanning it for long integer literals costs
    // more than the parse, and only a refused number can need it.
    auto err = parser->parse(json.data(), json.size()).get(root);
    std::optional<std::string> widened;
    if (err == simdjson::NUMBER_ERROR && (widened = with_long_integers_as_doubles(json))) {
        err = parser->parse(widened->data(), widened->size()).get(root);
    }
    if (err) return parser_error(err);

    simdjson::dom::object members;
    if (root.get_object().get(members)) {
        return value_error("invalid type: expected an object for the calendar document");
    }

    CalendarDocument doc;
    bool have_days = false;
    bool have_times = false;
    bool have_zone = false;
    for (auto [key, value] : members) {
        if (key == kDayWeightings) {
            if (have_days) return field_error("duplicate field", key);
            have_days = true;
            simdjson::dom::object days;
            if (value.get_object().get(days)) {
                return field_error("invalid type: expected an object for", key);
            }
            for (auto [day, weight] : days) {
                if (!is_number(weight)) return field_error("invalid type: expected a number for", day);
                double w = 0.0;
                if (auto err = weight.get_double().get(w)) return parser_error(err);
                doc.day_weightings.emplace_back(std::string(day), w);
            }
        } else if (key == kTimeWeightings) {
            if (have_times) return field_error("duplicate field", key);
            have_times = true;
            simdjson::dom::object days;
            if (value.get_object().get(days)) {
                return field_error("invalid type: expected an object for", key);
            }
            for (auto [day, labels] : days) {
                auto profile = read_profile(day, labels);
                if (!profile) return std::unexpected(std::move(profile.error()));
                doc.time_weightings.push_back(std::move(*profile));
            }
        } else if (key == kIanaTimeZone) {
            if (have_zone) return field_error("duplicate field", key);
            have_zone = true;
            std::string_view zone;
            if (value.get_string().get(zone)) {
                return field_error("invalid type: expected a string for", key);
            }
            doc.iana_time_zone = std::string(zone);
        }
    }
    if (!have_days) return field_error("missing field", kDayWeightings);
    if (!have_times) return field_error("missing field", kTimeWeightings);
    if (!have_zone) return field_error("missing field", kIanaTimeZone);
    return doc;
}

}  // namespace korvex::calendar
