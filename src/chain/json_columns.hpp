// The entries of exchange JSON responses (Deribit's JSON-RPC `result` list,
// Bybit's `result.list`) as typed columns, free of Python.
//
// An exchange response is a few hundred kilobytes of flat objects; parsing
// it into Python objects or through a general JSON-to-table reader costs
// several times the work done on the chain afterwards. Here the text is
// parsed once (simdjson) and each member goes straight into its column, in
// Arrow's layout, so the Python layer wraps the buffers without touching a
// value.
//
// Only the plain shape is read: objects whose members are null, booleans,
// numbers or strings. Anything a general reader could type differently (a
// nested value, an integer beyond 2^53, -0, a string that reads as a date,
// a member given twice, one member holding text in one entry and a number in
// another, an error response) makes the call return nothing, and the caller
// reads the text its general way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace korvex::chain {

enum class JsonKind : std::uint8_t { Null, Bool, Int64, Double, String };

// One column in Arrow's layout: `validity` is the bitmap of present values
// (least significant bit first; empty when none is missing); `values` holds
// the int64 or double values, or the bit-packed booleans; a string column has
// `offsets` (rows + 1) into `chars`.
struct JsonColumn {
    std::string name;
    JsonKind kind = JsonKind::Null;
    std::size_t nulls = 0;
    std::vector<std::uint8_t> validity;
    std::vector<std::uint8_t> values;
    std::vector<std::int32_t> offsets;
    std::string chars;
};

using JsonScalar = std::variant<std::monostate, bool, std::int64_t, double, std::string>;

// A response's own scalar members (those of its `result` object under
// "result.<name>"), and how many entries it holds. Bare entries (a list of
// objects, or objects one per line) are one part without members.
struct JsonPart {
    std::size_t entries = 0;
    std::vector<std::pair<std::string, JsonScalar>> members;
};

struct JsonColumns {
    bool responses = false;
    std::size_t rows = 0;
    std::vector<JsonColumn> columns;  // in the order the members first appear
    std::vector<JsonPart> parts;
};

// The text (one document, a list, or documents one per line) as columns, or
// nothing when it is not the plain shape (see above) or not valid JSON.
std::optional<JsonColumns> json_columns(std::string_view text);

// How json_columns cuts a text into candidate documents: its non-blank
// lines, trimmed of blanks (space, tab, CR, LF).
std::vector<std::string_view> json_lines(std::string_view text);

// An ISO 8601 date at the start (2026-08-22...): text json_columns refuses
// as a string, since a general JSON reader may type it as a timestamp.
bool reads_as_date(std::string_view s) noexcept;

}  // namespace korvex::chain
