// Amplify, the integer path of the engine, against the extended-precision rule it stands in
// for: a few golden values, then every 16-bit sample over a wide range of gains (negative ones
// included, which the overload handling reaches); and the float passes' quotient without a
// division against the division, for every float.
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

// Every float, or every 61st under the sanitizers.
constexpr uint32_t FloatStride = GainStride == 1 ? 1 : 61;

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

// s / 100 as the vectorised float passes take it, without a division: the product by 0.01,
// corrected by its remainder (exact by a fused multiply-add) times 0.01, with the sign of s.
double QuotientByProduct(double S) {
    const double Q0 = S * 0.01;
    return std::copysign(std::fma(std::fma(-Q0, 100.0, S), 0.01, Q0), S);
}

// That quotient is the rounded quotient itself for every float: every significand of a few
// binades (the quotient only scales with the exponent in between), the subnormals and both zeros.
TEST(Arithmetic, FloatQuotientByProductIsTheDivision) {
    int64_t Wrong = 0;
    uint32_t First = 0;
    for (const uint32_t Exponent : {0u, 1u, 100u, 126u, 127u, 254u}) {
        for (uint32_t Sign = 0; Sign < 2; ++Sign) {
            for (uint32_t Fraction = 0; Fraction < (1u << 23); Fraction += FloatStride) {
                const uint32_t Bits = Sign << 31 | Exponent << 23 | Fraction;
                const double S = std::bit_cast<float>(Bits);
                if (std::bit_cast<uint64_t>(QuotientByProduct(S)) != std::bit_cast<uint64_t>(S / 100.0) && Wrong++ == 0) First = Bits;
            }
        }
    }
    EXPECT_EQ(Wrong, 0) << "first at the float of bits " << std::hex << First;
}

} // namespace
