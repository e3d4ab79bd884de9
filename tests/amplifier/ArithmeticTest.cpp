// Amplify and AmplifyRun, the integer and single-precision paths of the engine, against the
// extended-precision rule they stand in for: a few golden values, then every 16-bit sample
// over a wide range of gains (negative ones included, which the overload handling reaches).
#include "GainArithmetic.h"
#include "GainKernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

#ifdef SONOLIFT_ARITHMETIC_SANITIZED
constexpr int64_t GainStride = 97; // the sanitizers make each call costly
#else
constexpr int64_t GainStride = 1;
#endif

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

// Every 16-bit sample by growing magnitude, so a run stops only where the values reach the
// limit for good; each gain with the baseline passes and the AVX2 ones where the processor has
// them. The buffers are exactly as long as the run, so a tile that reads or writes past its
// end shows under the sanitizers.
TEST(Arithmetic, EveryGainMatchesExtendedPrecision) {
    std::vector<int16_t> Samples = {0};
    for (int M = 1; M <= 32767; ++M) Samples.insert(Samples.end(), {static_cast<int16_t>(M), static_cast<int16_t>(-M)});
    Samples.push_back(-32768);
    std::vector<int64_t> Gains = {-2147483647, -100000, 32768, 65535, 99995, 100000, 2147483647};
    for (int64_t L = -32767; L <= 32767; L += GainStride) Gains.push_back(L);
    const std::vector<bool> Builds = sonolift::WideVectors ? std::vector<bool>{false, true} : std::vector<bool>{false};
    for (int64_t L : Gains) {
        // the engine's own limit for even gains, the widest a run takes for odd ones
        const int64_t Clip = L % 2 == 0 ? 32439 : 40000, Limit = std::min<int64_t>(Clip, 32768);
        // Amplify on every sample for the gains an overload line can show, else up to the limit
        const bool Whole = L >= -500 && L <= 1000;
        std::vector<int64_t> Exact;
        int64_t Expected = -1;
        for (size_t I = 0; I < Samples.size() && (Whole || Expected < 0); ++I) {
            Exact.push_back(sonolift::AmplifyExact(Samples[I], L));
            ASSERT_EQ(sonolift::Amplify(Samples[I], L), Exact.back()) << Samples[I] << " at " << L;
            if (Expected < 0 && std::llabs(Exact.back()) >= Limit) Expected = static_cast<int64_t>(I);
        }
        if (Expected < 0) Expected = static_cast<int64_t>(Samples.size());
        for (const bool Wide : Builds) {
            sonolift::WideVectors = Wide;
            for (const size_t Count : {Samples.size(), size_t{13}}) { // and a run that ends inside a tile
                std::vector<int16_t> Out(Count);
                const int64_t Done = sonolift::AmplifyRun(reinterpret_cast<const uint8_t*>(Samples.data()),
                                                          reinterpret_cast<uint8_t*>(Out.data()), static_cast<int64_t>(Count), L, Clip);
                ASSERT_EQ(Done, std::min<int64_t>(Expected, static_cast<int64_t>(Count))) << L << (Wide ? " AVX2" : "");
                ASSERT_TRUE(std::equal(Out.begin(), Out.begin() + Done, Exact.begin())) << L << (Wide ? " AVX2" : "");
            }
        }
    }
}

} // namespace
