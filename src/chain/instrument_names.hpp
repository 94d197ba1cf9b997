// Exchange instrument names (BTC-27DEC24-100000-C and their relatives) taken
// apart, free of Python.
//
// A name, blanks around it aside and upper-cased, is read as
//
//   UND[(-|_)QUOTE]-EXPIRY-STRIKE-SIDE[-SETTLE]
//
// UND letters and digits, QUOTE, SIDE and SETTLE letters, EXPIRY 27DEC24 (a
// day of one or two digits) or 241227, STRIKE digits with an optional
// fraction after "." or "D" (XRP_USDC-27DEC24-0d625-C). This is exactly the
// regular expression korvex_chain.readers.names.PATTERN, read in one pass
// without backtracking: every part ends where the next separator is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::chain {

enum class NameStatus : std::uint8_t {
    Ok = 0,
    Unparsable = 1,   // not of the form above
    BadExpiry = 2,    // of the form, but its expiry is no date (31FEB25, 27XYZ24)
    UnknownSide = 3,  // of the form, but its side is neither a call nor a put
};

// Per name: the underlying (the leading letters and digits, even of a name
// that is not of the form; -1 where there are none) and the currency the
// name carries (its settlement suffix, else its quote part; -1 for none) as
// codes into their distinct values in order of first appearance; the
// expiry in nanoseconds since the epoch at `expiry_hour` UTC (INT64_MIN
// where there is none), the strike (NaN where none), the side (1 call, 0
// put, -1 unknown) and the status.
struct InstrumentNames {
    std::vector<std::int64_t> underlying;
    std::vector<std::string> underlyings;
    std::vector<std::int64_t> currency;
    std::vector<std::string> currencies;
    std::vector<std::int64_t> expiry_ns;
    std::vector<double> strike;
    std::vector<std::int8_t> side;
    std::vector<std::uint8_t> status;
};

// The names given as Arrow string buffers (`offsets`, n + 1 of them, into
// `chars`). Nothing when a name holds a byte outside printable ASCII (other
// than blanks around it): Unicode case and blanks are then the general
// parser's to decide.
std::optional<InstrumentNames> parse_instrument_names(const std::int32_t* offsets, std::size_t n,
                                                      std::string_view chars, int expiry_hour);

}  // namespace korvex::chain
