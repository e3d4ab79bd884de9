// Amplify, the integer path of the engine, against the extended-precision rule it stands in
// for: a few golden values, then every 16-bit sample over a wide range of gains (negative ones
// included, which the overload handling reaches).
#include "GainArithmetic.h"
#include "GainSweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

TEST(Arithmetic, RoundsTheExtendedQuotientTimesGainHalfToEven) {
    // 210 * 15 / 100 and 1670 * 15 / 100 are exact halves, but the extended quotient s / 100
    // is not exact: the products land just below and just above them.
    const int64_t Cases[][3] = {{1, 150, 2},         {3, 150, 4},          {1, 250, 2},         {1, 50, 0},
                                {7, 50, 4},          {-7, 50, -4},         {210, 15, 31},       {1670, 15, 251},
                                {32767, 99, 32439},  {-32768, 99, -32440}, {20000, 163, 32600}, {32767, -900, -294903},
                                {8388607, 99, 8304721}, {-2147483648, 99, -2126008812}};
    for (const auto& [S, L, Expected] : Cases) {
        EXPECT_EQ(sonolift::AmplifyExact(S, L), Expected) << S << " at " << L;
        EXPECT_EQ(sonolift::Amplify(S, L), Expected) << S << " at " << L;
    }
}

// Every 16-bit sample at every gain an overload line can show, and up to the engine's limit at
// the others (the gain passes take these values from Amplify where they cannot settle them).
TEST(Arithmetic, EveryGainMatchesExtendedPrecision) {
    const std::vector<int16_t> Samples = EverySample16();
    for (const int64_t L : SweptGains()) {
        const bool Whole = L >= -500 && L <= 1000;
        for (const int16_t S : Samples) {
            const int64_t Exact = sonolift::AmplifyExact(S, L);
            ASSERT_EQ(sonolift::Amplify(S, L), Exact) << S << " at " << L;
            if (!Whole && std::llabs(Exact) >= 40000) break;
        }
    }
}

} // namespace
