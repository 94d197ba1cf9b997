#include "chain/json_columns.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <unordered_map>

#include "core/json_parser.hpp"

namespace korvex::chain {

namespace {

namespace dom = simdjson::dom;

// Integers a double holds exactly: a general reader widening a column of
// integers and decimals to doubles rounds the ones beyond.
constexpr std::int64_t kExactInteger = std::int64_t{1} << 53;
constexpr std::size_t kMaxChars = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// What a member held, as bits: columns of one kind, numbers of both.
enum Seen : std::uint8_t { kNull = 0, kBool = 1, kInt = 2, kDouble = 4, kString = 8 };

struct Cell {
    std::uint8_t kind = kNull;
    union {
        bool b;
        std::int64_t i;
        double d;
        std::size_t len;  // a string's bytes, appended to its field's chars in row order
    };
    Cell() : i(0) {}
};

struct Field {
    std::string name;
    std::uint8_t seen = 0;
    std::vector<Cell> cells;  // up to the last row that had the member
    std::string chars;
};

struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// A plain scalar into `cell` (a string's bytes onto `chars`); false for
// anything else (see the header).
bool read_cell(dom::element value, Cell& cell, std::string& chars) {
    switch (value.type()) {
        case dom::element_type::NULL_VALUE:
            cell.kind = kNull;
            return true;
        case dom::element_type::BOOL:
            cell.kind = kBool;
            cell.b = value.get_bool().value_unsafe();
            return true;
        case dom::element_type::INT64: {
            const std::int64_t i = value.get_int64().value_unsafe();
            if (i > kExactInteger || i < -kExactInteger) return false;
            cell.kind = kInt;
            cell.i = i;
            return true;
        }
        case dom::element_type::DOUBLE: {
            const double d = value.get_double().value_unsafe();
            if (d == 0.0 && std::signbit(d)) return false;  // -0: an integer to some readers
            cell.kind = kDouble;
            cell.d = d;
            return true;
        }
        case dom::element_type::STRING: {
            const std::string_view s = value.get_string().value_unsafe();
            if (reads_as_date(s) || chars.size() + s.size() > kMaxChars) return false;
            chars.append(s);
            cell.kind = kString;
            cell.len = s.size();
            return true;
        }
        default:  // UINT64 (beyond int64), arrays, objects
            return false;
    }
}

bool read_scalar(dom::element value, JsonScalar& out, std::uint8_t& kind) {
    Cell cell;
    std::string chars;
    if (!read_cell(value, cell, chars)) return false;
    kind = cell.kind;
    switch (cell.kind) {
        case kBool: out = cell.b; break;
        case kInt: out = cell.i; break;
        case kDouble: out = cell.d; break;
        case kString: out = std::move(chars); break;
        default: out = std::monostate{};
    }
    return true;
}

// A response that is not an error: Bybit's retCode 0 (or "0"), or none.
bool success_code(const JsonScalar& code) {
    if (std::holds_alternative<std::monostate>(code)) return true;
    if (const auto* i = std::get_if<std::int64_t>(&code)) return *i == 0;
    if (const auto* s = std::get_if<std::string>(&code)) return *s == "0";
    return false;
}

bool has_member(const JsonPart& part, std::string_view name) {
    return std::any_of(part.members.begin(), part.members.end(),
                       [&](const auto& m) { return m.first == name; });
}

// A response's own members are few: compared pairwise.
bool repeats_a_key(dom::object object) {
    std::vector<std::string_view> keys;
    for (auto [key, value] : object) {
        (void)value;
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) return true;
        keys.push_back(key);
    }
    return false;
}

// Kinds mixed in one column or one response member across responses: a
// general reader either refuses them or keeps Python objects.
bool mixed(std::uint8_t seen) {
    const std::uint8_t numbers = kInt | kDouble;
    return seen != 0 && seen != kBool && (seen & ~numbers) != 0 && seen != kString;
}

class Reader {
public:
    // An entry object: each member into its column at the current row.
    bool entry(dom::element element) {
        dom::object object;
        if (element.get_object().get(object)) return false;
        const std::size_t row = rows_;
        std::size_t position = 0;
        for (auto [key, value] : object) {
            const std::size_t f = field(key, position++);
            Field& fld = fields_[f];
            if (fld.cells.size() > row) return false;  // a member given twice
            fld.cells.resize(row);
            Cell cell;
            if (!read_cell(value, cell, fld.chars)) return false;
            fld.seen |= cell.kind;
            fld.cells.push_back(cell);
        }
        ++rows_;
        return true;
    }

    // A response: its scalar members, and its entries under `result` (a
    // list, or an object holding it as `list`).
    bool response(dom::object object) {
        JsonPart part;
        dom::element result;
        bool have_result = false;
        if (repeats_a_key(object)) return false;
        for (auto [key, value] : object) {
            if (key == "result") {
                result = value;
                have_result = true;
                continue;
            }
            if (value.is_object() || value.is_array()) {
                if (key == "error") return false;
                continue;  // nested members say nothing of the entries
            }
            if (!member(part, key, value)) return false;
            if (key == "error" && !value.is_null()) return false;
            if (key == "retCode" && !success_code(part.members.back().second)) return false;
        }
        if (!have_result) return false;
        dom::array entries;
        dom::object result_object;
        if (!result.get_object().get(result_object)) {
            bool have_list = false;
            if (repeats_a_key(result_object)) return false;
            for (auto [key, value] : result_object) {
                if (key == "list") {
                    if (value.get_array().get(entries)) return false;
                    have_list = true;
                    continue;
                }
                if (value.is_object() || value.is_array()) continue;
                const std::string name = "result." + std::string(key);
                if (has_member(part, name)) continue;  // a top-level member of that name comes first
                if (!member(part, name, value)) return false;
            }
            if (!have_list) return false;
        } else if (result.get_array().get(entries)) {
            return false;
        }
        const std::size_t before = rows_;
        for (dom::element e : entries) {
            if (!entry(e)) return false;
        }
        part.entries = rows_ - before;
        parts_.push_back(std::move(part));
        return true;
    }

    // A top-level object: a response when it has `result`, else an entry.
    bool document(dom::element element) {
        dom::object object;
        if (element.get_object().get(object)) return false;
        bool is_response = false;
        bool looks_like_one = false;
        for (auto [key, value] : object) {
            (void)value;
            if (key == "result") is_response = true;
            if (key == "jsonrpc" || key == "retCode" || key == "error") looks_like_one = true;
        }
        if (!is_response && looks_like_one) return false;  // an error or an odd response
        if (documents_ > 0 && is_response != responses_) return false;
        responses_ = is_response;
        ++documents_;
        return is_response ? response(object) : entry(element);
    }

    // A top-level list: of responses when its first item looks like one,
    // else of entries.
    bool list(dom::array items) {
        bool first = true;
        for (dom::element item : items) {
            dom::object object;
            if (item.get_object().get(object)) return false;
            if (first) {
                for (auto [key, value] : object) {
                    (void)value;
                    if (key == "result" || key == "jsonrpc" || key == "retCode" || key == "error") responses_ = true;
                }
                first = false;
            }
            if (responses_ ? !response(object) : !entry(item)) return false;
        }
        return true;
    }

    std::optional<JsonColumns> finish() {
        if (fields_.empty()) return std::nullopt;
        if (rows_ > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return std::nullopt;
        for (const auto& [name, seen] : member_seen_) {
            if (mixed(seen)) return std::nullopt;
        }
        JsonColumns out;
        out.responses = responses_;
        out.rows = rows_;
        if (!responses_) {
            JsonPart part;
            part.entries = rows_;
            parts_.push_back(std::move(part));
        }
        out.parts = std::move(parts_);
        out.columns.reserve(fields_.size());
        for (Field& fld : fields_) {
            if (mixed(fld.seen)) return std::nullopt;
            fld.cells.resize(rows_);
            out.columns.push_back(column(fld));
        }
        return out;
    }

private:
    std::size_t field(std::string_view key, std::size_t position) {
        // Entries repeat their members in one order: check the member seen
        // at this position last time before looking the name up.
        if (position < order_.size() && fields_[order_[position]].name == key) return order_[position];
        std::size_t f;
        if (auto it = index_.find(key); it != index_.end()) {
            f = it->second;
        } else {
            f = fields_.size();
            fields_.push_back(Field{std::string(key), 0, {}, {}});
            fields_.back().cells.reserve(rows_ + 1024);
            index_.emplace(std::string(key), f);
        }
        if (position < order_.size()) {
            order_[position] = f;
        } else {
            order_.push_back(f);
        }
        return f;
    }

    bool member(JsonPart& part, std::string_view name, dom::element value) {
        JsonScalar scalar;
        std::uint8_t kind = 0;
        if (!read_scalar(value, scalar, kind)) return false;
        member_seen_[std::string(name)] |= kind;
        part.members.emplace_back(std::string(name), std::move(scalar));
        return true;
    }

    JsonColumn column(Field& fld) const {
        JsonColumn col;
        col.name = std::move(fld.name);
        const std::size_t n = rows_;
        const std::uint8_t seen = fld.seen;
        col.kind = seen == kNull     ? JsonKind::Null
                   : seen == kBool   ? JsonKind::Bool
                   : seen == kInt    ? JsonKind::Int64
                   : seen == kString ? JsonKind::String
                                     : JsonKind::Double;
        for (const Cell& c : fld.cells) col.nulls += c.kind == kNull;
        if (col.kind == JsonKind::Null) return col;
        const std::size_t bitmap_bytes = (n + 7) / 8;
        if (col.nulls > 0) {
            col.validity.assign(bitmap_bytes, 0);
            for (std::size_t r = 0; r < n; ++r) {
                if (fld.cells[r].kind != kNull) col.validity[r / 8] |= static_cast<std::uint8_t>(1u << (r % 8));
            }
        }
        switch (col.kind) {
            case JsonKind::Bool:
                col.values.assign(bitmap_bytes, 0);
                for (std::size_t r = 0; r < n; ++r) {
                    if (fld.cells[r].b) col.values[r / 8] |= static_cast<std::uint8_t>(1u << (r % 8));
                }
                break;
            case JsonKind::Int64: {
                col.values.resize(n * sizeof(std::int64_t));
                for (std::size_t r = 0; r < n; ++r) {
                    std::memcpy(col.values.data() + r * sizeof(std::int64_t), &fld.cells[r].i, sizeof(std::int64_t));
                }
                break;
            }
            case JsonKind::Double: {
                col.values.resize(n * sizeof(double));
                for (std::size_t r = 0; r < n; ++r) {
                    const Cell& c = fld.cells[r];
                    const double d = c.kind == kInt ? static_cast<double>(c.i) : c.d;
                    std::memcpy(col.values.data() + r * sizeof(double), &d, sizeof(double));
                }
                break;
            }
            case JsonKind::String: {
                col.offsets.resize(n + 1);
                std::int32_t at = 0;
                col.offsets[0] = 0;
                for (std::size_t r = 0; r < n; ++r) {
                    at += static_cast<std::int32_t>(fld.cells[r].len);
                    col.offsets[r + 1] = at;
                }
                col.chars = std::move(fld.chars);
                break;
            }
            case JsonKind::Null:
                break;
        }
        return col;
    }

    std::vector<Field> fields_;
    std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> index_;
    std::vector<std::size_t> order_;
    std::unordered_map<std::string, std::uint8_t> member_seen_;
    std::vector<JsonPart> parts_;
    std::size_t rows_ = 0;
    std::size_t documents_ = 0;
    bool responses_ = false;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool reads_as_date(std::string_view s) noexcept {
    auto digit = [&](std::size_t i) { return s[i] >= '0' && s[i] <= '9'; };
    return s.size() >= 10 && digit(0) && digit(1) && digit(2) && digit(3) && s[4] == '-' && digit(5) &&
           digit(6) && s[7] == '-' && digit(8) && digit(9);
}

std::vector<std::string_view> json_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
        while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::optional<JsonColumns> json_columns(std::string_view text) {
    const ScratchJsonParser parser;

    // Objects one per line (several responses, or entries) are documents of
    // their own: read line by line first, since parsing the whole text only
    // to learn that it holds several documents costs a parse. A line that is
    // no document makes the text one document over several lines.
    const std::vector<std::string_view> lines = json_lines(text);
    if (lines.size() > 1 && text.front() == '{') {
        Reader reader;
        bool documents = true;
        for (std::string_view line : lines) {
            dom::element doc;
            if (parser->parse(line.data(), line.size()).get(doc)) {
                documents = false;
                break;
            }
            if (!reader.document(doc)) return std::nullopt;
        }
        if (documents) return reader.finish();
    }
    Reader reader;
    dom::element root;
    if (parser->parse(text.data(), text.size()).get(root)) return std::nullopt;
    if (root.is_array()) {
        if (!reader.list(root.get_array().value_unsafe())) return std::nullopt;
    } else if (!reader.document(root)) {
        return std::nullopt;
    }
    return reader.finish();
}

}  // namespace korvex::chain
