// libFuzzer target: korvex_chain's reader of exchange JSON responses into
// Arrow column buffers (chain::json_columns) on arbitrary bytes.
//
// Besides surviving every input (ASan, UBSan), an accepted text must give
// buffers that Arrow can wrap without validating them, as the Python layer
// does: every column as long as the rows, validity bitmaps and null counts
// that agree, string offsets starting at 0, never decreasing and ending at
// the end of their characters. The values are then checked against a
// separate reading of the same text with simdjson's DOM: every entry's
// members at their row of their column (an absent member is a null), every
// response's own members in its part, and none of what the reader must
// refuse (an integer beyond 2^53, -0, a string that reads as a date).
#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "chain/json_columns.hpp"

namespace {

namespace dom = simdjson::dom;
using korvex::chain::JsonColumn;
using korvex::chain::JsonColumns;
using korvex::chain::JsonKind;
using korvex::chain::JsonPart;
using korvex::chain::JsonScalar;
using korvex::chain::reads_as_date;

std::string_view g_input;

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "json columns check failed: %s\n  %s\n  input (%zu bytes): ", what, detail.c_str(),
                 g_input.size());
    for (unsigned char c : g_input.substr(0, 1024)) std::fprintf(stderr, "\\x%02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

// The object or array an accepted text must have at this place.
dom::object object_of(dom::element e, const char* where) {
    dom::object o;
    if (e.get_object().get(o)) fail("accepted where an object was due", where);
    return o;
}

dom::array array_of(dom::element e, const char* where) {
    dom::array a;
    if (e.get_array().get(a)) fail("accepted where a list was due", where);
    return a;
}

bool bit(const std::vector<std::uint8_t>& bitmap, std::size_t r) { return (bitmap[r / 8] >> (r % 8)) & 1u; }

// The buffers of one column, as Arrow reads them.
void check_layout(const JsonColumn& c, std::size_t rows) {
    const std::string where = "column '" + c.name + "'";
    const std::size_t bitmap_bytes = (rows + 7) / 8;
    if (c.nulls > rows) fail("more nulls than rows", where);
    if (c.kind == JsonKind::Null) {
        if (c.nulls != rows || !c.validity.empty() || !c.values.empty() || !c.offsets.empty() || !c.chars.empty())
            fail("a null column with buffers or values", where);
        return;
    }
    if (c.nulls == 0 ? !c.validity.empty() : c.validity.size() != bitmap_bytes)
        fail("validity bitmap of the wrong size", where + ": " + std::to_string(c.validity.size()) + " bytes");
    if (!c.validity.empty()) {
        std::size_t valid = 0;
        for (std::size_t r = 0; r < rows; ++r) valid += bit(c.validity, r);
        if (valid + c.nulls != rows) fail("null count and validity bitmap disagree", where);
    }
    switch (c.kind) {
        case JsonKind::Bool:
            if (c.values.size() != bitmap_bytes || !c.offsets.empty() || !c.chars.empty())
                fail("boolean column buffers of the wrong size", where);
            break;
        case JsonKind::Int64:
        case JsonKind::Double:
            if (c.values.size() != rows * 8 || !c.offsets.empty() || !c.chars.empty())
                fail("number column buffers of the wrong size", where);
            break;
        case JsonKind::String: {
            if (!c.values.empty() || c.offsets.size() != rows + 1) fail("string offsets of the wrong size", where);
            if (c.offsets[0] != 0) fail("string offsets start past 0", where);
            for (std::size_t r = 0; r < rows; ++r) {
                if (c.offsets[r + 1] < c.offsets[r]) fail("string offsets decrease", where);
                if (c.nulls > 0 && !bit(c.validity, r) && c.offsets[r + 1] != c.offsets[r])
                    fail("a null string holds characters", where);
            }
            if (static_cast<std::size_t>(c.offsets[rows]) != c.chars.size())
                fail("string offsets end away from the characters' end", where);
            break;
        }
        default:
            fail("unknown column kind", where);
    }
}

// A plain scalar the reader must have accepted, else a failure.
void check_plain(dom::element v, const std::string& where) {
    switch (v.type()) {
        case dom::element_type::INT64: {
            const std::int64_t i = v.get_int64().value_unsafe();
            if (i > (std::int64_t{1} << 53) || i < -(std::int64_t{1} << 53))
                fail("an integer beyond 2^53 was accepted", where);
            break;
        }
        case dom::element_type::DOUBLE: {
            const double d = v.get_double().value_unsafe();
            if (d == 0.0 && std::signbit(d)) fail("-0 was accepted", where);
            break;
        }
        case dom::element_type::STRING:
            if (reads_as_date(v.get_string().value_unsafe())) fail("a date-like string was accepted", where);
            break;
        case dom::element_type::NULL_VALUE:
        case dom::element_type::BOOL:
            break;
        default:
            fail("a nested or unsigned value was accepted", where);
    }
}

bool same_double(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class Checker {
public:
    explicit Checker(const JsonColumns& got) : got_(got), touched_(got.columns.size()) {
        for (std::size_t i = 0; i < got.columns.size(); ++i) {
            if (!index_.emplace(got.columns[i].name, i).second) fail("a column listed twice", got.columns[i].name);
        }
    }

    // One top-level document (a line, or the whole text).
    void document(dom::element root) {
        if (root.is_array()) {
            bool first = true, responses = false;
            for (dom::element item : array_of(root, "the top-level list")) {
                if (first) {
                    for (auto [key, value] : object_of(item, "an item of the top-level list")) {
                        (void)value;
                        if (key == "result" || key == "jsonrpc" || key == "retCode" || key == "error") responses = true;
                    }
                    first = false;
                }
                responses ? response(object_of(item, "a response")) : entry(item);
            }
            return;
        }
        dom::object object = object_of(root, "a document");
        if (object["result"].error() == simdjson::SUCCESS) {
            response(object);
        } else {
            entry(root);
        }
    }

    void finish() {
        if (row_ != got_.rows) fail("rows differ", std::to_string(got_.rows) + " rows for " + std::to_string(row_) + " entries");
        if (part_ != got_.parts.size() && got_.responses)
            fail("parts differ", std::to_string(got_.parts.size()) + " parts for " + std::to_string(part_) + " responses");
        if (!got_.responses && (got_.parts.size() != 1 || !got_.parts[0].members.empty() || got_.parts[0].entries != row_))
            fail("bare entries not as one part", std::to_string(got_.parts.size()) + " parts");
    }

private:
    void response(dom::object object) {
        if (!got_.responses) fail("a response read as entries", "");
        if (part_ >= got_.parts.size()) fail("a response without its part", std::to_string(part_));
        const JsonPart& part = got_.parts[part_++];
        std::vector<std::pair<std::string, dom::element>> want;
        auto has = [&](std::string_view name) {
            for (const auto& [n, v] : want) {
                if (n == name) return true;
            }
            return false;
        };
        dom::element result;
        for (auto [key, value] : object) {
            if (key == "result") {
                result = value;
            } else if (!value.is_object() && !value.is_array()) {
                want.emplace_back(std::string(key), value);
            }
        }
        dom::array entries;
        if (result.is_object()) {
            for (auto [key, value] : object_of(result, "a response's result")) {
                if (key == "list") {
                    entries = array_of(value, "a result's list");
                } else if (!value.is_object() && !value.is_array()) {
                    const std::string name = "result." + std::string(key);
                    if (!has(name)) want.emplace_back(name, value);
                }
            }
        } else {
            entries = array_of(result, "a response's result");
        }
        if (part.members.size() != want.size())
            fail("a response's members differ", std::to_string(part.members.size()) + " for " + std::to_string(want.size()));
        for (std::size_t i = 0; i < want.size(); ++i) {
            const auto& [name, value] = want[i];
            if (part.members[i].first != name) fail("a response's members differ", part.members[i].first + " for " + name);
            check_plain(value, name);
            if (!same_scalar(part.members[i].second, value)) fail("a response's member has another value", name);
        }
        const std::size_t before = row_;
        for (dom::element e : entries) entry(e);
        if (part.entries != row_ - before)
            fail("a part's entries differ", std::to_string(part.entries) + " for " + std::to_string(row_ - before));
    }

    static bool same_scalar(const JsonScalar& got, dom::element v) {
        switch (v.type()) {
            case dom::element_type::NULL_VALUE: return std::holds_alternative<std::monostate>(got);
            case dom::element_type::BOOL:
                return std::holds_alternative<bool>(got) && std::get<bool>(got) == v.get_bool().value_unsafe();
            case dom::element_type::INT64:
                return std::holds_alternative<std::int64_t>(got) &&
                       std::get<std::int64_t>(got) == v.get_int64().value_unsafe();
            case dom::element_type::DOUBLE:
                return std::holds_alternative<double>(got) &&
                       same_double(std::get<double>(got), v.get_double().value_unsafe());
            case dom::element_type::STRING:
                return std::holds_alternative<std::string>(got) &&
                       std::get<std::string>(got) == v.get_string().value_unsafe();
            default: return false;
        }
    }

    void entry(dom::element element) {
        if (row_ >= got_.rows) fail("more entries than rows", std::to_string(got_.rows));
        const std::size_t r = row_++;
        std::fill(touched_.begin(), touched_.end(), false);
        for (auto [key, value] : object_of(element, "an entry")) {
            const auto it = index_.find(std::string(key));
            const std::string where = "row " + std::to_string(r) + ", member '" + std::string(key) + "'";
            if (it == index_.end()) fail("a member without its column", where);
            if (touched_[it->second]) fail("a member given twice was accepted", where);
            touched_[it->second] = true;
            check_plain(value, where);
            cell(got_.columns[it->second], r, value, where);
        }
        for (std::size_t c = 0; c < touched_.size(); ++c) {
            if (!touched_[c] && !is_null(got_.columns[c], r))
                fail("an absent member is not null", "row " + std::to_string(r) + ", column '" + got_.columns[c].name + "'");
        }
    }

    static bool is_null(const JsonColumn& c, std::size_t r) {
        return c.kind == JsonKind::Null || (!c.validity.empty() && !bit(c.validity, r));
    }

    static void cell(const JsonColumn& c, std::size_t r, dom::element v, const std::string& where) {
        if (v.is_null()) {
            if (!is_null(c, r)) fail("a null is not null in its column", where);
            return;
        }
        if (is_null(c, r)) fail("a value is null in its column", where);
        switch (v.type()) {
            case dom::element_type::BOOL:
                if (c.kind != JsonKind::Bool || bit(c.values, r) != v.get_bool().value_unsafe())
                    fail("a boolean differs", where);
                break;
            case dom::element_type::INT64: {
                const std::int64_t i = v.get_int64().value_unsafe();
                if (c.kind == JsonKind::Int64) {
                    std::int64_t at;
                    std::memcpy(&at, c.values.data() + 8 * r, 8);
                    if (at != i) fail("an integer differs", where);
                } else if (c.kind == JsonKind::Double) {
                    double at;
                    std::memcpy(&at, c.values.data() + 8 * r, 8);
                    if (!same_double(at, static_cast<double>(i))) fail("an integer differs as a double", where);
                } else {
                    fail("an integer in a column of another kind", where);
                }
                break;
            }
            case dom::element_type::DOUBLE: {
                if (c.kind != JsonKind::Double) fail("a double in a column of another kind", where);
                double at;
                std::memcpy(&at, c.values.data() + 8 * r, 8);
                if (!same_double(at, v.get_double().value_unsafe())) fail("a double differs", where);
                break;
            }
            case dom::element_type::STRING: {
                if (c.kind != JsonKind::String) fail("a string in a column of another kind", where);
                const std::string_view s = v.get_string().value_unsafe();
                const auto b = static_cast<std::size_t>(c.offsets[r]), e = static_cast<std::size_t>(c.offsets[r + 1]);
                if (std::string_view(c.chars).substr(b, e - b) != s) fail("a string differs", where);
                break;
            }
            default:
                fail("an unexpected value", where);
        }
    }

    const JsonColumns& got_;
    std::unordered_map<std::string, std::size_t> index_;
    std::vector<bool> touched_;
    std::size_t row_ = 0;
    std::size_t part_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    g_input = text;
    const auto got = korvex::chain::json_columns(text);
    if (!got) return 0;

    if (got->columns.empty()) fail("accepted without columns", "");
    std::size_t entries = 0;
    for (const JsonPart& p : got->parts) entries += p.entries;
    if (entries != got->rows) fail("parts' entries and rows differ", std::to_string(entries) + " / " + std::to_string(got->rows));
    for (const JsonColumn& c : got->columns) check_layout(c, got->rows);

    // The documents as the reader splits them (its own rule, which an oracle
    // could only copy): one per non-blank line when there are several and
    // each line is one, else the whole text.
    const std::vector<std::string_view> lines = korvex::chain::json_lines(text);
    static dom::parser parser;
    bool per_line = lines.size() > 1 && text.front() == '{';
    for (std::size_t i = 0; per_line && i < lines.size(); ++i) {
        dom::element doc;
        if (parser.parse(lines[i].data(), lines[i].size()).get(doc)) per_line = false;
    }
    Checker check(*got);
    if (per_line) {
        for (std::string_view line : lines) {
            dom::element doc;
            if (parser.parse(line.data(), line.size()).get(doc)) fail("a line no longer parses", std::string(line));
            check.document(doc);
        }
    } else {
        dom::element root;
        if (parser.parse(text.data(), text.size()).get(root)) fail("accepted text that is no JSON", "");
        check.document(root);
    }
    check.finish();
    return 0;
}
