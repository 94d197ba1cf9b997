// libFuzzer target: korvex_chain's instrument-name parser
// (chain::parse_instrument_names) on arbitrary bytes.
//
// The first byte picks the expiry hour (0 to 23), the rest is a list of
// names, one per line, handed over as Arrow string buffers as the Python
// layer hands them. Besides surviving every input (ASan, UBSan), each answer
// is checked against an independent reading of every name: the same grammar
// as the Python layer's regular expression (std::regex, the ECMAScript
// flavour of it), the day counted from the civil calendar, the strike read
// by strtod and the side by its four ASCII spellings. The batch may be
// refused (nothing returned) only for a byte outside printable ASCII inside
// a name, or for a strike at the edges of a double's range.
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "chain/instrument_names.hpp"

namespace {

using korvex::chain::InstrumentNames;
using korvex::chain::NameStatus;

// Longer names are still parsed and checked for consistency, but not read
// by std::regex, whose matcher recurses once per character.
constexpr std::size_t kOracleMaxName = 256;

[[noreturn]] void fail(const char* what, std::string_view name, const std::string& detail) {
    std::fprintf(stderr, "instrument name check failed: %s\n  %s\n  name (%zu bytes): ", what, detail.c_str(),
                 name.size());
    for (unsigned char c : name.substr(0, 512)) std::fprintf(stderr, "\\x%02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim(std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// A byte the compiled parser leaves to the general one (Unicode case
// mapping and blanks are that one's to decide).
bool foreign(std::string_view trimmed) {
    for (char c : trimmed) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 || (b < 0x20 && !blank(c))) return true;
    }
    return false;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

const std::regex& pattern() {
    static const std::regex re(
        R"(^([A-Z0-9]+)(?:[-_]([A-Z]+))?-([0-9]{1,2}[A-Z]{3}[0-9]{2}|[0-9]{6}))"
        R"(-([0-9]+(?:[.D][0-9]+)?)-([A-Z]+)(?:-([A-Z]+))?$)",
        std::regex::ECMAScript | std::regex::optimize);
    return re;
}

int digits(std::string_view s) {
    int v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

// Days since 1970-01-01 of a proleptic Gregorian date (Hinnant's
// days_from_civil), or nothing when it is no date.
std::optional<std::int64_t> civil_days(int y, int m, int d) {
    static constexpr int kLength[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1) return std::nullopt;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kLength[m - 1] + (m == 2 && leap ? 1 : 0)) return std::nullopt;
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return std::int64_t{era} * 146097 + doe - 719468;
}

std::optional<std::int64_t> expiry_days(std::string_view token) {
    static constexpr std::string_view kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                   "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (token.size() == 6 && token[1] >= '0' && token[1] <= '9' && token[2] >= '0' && token[2] <= '9') {
        return civil_days(2000 + digits(token.substr(0, 2)), digits(token.substr(2, 2)),
                          digits(token.substr(4, 2)));
    }
    const std::size_t day_len = token.size() - 5;
    const std::string_view month = token.substr(day_len, 3);
    for (int m = 0; m < 12; ++m) {
        if (kMonths[m] == month) {
            return civil_days(2000 + digits(token.substr(day_len + 3)), m + 1, digits(token.substr(0, day_len)));
        }
    }
    return std::nullopt;
}

std::int8_t side_of(std::string_view token) {
    if (token == "C" || token == "CALL") return 1;
    if (token == "P" || token == "PUT") return 0;
    return -1;
}

// What one name should give: its fields, and whether its strike is beyond
// a double (which refuses the batch).
struct Want {
    std::string underlying, currency;
    NameStatus status = NameStatus::Unparsable;
    std::int64_t expiry_ns = std::numeric_limits<std::int64_t>::min();
    double strike = std::numeric_limits<double>::quiet_NaN();
    std::int8_t side = -1;
    bool strike_out_of_range = false;
};

Want reference(std::string_view name, int hour) {
    Want w;
    const std::string text = upper(trim(name));
    std::size_t und = 0;
    while (und < text.size() && ((text[und] >= 'A' && text[und] <= 'Z') || (text[und] >= '0' && text[und] <= '9')))
        ++und;
    w.underlying = text.substr(0, und);
    std::smatch m;
    if (!std::regex_match(text, m, pattern())) return w;
    w.currency = m[6].matched ? m[6].str() : m[2].str();
    std::string strike = m[4].str();
    for (char& c : strike) {
        if (c == 'D') c = '.';
    }
    char* end = nullptr;
    const double k = std::strtod(strike.c_str(), &end);
    if (end != strike.c_str() + strike.size()) fail("strtod did not read the whole strike", name, strike);
    // Beyond the largest double, or a nonzero value at or below the
    // smallest normal one (where readers differ on what counts as out of range).
    const bool nonzero = strike.find_first_not_of("0.") != std::string::npos;
    w.strike_out_of_range = std::isinf(k) || (nonzero && k < std::numeric_limits<double>::min());
    w.strike = k;
    w.side = side_of(m[5].str());
    const auto days = expiry_days(m[3].str());
    if (days) w.expiry_ns = *days * 86'400'000'000'000 + std::int64_t{hour} * 3'600'000'000'000;
    w.status = !days ? NameStatus::BadExpiry : w.side < 0 ? NameStatus::UnknownSide : NameStatus::Ok;
    return w;
}

std::string show(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// A code into its distinct values, the value it stands for ("" for -1).
std::string decode(std::int64_t code, const std::vector<std::string>& values, const char* what,
                   std::string_view name) {
    if (code == -1) return "";
    if (code < 0 || static_cast<std::size_t>(code) >= values.size())
        fail("code out of range", name, std::string(what) + " code " + std::to_string(code));
    if (values[static_cast<std::size_t>(code)].empty()) fail("an empty value has a code", name, what);
    return values[static_cast<std::size_t>(code)];
}

void distinct(const std::vector<std::string>& values, const char* what) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        for (std::size_t j = i + 1; j < values.size(); ++j) {
            if (values[i] == values[j]) fail("values listed twice", values[i], what);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::setlocale(LC_ALL, "C");  // strtod reads '.' as the decimal point
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int hour = data[0] % 24;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::int32_t> offsets{0};
    std::string chars;
    std::vector<std::string_view> names;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        names.push_back(text.substr(start, end - start));
        chars.append(names.back());
        offsets.push_back(static_cast<std::int32_t>(chars.size()));
        start = end + 1;
    }
    const std::size_t n = names.size();
    const auto got = korvex::chain::parse_instrument_names(offsets.data(), n, chars, hour);

    bool refusable = false;
    for (std::string_view name : names) {
        if (foreign(trim(name))) refusable = true;
    }
    if (!got) {
        if (refusable) return 0;
        for (std::string_view name : names) {
            if (name.size() <= kOracleMaxName && reference(name, hour).strike_out_of_range) return 0;
        }
        for (std::string_view name : names) {
            if (name.size() > kOracleMaxName) return 0;  // not read by the oracle: cannot tell
        }
        fail("a batch of printable names with readable strikes was refused", text, std::to_string(n) + " names");
    }
    if (refusable) fail("a name outside printable ASCII was parsed", text, std::to_string(n) + " names");

    const InstrumentNames& r = *got;
    if (r.underlying.size() != n || r.currency.size() != n || r.expiry_ns.size() != n || r.strike.size() != n ||
        r.side.size() != n || r.status.size() != n)
        fail("an output of the wrong length", text, std::to_string(n) + " names");
    distinct(r.underlyings, "underlyings");
    distinct(r.currencies, "currencies");
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view name = names[i];
        const std::string und = decode(r.underlying[i], r.underlyings, "underlying", name);
        const std::string ccy = decode(r.currency[i], r.currencies, "currency", name);
        const auto status = static_cast<NameStatus>(r.status[i]);
        // Fields the status implies, whatever the oracle.
        if (r.status[i] > 3) fail("unknown status", name, std::to_string(r.status[i]));
        if (r.side[i] < -1 || r.side[i] > 1) fail("side out of range", name, std::to_string(r.side[i]));
        const bool nat = r.expiry_ns[i] == std::numeric_limits<std::int64_t>::min();
        if (status == NameStatus::Unparsable &&
            (!nat || !std::isnan(r.strike[i]) || r.side[i] != -1 || !ccy.empty()))
            fail("an unparsable name has fields", name, "");
        if ((status == NameStatus::BadExpiry) != (status != NameStatus::Unparsable && nat))
            fail("expiry and status disagree", name, std::to_string(r.status[i]));
        if (status == NameStatus::Ok && (r.side[i] < 0 || !(r.strike[i] >= 0.0)))
            fail("a readable name without side or strike", name, "");

        if (name.size() > kOracleMaxName) continue;
        const Want w = reference(name, hour);
        if (und != w.underlying) fail("underlying differs", name, "got '" + und + "', want '" + w.underlying + "'");
        if (status != w.status)
            fail("status differs", name,
                 "got " + std::to_string(r.status[i]) + ", want " + std::to_string(static_cast<int>(w.status)));
        if (ccy != w.currency) fail("currency differs", name, "got '" + ccy + "', want '" + w.currency + "'");
        if (r.expiry_ns[i] != w.expiry_ns)
            fail("expiry differs", name,
                 "got " + std::to_string(r.expiry_ns[i]) + ", want " + std::to_string(w.expiry_ns));
        if (!same(r.strike[i], w.strike)) fail("strike differs", name, "got " + show(r.strike[i]) + ", want " + show(w.strike));
        if (r.side[i] != w.side)
            fail("side differs", name, "got " + std::to_string(r.side[i]) + ", want " + std::to_string(w.side));
    }
    return 0;
}
