#include "chain/instrument_names.hpp"

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>

#include "pricing/option_side.hpp"

namespace korvex::chain {

namespace {

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kNanosPerHour = std::int64_t{3'600'000'000'000};
constexpr std::int64_t kNanosPerDay = 24 * kNanosPerHour;

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The run of characters of a class from `at`.
template <class Pred>
std::size_t run(std::string_view s, std::size_t at, Pred pred) {
    std::size_t end = at;
    while (end < s.size() && pred(s[end])) ++end;
    return end - at;
}

int number(std::string_view digits) {
    int v = 0;
    for (char c : digits) v = v * 10 + (c - '0');
    return v;
}

// 27DEC24 / 7DEC24 / 241227 as days since the epoch; nothing if no date.
std::optional<std::int64_t> expiry_day(std::string_view token) {
    static constexpr std::array<std::string_view, 12> kMonths{"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                              "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    if (token.size() >= 6 && is_upper(token[token.size() - 5])) {
        const std::string_view name = token.substr(token.size() - 5, 3);
        for (std::size_t m = 0; m < kMonths.size(); ++m) {
            if (kMonths[m] == name) month = static_cast<unsigned>(m + 1);
        }
        if (month == 0) return std::nullopt;
        year = 2000 + number(token.substr(token.size() - 2));
        day = static_cast<unsigned>(number(token.substr(0, token.size() - 5)));
    } else {
        year = 2000 + number(token.substr(0, 2));
        month = static_cast<unsigned>(number(token.substr(2, 2)));
        day = static_cast<unsigned>(number(token.substr(4, 2)));
    }
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month},
                                           std::chrono::day{day}};
    if (!date.ok()) return std::nullopt;
    return std::chrono::sys_days(date).time_since_epoch().count();
}

// The parts of an upper-cased name of the form (see the header); false if
// it is not of it. Each part ends where the next separator is.
struct Parts {
    std::string_view quote, expiry, strike, side, settle;
};

bool split(std::string_view s, std::size_t und_end, Parts& p) {
    std::size_t at = und_end;
    if (at == 0 || at >= s.size()) return false;
    if (s[at] == '_' || (s[at] == '-' && at + 1 < s.size() && is_upper(s[at + 1]))) {
        const std::size_t q = run(s, at + 1, is_upper);
        if (q == 0) return false;
        p.quote = s.substr(at + 1, q);
        at += 1 + q;
    }
    if (at >= s.size() || s[at] != '-') return false;
    ++at;
    // Expiry: d{1,2}MMMyy or yymmdd.
    const std::size_t d = run(s, at, is_digit);
    std::size_t len = 0;
    if (d >= 1 && d <= 2 && run(s, at + d, is_upper) >= 3 && run(s, at + d + 3, is_digit) >= 2) {
        len = d + 5;
    } else if (d >= 6) {
        len = 6;
    } else {
        return false;
    }
    p.expiry = s.substr(at, len);
    at += len;
    if (at >= s.size() || s[at] != '-') return false;
    ++at;
    // Strike: digits, and a fraction after "." or "D".
    const std::size_t whole = run(s, at, is_digit);
    if (whole == 0) return false;
    len = whole;
    if (at + len < s.size() && (s[at + len] == '.' || s[at + len] == 'D')) {
        const std::size_t frac = run(s, at + len + 1, is_digit);
        if (frac == 0) return false;
        len += 1 + frac;
    }
    p.strike = s.substr(at, len);
    at += len;
    if (at >= s.size() || s[at] != '-') return false;
    ++at;
    const std::size_t side = run(s, at, is_upper);
    if (side == 0) return false;
    p.side = s.substr(at, side);
    at += side;
    if (at == s.size()) return true;
    if (s[at] != '-') return false;
    const std::size_t settle = run(s, at + 1, is_upper);
    if (settle == 0 || at + 1 + settle != s.size()) return false;
    p.settle = s.substr(at + 1, settle);
    return true;
}

// Codes into distinct values in order of first appearance; "" has its
// place among them, but code -1.
class Codes {
public:
    std::int64_t code(std::string_view value) {
        // Names come grouped by underlying: the last value first.
        if (last_ >= 0 && values_[static_cast<std::size_t>(last_)] == value) return value.empty() ? -1 : last_;
        auto it = index_.find(value);
        std::int64_t c;
        if (it == index_.end()) {
            c = static_cast<std::int64_t>(values_.size());
            values_.emplace_back(value);
            index_.emplace(values_.back(), c);
        } else {
            c = it->second;
        }
        last_ = c;
        return value.empty() ? -1 : c;
    }
    std::vector<std::string> take() { return std::move(values_); }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::vector<std::string> values_;
    std::unordered_map<std::string, std::int64_t, Hash, std::equal_to<>> index_;
    std::int64_t last_ = -1;
};

// The side a name's side part spells, by korvex's own parser (Unicode
// case rules and all), asked once per distinct spelling.
class Sides {
public:
    std::int8_t side(std::string_view token) {
        for (const auto& [seen, side] : known_) {
            if (seen == token) return side;
        }
        const auto parsed = pricing::parse_option_side(token);
        const std::int8_t side = parsed ? static_cast<std::int8_t>(*parsed == pricing::OptionSide::Call)
                                        : std::int8_t{-1};
        known_.emplace_back(std::string(token), side);
        return side;
    }

private:
    std::vector<std::pair<std::string, std::int8_t>> known_;
};

}  // namespace

std::optional<InstrumentNames> parse_instrument_names(const std::int32_t* offsets, std::size_t n,
                                                      std::string_view chars, int expiry_hour) {
    InstrumentNames out;
    out.underlying.resize(n);
    out.currency.resize(n);
    out.expiry_ns.assign(n, kNaT);
    out.strike.assign(n, std::numeric_limits<double>::quiet_NaN());
    out.side.assign(n, -1);
    out.status.assign(n, static_cast<std::uint8_t>(NameStatus::Unparsable));
    Codes underlyings;
    Codes currencies;
    Sides sides;
    std::string text;
    std::string strike;
    for (std::size_t i = 0; i < n; ++i) {
        std::string_view name = chars.substr(static_cast<std::size_t>(offsets[i]),
                                             static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
        while (!name.empty() && is_blank(name.front())) name.remove_prefix(1);
        while (!name.empty() && is_blank(name.back())) name.remove_suffix(1);
        // Upper-cased in one pass, which also refuses what is not printable ASCII.
        text.resize(name.size());
        for (std::size_t j = 0; j < name.size(); ++j) {
            const char c = name[j];
            const auto b = static_cast<unsigned char>(c);
            if (b >= 0x80 || (b < 0x20 && !is_blank(c))) return std::nullopt;
            text[j] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        }
        const std::size_t und = run(text, 0, [](char c) { return is_upper(c) || is_digit(c); });
        out.underlying[i] = underlyings.code(std::string_view(text).substr(0, und));
        Parts p;
        if (!split(text, und, p)) {
            out.currency[i] = currencies.code("");
            continue;
        }
        out.currency[i] = currencies.code(p.settle.empty() ? p.quote : p.settle);
        strike.assign(p.strike);
        for (char& c : strike) {
            if (c == 'D') c = '.';
        }
        double k = 0.0;
        const auto [end, ec] = std::from_chars(strike.data(), strike.data() + strike.size(), k);
        if (ec != std::errc() || end != strike.data() + strike.size()) return std::nullopt;
        out.strike[i] = k;
        const std::int8_t side = sides.side(p.side);
        out.side[i] = side;
        const auto day = expiry_day(p.expiry);
        if (day) out.expiry_ns[i] = *day * kNanosPerDay + expiry_hour * kNanosPerHour;
        out.status[i] = static_cast<std::uint8_t>(!day          ? NameStatus::BadExpiry
                                                  : side < 0    ? NameStatus::UnknownSide
                                                                : NameStatus::Ok);
    }
    out.underlyings = underlyings.take();
    out.currencies = currencies.take();
    return out;
}

}  // namespace korvex::chain
