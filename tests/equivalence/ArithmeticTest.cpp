// Amplify and AmplifyRun, the integer and single-precision paths of the engine, against the
// extended-precision rule they stand in for, over every 16-bit sample and a wide range of
// gains (negative ones included, which the overload handling reaches).
#include "SonoliftApp.h"
#include "GainArithmetic.h"
#include "GainKernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

#ifdef SONOLIFT_ARITHMETIC_SANITIZED
constexpr int64_t LowestGain = -150, HighestGain = 250, GainStride = 97; // the sanitizers make each call costly
#else
constexpr int64_t LowestGain = -500, HighestGain = 1000, GainStride = 1;
#endif

// Checks one gain with the baseline passes and the AVX2 ones where the processor has them;
// returns the first disagreement, or "". The buffers are exactly Samples long, so a tile
// that reads or writes past the run's end shows under the sanitizers. Amplify is checked on
// every sample, or (Whole false) only up to the first value at the limit, which is all that
// the runs use.
std::string CheckGain(const std::vector<int16_t>& Samples, int64_t L, int64_t Clip, bool Whole = true) {
    const std::string At = " at gain " + std::to_string(L) + " limit " + std::to_string(Clip);
    const int64_t Limit = std::min<int64_t>(Clip, 32768);
    std::vector<int64_t> Exact;
    int64_t Expected = -1;
    for (size_t I = 0; I < Samples.size() && (Whole || Expected < 0); ++I) {
        Exact.push_back(sonolift::AmplifyExact(Samples[I], L));
        if (sonolift::Amplify(Samples[I], L) != Exact.back()) return "Amplify of " + std::to_string(Samples[I]) + At;
        if (Expected < 0 && std::llabs(Exact.back()) >= Limit) Expected = static_cast<int64_t>(I);
    }
    if (Expected < 0) Expected = static_cast<int64_t>(Samples.size());
    for (bool Wide : sonolift::WideVectors ? std::vector<bool>{false, true} : std::vector<bool>{false}) {
        sonolift::WideVectors = Wide;
        std::vector<int16_t> Out(Samples.size(), 0);
        const int64_t Done =
            sonolift::AmplifyRun(Samples.data(), Out.data(), static_cast<int64_t>(Samples.size()), L, Clip);
        if (Done != Expected || !std::equal(Out.begin(), Out.begin() + Done, Exact.begin()))
            return "AmplifyRun" + At + (Wide ? " (AVX2)" : "") + " did " + std::to_string(Done) + " values well, not " +
                   std::to_string(Expected);
    }
    return "";
}

// Every 16-bit sample by growing magnitude, so a run stops only where the values reach the
// limit for good.
std::vector<int16_t> EverySample() {
    std::vector<int16_t> Samples = {0};
    for (int M = 1; M <= 32767; ++M) Samples.insert(Samples.end(), {static_cast<int16_t>(M), static_cast<int16_t>(-M)});
    Samples.push_back(-32768);
    return Samples;
}

} // namespace

TEST(Arithmetic, EveryGainMatchesExtendedPrecision) {
    const std::vector<int16_t> Samples = EverySample();
    // Beyond the contiguous range: the edges of the single-precision path, the largest setting,
    // and gains an overload can leave behind.
    std::vector<int64_t> Gains = {-2147483647, -100000, -32768, -32767, 4999,  5000,   5001,  9999,      10000,
                                  32766,       32767,   32768,  65535,  65536, 99995, 100000, 2147483647};
    for (int64_t L = LowestGain; L <= HighestGain; ++L) Gains.push_back(L);
    // the engine's own limit, and the widest a run accepts
    for (int64_t L : Gains) ASSERT_EQ(CheckGain(Samples, L, L % 2 == 0 ? 32439 : 40000), "");
}

TEST(Arithmetic, EveryGainOfTheTilePassUpToTheLimit) {
    // The exact halves of the tiles are settled from the sample's and the gain's bits, so
    // every gain the single-precision pass takes is checked on all the samples a run uses.
    const std::vector<int16_t> Samples = EverySample();
    for (int64_t L = -32767; L <= 32767; L += GainStride) ASSERT_EQ(CheckGain(Samples, L, 32439, false), "");
}

TEST(Arithmetic, RunsStopAtTheFirstOverloadWhereverItIs) {
    // Exact halves, values at and just under the limit, and short runs that end inside a tile.
    const std::vector<int16_t> In = {210, 1670, 0, -3, 100, 16219, 16220, -16220, 7, 32439, 32767, 5, -32768, 1};
    const int64_t Cases[][2] = {{15, 32439},  {100, 32439},  {100, 32440}, {200, 32439}, {200, 32441},
                                {-100, 32439}, {1000, 32439}, {50000, 32439}, {100, 0},  {100, -5}};
    for (const auto& [L, Clip] : Cases)
        for (size_t Count = 0; Count <= In.size(); ++Count)
            EXPECT_EQ(CheckGain({In.begin(), In.begin() + static_cast<std::ptrdiff_t>(Count)}, L, Clip), "") << Count;
}
