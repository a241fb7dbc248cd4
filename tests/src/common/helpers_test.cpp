// The three rounding rules, at their halves, their signs and the ends of their ranges.
#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "common/helpers.h"

namespace {

// Positions were once rounded by adding 0.5 and truncating toward zero: every negative
// coordinate came out one too high (-200 as -199, -2.7 as -2).
TEST(rounding, NegativePositionsRoundToNearest) {
    // It saturates instead of overflowing.
    for (const auto& [in, out] : {std::pair{2.5, 3}, {2.4, 2}, {-2.5, -2}, {-2.7, -3}, {-200.0, -200}, {-199.6, -200},
                                  {-0.4, 0}, {1e12, INT32_MAX}, {-1e12, INT32_MIN}, {std::nan(""), INT32_MIN}})
        EXPECT_EQ(round_half_up(in), out) << in;
}

TEST(rounding, half_away_is_symmetric_and_saturates_with_nan_at_the_low_end) {
    for (const auto& [in, out] : {std::pair{2.5, 3}, {-2.5, -3}, {-2.4, -2}, {0.49, 0}, {1e12, INT32_MAX},
                                  {-1e12, INT32_MIN}, {std::nan(""), INT32_MIN}})
        EXPECT_EQ(round_half_away(in), out) << in;
    for (const auto& [in, out] : {std::pair{2.5, 3u}, {2.49, 2u}, {-1.0, 0u}, {1e12, UINT32_MAX}, {std::nan(""), 0u}})
        EXPECT_EQ(round_half_away_unsigned(in), out) << in;
}

// Stored and received numbers are read whole: what stoul let through ("12abc", " 7",
// "-1" wrapped round) is refused.
TEST(parse_decimal, reads_the_whole_text_or_nothing) {
    using u32 = std::optional<std::uint32_t>;
    using i32 = std::optional<std::int32_t>;
    const auto none = std::nullopt;
    const std::tuple<const char*, u32, i32> cases[] = {
        {"0", 0u, 0},       {"007", 7u, 7},        {"4294967295", UINT32_MAX, none}, {"2147483648", 2147483648u, none},
        {"-1", none, -1},   {"-2147483648", none, INT32_MIN}, {"4294967296", none, none}, {"", none, none},
        {"+1", none, none}, {" 1", none, none},    {"1 ", none, none},   {"12abc", none, none},
        {"1.5", none, none}, {"-", none, none},    {"0x10", none, none},
    };
    for (const auto& [text, as_unsigned, as_signed] : cases) {
        EXPECT_EQ(parse_decimal<std::uint32_t>(text), as_unsigned) << '"' << text << '"';
        EXPECT_EQ(parse_decimal<std::int32_t>(text), as_signed) << '"' << text << '"';
    }
    EXPECT_EQ(parse_decimal<std::int64_t>("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(parse_decimal<std::uint8_t>("256"), std::nullopt);
}

}  // namespace
