// Amplify and AmplifyRun, the integer and single-precision paths of the engine, against the
// extended-precision rule they stand in for, over every 16-bit sample and a wide range of
// gains (negative ones included, which the overload handling reaches).
#include "SonoliftApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

using sonolift::Amplify;
using sonolift::AmplifyExact;
using sonolift::AmplifyRun;

#ifdef SONOLIFT_ARITHMETIC_SANITIZED
constexpr int64_t LowestGain = -150, HighestGain = 250; // the sanitizers make each call costly
#else
constexpr int64_t LowestGain = -500, HighestGain = 1000;
#endif

// Gains beyond the contiguous range: the edges of the single-precision path, the largest
// setting, and gains an overload can leave behind.
const int64_t FarGains[] = {-2147483647, -100000, -32768, -32767, 4999, 5000, 5001, 9999, 10000,
                            32766,       32767,   32768,  65535,  65536, 99995, 100000, 2147483647};

// The baseline passes, and the AVX2 ones where the processor has them.
const std::vector<bool> VectorWidths = sonolift::WideVectors ? std::vector<bool>{false, true} : std::vector<bool>{false};

// Every 16-bit sample, by growing magnitude, so that a run stops only where the values reach
// the limit for good.
std::vector<int16_t> SamplesByMagnitude() {
    std::vector<int16_t> S;
    S.push_back(0);
    for (int32_t M = 1; M <= 32767; ++M) {
        S.push_back(static_cast<int16_t>(M));
        S.push_back(static_cast<int16_t>(-M));
    }
    S.push_back(-32768);
    return S;
}

// Checks one gain; returns a description of the first disagreement, or "".
std::string CheckGain(const std::vector<int16_t>& Samples, int64_t L, int64_t Clip) {
    const int64_t Count = static_cast<int64_t>(Samples.size());
    std::vector<int64_t> Exact(Samples.size());
    for (size_t I = 0; I < Samples.size(); ++I) {
        Exact[I] = AmplifyExact(Samples[I], L);
        if (Amplify(Samples[I], L) != Exact[I])
            return "Amplify(" + std::to_string(Samples[I]) + ", " + std::to_string(L) + ") = " +
                   std::to_string(Amplify(Samples[I], L)) + ", extended " + std::to_string(Exact[I]);
    }
    const int64_t Limit = std::min<int64_t>(Clip, 32768);
    int64_t Expected = 0;
    while (Expected < Count && std::llabs(Exact[static_cast<size_t>(Expected)]) < Limit) ++Expected;
    for (bool Wide : VectorWidths) {
        sonolift::WideVectors = Wide;
        std::vector<int16_t> Out(Samples.size(), 0);
        const int64_t Done = AmplifyRun(Samples.data(), Out.data(), Count, L, Clip);
        const std::string Where = " at gain " + std::to_string(L) + (Wide ? " (AVX2)" : "");
        if (Done != Expected)
            return "AmplifyRun" + Where + " did " + std::to_string(Done) + " values, not " + std::to_string(Expected);
        for (int64_t I = 0; I < Done; ++I)
            if (Out[static_cast<size_t>(I)] != Exact[static_cast<size_t>(I)])
                return "AmplifyRun" + Where + " gives " + std::to_string(Out[static_cast<size_t>(I)]) + " for " +
                       std::to_string(Samples[static_cast<size_t>(I)]) + ", extended " +
                       std::to_string(Exact[static_cast<size_t>(I)]);
    }
    return "";
}

TEST(Arithmetic, EveryGainOfTheRangeMatchesExtendedPrecision) {
    const std::vector<int16_t> Samples = SamplesByMagnitude();
    for (int64_t L = LowestGain; L <= HighestGain; ++L) {
        // the engine's own limit, and the widest a run accepts
        const std::string Fault = CheckGain(Samples, L, L % 2 == 0 ? 32439 : 40000);
        ASSERT_EQ(Fault, "");
    }
}

TEST(Arithmetic, FarGainsMatchExtendedPrecision) {
    const std::vector<int16_t> Samples = SamplesByMagnitude();
    for (int64_t L : FarGains) ASSERT_EQ(CheckGain(Samples, L, 32439), "");
}

TEST(Arithmetic, RunsStopAtTheFirstOverloadWhereverItIs) {
    // Exact halves, values at and just under the limit, and short runs that end inside a tile.
    const std::vector<int16_t> In = {210, 1670, 0, -3, 100, 16219, 16220, -16220, 7, 32439, 32767, 5, -32768, 1};
    struct Case {
        int64_t L, Clip, Done;
    } Cases[] = {{15, 32439, 14},  {100, 32439, 9}, {100, 32440, 10}, {200, 32439, 6}, {200, 32441, 9},
                 {-100, 32439, 9}, {1000, 32439, 5}, {50000, 32439, 0}, {100, 0, 0},   {100, -5, 0}};
    for (bool Wide : VectorWidths) {
        sonolift::WideVectors = Wide;
        for (const Case& C : Cases) {
            for (int64_t Count = 0; Count <= static_cast<int64_t>(In.size()); ++Count) {
                std::vector<int16_t> Out(In.size(), 0);
                const int64_t Done = AmplifyRun(In.data(), Out.data(), Count, C.L, C.Clip);
                EXPECT_EQ(Done, std::min(Count, C.Done)) << "gain " << C.L << " limit " << C.Clip << " count " << Count;
                for (int64_t I = 0; I < Done; ++I)
                    EXPECT_EQ(Out[static_cast<size_t>(I)], AmplifyExact(In[static_cast<size_t>(I)], C.L));
            }
        }
    }
}

} // namespace
