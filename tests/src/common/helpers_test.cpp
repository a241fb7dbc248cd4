// The three rounding rules, at their halves, their signs and the ends of their ranges.
#include <cmath>
#include <cstdint>
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

}  // namespace
