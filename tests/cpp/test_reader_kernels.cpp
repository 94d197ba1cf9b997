// The compiled halves of korvex_chain's readers: exchange JSON into Arrow
// columns, and instrument names taken apart. The Python tests compare them
// with the general readers; these check the layouts they hand over.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "chain/instrument_names.hpp"
#include "chain/json_columns.hpp"

namespace {

using korvex::chain::InstrumentNames;
using korvex::chain::json_columns;
using korvex::chain::JsonKind;
using korvex::chain::NameStatus;
using korvex::chain::parse_instrument_names;

bool valid_at(const std::vector<std::uint8_t>& bitmap, std::size_t row) {
    return bitmap.empty() || ((bitmap[row / 8] >> (row % 8)) & 1u) != 0;
}

template <class T>
T value_at(const std::vector<std::uint8_t>& values, std::size_t row) {
    T v;
    std::memcpy(&v, values.data() + row * sizeof(T), sizeof(T));
    return v;
}

TEST(JsonColumns, ResponsesOnePerLineBecomeOneTableWithPartsAndMembers) {
    const std::string text =
        R"({"jsonrpc":"2.0","result":[{"name":"A","px":1,"ok":true},{"name":null,"px":2}],"usOut":7})"
        "\n\n"
        R"({"jsonrpc":"2.0","result":[{"px":2.5,"name":"BB","extra":"x"}],"usOut":8})"
        "\n";
    const auto got = json_columns(text);
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(got->responses);
    ASSERT_EQ(got->rows, 3u);
    ASSERT_EQ(got->parts.size(), 2u);
    EXPECT_EQ(got->parts[0].entries, 2u);
    EXPECT_EQ(got->parts[1].entries, 1u);
    EXPECT_EQ(std::get<std::int64_t>(got->parts[1].members.back().second), 8);

    ASSERT_EQ(got->columns.size(), 4u);  // in order of first appearance
    const auto& name = got->columns[0];
    EXPECT_EQ(name.name, "name");
    EXPECT_EQ(name.kind, JsonKind::String);
    EXPECT_EQ(name.nulls, 1u);
    EXPECT_TRUE(valid_at(name.validity, 0));
    EXPECT_FALSE(valid_at(name.validity, 1));
    EXPECT_EQ(name.offsets, (std::vector<std::int32_t>{0, 1, 1, 3}));
    EXPECT_EQ(name.chars, "ABB");

    const auto& px = got->columns[1];  // integers and decimals: doubles
    EXPECT_EQ(px.kind, JsonKind::Double);
    EXPECT_EQ(px.nulls, 0u);
    EXPECT_EQ(value_at<double>(px.values, 0), 1.0);
    EXPECT_EQ(value_at<double>(px.values, 2), 2.5);

    const auto& ok = got->columns[2];  // present in the first row only
    EXPECT_EQ(ok.kind, JsonKind::Bool);
    EXPECT_EQ(ok.nulls, 2u);
    EXPECT_EQ(ok.values[0] & 1u, 1u);
    EXPECT_EQ(got->columns[3].name, "extra");
    EXPECT_FALSE(valid_at(got->columns[3].validity, 0));
    EXPECT_TRUE(valid_at(got->columns[3].validity, 2));
}

TEST(JsonColumns, WhatAGeneralReaderMightTypeDifferentlyIsRefused) {
    for (const char* text : {
             R"({"result":[{"a":{"b":1}}]})",              // nested
             R"({"result":[{"a":9007199254740993}]})",     // beyond 2^53
             R"({"result":[{"a":18446744073709551615}]})",  // beyond int64
             R"({"result":[{"a":-0.0}]})",                 // minus zero
             R"({"result":[{"a":"2026-08-22"}]})",         // a date as text
             R"({"result":[{"a":1},{"a":"1"}]})",          // two kinds
             R"({"result":[{"a":1,"a":2}]})",              // a member twice
             R"({"error":{"code":1},"result":[{"a":1}]})",  // an error
             R"({"retCode":10001,"result":{"list":[{"a":1}]}})",
             R"({"jsonrpc":"2.0","id":1})",  // a response without entries
             R"([[1,2]])", "{", "",
         }) {
        EXPECT_FALSE(json_columns(text).has_value()) << text;
    }
    // -0 is the integer zero, as Python's json reads it.
    const auto zero = json_columns(R"({"result":[{"a":-0}]})");
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ(zero->columns[0].kind, JsonKind::Int64);
}

InstrumentNames parse(const std::vector<std::string>& names, int hour = 8) {
    std::vector<std::int32_t> offsets{0};
    std::string chars;
    for (const auto& n : names) {
        chars += n;
        offsets.push_back(static_cast<std::int32_t>(chars.size()));
    }
    auto got = parse_instrument_names(offsets.data(), names.size(), chars, hour);
    EXPECT_TRUE(got.has_value());
    return got ? *got : InstrumentNames{};
}

TEST(InstrumentNames, PartsExpiriesAndStatuses) {
    const auto got = parse({"BTC-27DEC24-100000-C", " eth_usdc-29feb24-2d5-p ", "BTC-29FEB25-1-P",
                            "SOL-241227-10-X-SOL", "junk", "BTC-3JUL25-101000-C-USDT"},
                           8);
    ASSERT_EQ(got.status.size(), 6u);
    using S = NameStatus;
    EXPECT_EQ(got.status, (std::vector<std::uint8_t>{0, 0, static_cast<std::uint8_t>(S::BadExpiry),
                                                      static_cast<std::uint8_t>(S::UnknownSide),
                                                      static_cast<std::uint8_t>(S::Unparsable), 0}));
    // 2024-12-27 08:00 UTC, and the leap day of 2024.
    EXPECT_EQ(got.expiry_ns[0], (std::int64_t{1735257600} + 8 * 3600) * 1'000'000'000);
    EXPECT_EQ(got.expiry_ns[1], (std::int64_t{1709164800} + 8 * 3600) * 1'000'000'000);
    EXPECT_EQ(got.expiry_ns[2], std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(got.strike[1], 2.5);
    EXPECT_TRUE(std::isnan(got.strike[4]));
    EXPECT_EQ(got.side, (std::vector<std::int8_t>{1, 0, 0, -1, -1, 1}));
    EXPECT_EQ(got.underlyings, (std::vector<std::string>{"BTC", "ETH", "SOL", "JUNK"}));
    EXPECT_EQ(got.underlying, (std::vector<std::int64_t>{0, 1, 0, 2, 3, 0}));
    // No currency is "" (code -1) but keeps its place among the values.
    EXPECT_EQ(got.currencies, (std::vector<std::string>{"", "USDC", "SOL", "USDT"}));
    EXPECT_EQ(got.currency, (std::vector<std::int64_t>{-1, 1, -1, 2, -1, 3}));
}

TEST(InstrumentNames, TextOutsidePrintableAsciiIsLeftToTheGeneralParser) {
    const std::string name = "BTC-27DEC24-1-\xC4\xB1";  // U+0131 upper-cases to I
    const std::vector<std::int32_t> offsets{0, static_cast<std::int32_t>(name.size())};
    EXPECT_FALSE(parse_instrument_names(offsets.data(), 1, name, 8).has_value());
}

}  // namespace
