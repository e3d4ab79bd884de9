// Amplify and AmplifyRun, the integer and single-precision paths of the engine, against the
// extended-precision rule they stand in for: a few golden values, then every 16-bit sample
// over a wide range of gains (negative ones included, which the overload handling reaches),
// then the 24-bit, 32-bit and float runs, which take the samples as a file stores them.
#include "GainArithmetic.h"
#include "GainKernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

#ifdef SONOLIFT_ARITHMETIC_SANITIZED
constexpr int64_t GainStride = 97; // the sanitizers make each call costly
#else
constexpr int64_t GainStride = 1;
#endif

// The builds of the passes this processor runs: the baseline one always, AVX2 and AVX-512 where
// it has them.
struct TBuild {
    bool Wide, Widest;
    const char* Name;
};
std::vector<TBuild> Builds() {
    static const bool HasWide = sonolift::WideVectors, HasWidest = sonolift::WidestVectors;
    std::vector<TBuild> B = {{false, false, " baseline"}};
    if (HasWide) B.push_back({true, false, " AVX2"});
    if (HasWidest) B.push_back({true, true, " AVX-512"});
    return B;
}
const char* Use(const TBuild& B) {
    sonolift::WideVectors = B.Wide;
    sonolift::WidestVectors = B.Widest;
    return B.Name;
}

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
// limit for good; each gain with each build of the passes the processor runs. The buffers are exactly as long as the run, so a tile that reads or writes past its
// end shows under the sanitizers.
TEST(Arithmetic, EveryGainMatchesExtendedPrecision) {
    std::vector<int16_t> Samples = {0};
    for (int M = 1; M <= 32767; ++M) Samples.insert(Samples.end(), {static_cast<int16_t>(M), static_cast<int16_t>(-M)});
    Samples.push_back(-32768);
    std::vector<int64_t> Gains = {-2147483647, -100000, 32768, 65535, 99995, 100000, 2147483647};
    for (int64_t L = -32767; L <= 32767; L += GainStride) Gains.push_back(L);
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
        for (const TBuild& B : Builds()) {
            const char* Build = Use(B);
            for (const size_t Count : {Samples.size(), size_t{13}}) { // and a run that ends inside a tile
                std::vector<int16_t> Out(Count);
                const int64_t Done = sonolift::AmplifyRun(reinterpret_cast<const uint8_t*>(Samples.data()),
                                                          reinterpret_cast<uint8_t*>(Out.data()), static_cast<int64_t>(Count), L, Clip);
                ASSERT_EQ(Done, std::min<int64_t>(Expected, static_cast<int64_t>(Count))) << L << Build;
                ASSERT_TRUE(std::equal(Out.begin(), Out.begin() + Done, Exact.begin())) << L << Build;
            }
        }
    }
}

// Samples of Bits bits by growing magnitude, spread over the whole range and thick where the
// integer rule hands over to the extended one (2^20), each gain's run against AmplifyExact,
// with each build of the passes: the exact halves of the wider lanes included.
TEST(Arithmetic, WideSamplesMatchExtendedPrecision) {
    for (const int Bits : {24, 32}) {
        const int64_t Top = int64_t{1} << (Bits - 1), Bytes = Bits / 8;
        std::vector<int64_t> Samples = {0};
        for (int64_t M = 1; M < Top; M += M < (int64_t{1} << 20) + 300 && M > (int64_t{1} << 20) - 300 ? 1 : Top / 4099)
            Samples.insert(Samples.end(), {M, -M});
        Samples.insert(Samples.end(), {Top - 1, -Top});
        std::vector<uint8_t> In(Samples.size() * static_cast<size_t>(Bytes));
        for (size_t I = 0; I < Samples.size(); ++I) std::memcpy(&In[I * static_cast<size_t>(Bytes)], &Samples[I], static_cast<size_t>(Bytes));
        for (const int64_t L : {1, 2, 15, 50, 98, 99, 100, 101, 105, 150, 250, 5, -15, -150, 2097152, -2097152, 2097153}) {
            const int64_t Clip = L % 2 == 0 ? Top - Top / 100 : Top + 1000;
            std::vector<int64_t> Exact;
            for (size_t I = 0; I < Samples.size(); ++I) {
                Exact.push_back(sonolift::AmplifyExact(Samples[I], L));
                if (std::llabs(Exact.back()) >= std::min(Clip, Top)) break;
            }
            const int64_t Expected = static_cast<int64_t>(Exact.size()) - (std::llabs(Exact.back()) >= std::min(Clip, Top));
            for (const TBuild& B : Builds()) {
                const char* Build = Use(B);
                std::vector<uint8_t> Out(In.size());
                const auto Run = Bits == 24 ? sonolift::AmplifyRun24 : sonolift::AmplifyRun32;
                const int64_t Done = Run(In.data(), Out.data(), static_cast<int64_t>(Samples.size()), L, Clip);
                ASSERT_EQ(Done, Expected) << Bits << " bits at " << L << Build;
                for (int64_t I = 0; I < Done; ++I) {
                    int64_t V = 0;
                    std::memcpy(&V, &Out[static_cast<size_t>(I * Bytes)], static_cast<size_t>(Bytes));
                    V = V << (64 - Bits) >> (64 - Bits);
                    ASSERT_EQ(V, Exact[static_cast<size_t>(I)]) << Samples[static_cast<size_t>(I)] << " at " << L << Build;
                }
            }
        }
    }
}

// A run stops at a value exactly at the limit and not at one below it, positive or negative,
// in a whole chunk and in a short one, at every width and in every build; also at an exact half
// that the extended rule settles up to the limit (1 * 150 / 100 = 1.5 gives 2).
TEST(Arithmetic, RunsStopAtAValueExactlyAtTheLimit) {
    const int64_t Cases[][4] = {{1000, 100, 1000, 1}, {-1000, 100, 1000, 1}, {999, 100, 1000, 0},
                                {1, 150, 2, 1},       {-1, 150, 2, 1},       {1, 150, 3, 0}};
    for (const int Bits : {16, 24, 32}) {
        const auto Run = Bits == 16 ? sonolift::AmplifyRun : Bits == 24 ? sonolift::AmplifyRun24 : sonolift::AmplifyRun32;
        const int64_t Bytes = Bits / 8;
        for (const auto& [S, L, Clip, Stops] : Cases) {
            for (const int64_t Count : {300, 210}) {
                std::vector<uint8_t> Samples(static_cast<size_t>(Count * Bytes));
                std::memcpy(&Samples[static_cast<size_t>(200 * Bytes)], &S, static_cast<size_t>(Bytes));
                for (const TBuild& B : Builds()) {
                    const char* Build = Use(B);
                    std::vector<uint8_t> Out(Samples.size());
                    EXPECT_EQ(Run(Samples.data(), Out.data(), Count, L, Clip), Stops ? 200 : Count)
                        << Bits << " bits, " << S << " at " << L << Build;
                }
            }
        }
    }
}

// The peak passes of every build against the largest magnitude taken one by one, over stretches
// of every length around the vectors' widths whose largest value is last, where a pass that
// drops its last few values would miss it; float stretches with a value that is not finite too.
TEST(Arithmetic, PeaksAgreeInEveryBuild) {
    uint32_t Seed = 12345;
    const auto Next = [&] { return Seed = Seed * 1664525u + 1013904223u; };
    for (int64_t Count = 1; Count <= 70; ++Count) {
        std::vector<int16_t> S16(static_cast<size_t>(Count));
        std::vector<uint8_t> S24(static_cast<size_t>(3 * Count));
        std::vector<uint32_t> SF(static_cast<size_t>(Count));
        for (int64_t I = 0; I < Count; ++I) {
            const bool Last = I == Count - 1;
            S16[static_cast<size_t>(I)] = Last ? int16_t{-32768} : static_cast<int16_t>(Next() % 2001) - 1000;
            const int32_t V24 = Last ? -8388608 : static_cast<int32_t>(Next() % 200001) - 100000;
            std::memcpy(&S24[static_cast<size_t>(3 * I)], &V24, 3);
            SF[static_cast<size_t>(I)] = Last ? (Count % 2 ? 0xFF800000u : 0xBF000000u) : (Next() & 0x3EFFFFFFu) | (Next() & 0x80000000u);
        }
        for (const TBuild& B : Builds()) {
            const char* Build = Use(B);
            EXPECT_EQ(sonolift::SpanPeak(reinterpret_cast<const uint8_t*>(S16.data()), Count), 32768) << Count << Build;
            EXPECT_EQ(sonolift::SpanPeak24(S24.data(), Count), 8388608) << Count << Build;
            EXPECT_EQ(sonolift::SpanPeakFloat32Bits(reinterpret_cast<const uint8_t*>(SF.data()), Count), Count % 2 ? 0x7F800000u : 0x3F000000u)
                << Count << Build;
        }
    }
}

// Float samples: s / 100 * L in double precision, rounded to a float, whichever the pass; the
// run stops at the first value at the limit and before one that is not finite.
TEST(Arithmetic, FloatSamplesTakeTheDoubleQuotient) {
    std::vector<float> Samples = {-0.0f, 0.0f, 1e-45f, -1e-45f, 1.17549e-38f, 0.3f, -0.7f, 0.98999f};
    uint32_t Bits = 0x3C000000; // pseudo-random values in about [-1, 1]
    for (int I = 0; I < 20000; ++I) {
        Bits = Bits * 1664525u + 1013904223u;
        Samples.push_back(std::bit_cast<float>((Bits >> 9 | 0x3F000000u) - (Bits & 0x0F000000u)) * (Bits & 1 ? -1.0f : 1.0f));
    }
    for (const float Stop : {2.0f, NAN, INFINITY}) {
        Samples.push_back(Stop);
        for (const int64_t L : {1, 3, 7, 99, 100, 101, 0, -250, 149}) {
            for (const TBuild& B : Builds()) {
                const char* Build = Use(B);
                std::vector<float> Out(Samples.size());
                const int64_t Done = sonolift::AmplifyRunFloat32(reinterpret_cast<const uint8_t*>(Samples.data()),
                                                                 reinterpret_cast<uint8_t*>(Out.data()), static_cast<int64_t>(Samples.size()), L, 0.99 * 3);
                const bool Stops = Stop != 2.0f || L * 2 >= 297 || L * 2 <= -297;
                ASSERT_EQ(Done, static_cast<int64_t>(Samples.size()) - Stops) << L << Build;
                for (int64_t I = 0; I < Done; ++I) {
                    const float Expected = static_cast<float>(static_cast<double>(Samples[static_cast<size_t>(I)]) / 100.0 * static_cast<double>(L));
                    ASSERT_EQ(std::bit_cast<uint32_t>(Out[static_cast<size_t>(I)]), std::bit_cast<uint32_t>(Expected))
                        << Samples[static_cast<size_t>(I)] << " at " << L << Build;
                }
            }
        }
        Samples.pop_back();
    }
}

} // namespace
