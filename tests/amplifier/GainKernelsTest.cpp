// The passes of every table the processor runs, each test once per table and named after it (a
// table the processor lacks is skipped with its name), against the integer and extended-precision
// rules: 16-bit runs at every gain, the wider integers, runs that stop at the limit, peaks, and
// float runs.
#include "GainArithmetic.h"
#include "GainSweep.h"
#include "GainKernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace sonolift {
// The set's name in test lists and messages.
void PrintTo(TKernelSet Set, std::ostream* Out) { *Out << KernelSetName(Set); }
} // namespace sonolift

namespace {

using sonolift::TGainKernels;
using sonolift::TKernelSet;

class GainKernels : public testing::TestWithParam<TKernelSet> {
protected:
    void SetUp() override {
        Table = sonolift::KernelTable(GetParam());
        if (Table == nullptr) GTEST_SKIP() << "this processor does not run the " << sonolift::KernelSetName(GetParam()) << " passes";
    }
    const TGainKernels& K() const { return *Table; }
    const TGainKernels* Table = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Sets, GainKernels, testing::ValuesIn(sonolift::KernelSets), [](const auto& Info) {
    std::string Name = sonolift::KernelSetName(Info.param);
    std::erase(Name, '-');
    return Name;
});

const uint8_t* Bytes(const void* P) { return static_cast<const uint8_t*>(P); }
uint8_t* Bytes(void* P) { return static_cast<uint8_t*>(P); }

// Every 16-bit sample by growing magnitude, so a run stops only where the values reach the
// limit for good, at every gain the tiles and chunks take and a few past them, against the
// integer rule (which the arithmetic test holds to the extended one). The buffers are exactly as
// long as the run, so a pass that reads or writes past its end shows under the sanitizers.
TEST_P(GainKernels, Runs16MatchTheIntegerRuleAtEveryGain) {
    const std::vector<int16_t> Samples = EverySample16();
    std::vector<int16_t> Expected;
    for (const int64_t L : SweptGains()) {
        // the engine's own limit for even gains, the widest a run takes for odd ones
        const int64_t Clip = L % 2 == 0 ? 32439 : 40000, Limit = std::min<int64_t>(Clip, 32768);
        Expected.clear();
        for (const int16_t S : Samples) {
            const int64_t V = sonolift::Amplify(S, L);
            if (std::llabs(V) >= Limit) break;
            Expected.push_back(static_cast<int16_t>(V));
        }
        for (const size_t Count : {Samples.size(), size_t{13}}) { // and a run that ends inside a tile
            std::vector<int16_t> Out(Count);
            const int64_t Done = sonolift::AmplifyRun16(K(), Bytes(Samples.data()), Bytes(Out.data()), static_cast<int64_t>(Count), L, Clip);
            ASSERT_EQ(Done, static_cast<int64_t>(std::min(Expected.size(), Count))) << L;
            ASSERT_TRUE(std::equal(Out.begin(), Out.begin() + Done, Expected.begin())) << L;
        }
    }
}

// Samples of Bits bits by growing magnitude, spread over the whole range and thick where the
// integer rule hands over to the extended one (2^20), each gain's run against AmplifyExact: the
// exact halves of the wider lanes included.
TEST_P(GainKernels, WideSamplesMatchExtendedPrecision) {
    for (const int Bits : {24, 32}) {
        const int64_t Top = int64_t{1} << (Bits - 1), Size = Bits / 8;
        std::vector<int64_t> Samples = {0};
        for (int64_t M = 1; M < Top; M += M < (int64_t{1} << 20) + 300 && M > (int64_t{1} << 20) - 300 ? 1 : Top / 4099)
            Samples.insert(Samples.end(), {M, -M});
        Samples.insert(Samples.end(), {Top - 1, -Top});
        std::vector<uint8_t> In(Samples.size() * static_cast<size_t>(Size));
        for (size_t I = 0; I < Samples.size(); ++I) std::memcpy(&In[I * static_cast<size_t>(Size)], &Samples[I], static_cast<size_t>(Size));
        for (const int64_t L : {1, 2, 15, 50, 98, 99, 100, 101, 105, 150, 250, 5, -15, -150, 2097152, -2097152, 2097153}) {
            const int64_t Clip = L % 2 == 0 ? Top - Top / 100 : Top + 1000;
            std::vector<int64_t> Exact;
            for (size_t I = 0; I < Samples.size(); ++I) {
                Exact.push_back(sonolift::AmplifyExact(Samples[I], L));
                if (std::llabs(Exact.back()) >= std::min(Clip, Top)) break;
            }
            const int64_t Expected = static_cast<int64_t>(Exact.size()) - (std::llabs(Exact.back()) >= std::min(Clip, Top));
            std::vector<uint8_t> Out(In.size());
            const auto Run = Bits == 24 ? sonolift::AmplifyRun24 : sonolift::AmplifyRun32;
            const int64_t Done = Run(K(), In.data(), Out.data(), static_cast<int64_t>(Samples.size()), L, Clip);
            ASSERT_EQ(Done, Expected) << Bits << " bits at " << L;
            for (int64_t I = 0; I < Done; ++I) {
                int64_t V = 0;
                std::memcpy(&V, &Out[static_cast<size_t>(I * Size)], static_cast<size_t>(Size));
                V = V << (64 - Bits) >> (64 - Bits);
                ASSERT_EQ(V, Exact[static_cast<size_t>(I)]) << Samples[static_cast<size_t>(I)] << " at " << L;
            }
        }
    }
}

// A run stops at a value exactly at the limit and not at one below it, positive or negative,
// in a whole chunk and in a short one, at every width, the values before it (a vector's width
// and three) all written; also at an exact half that the extended rule settles up to the limit
// (1 * 150 / 100 = 1.5 gives 2).
TEST_P(GainKernels, RunsStopAtAValueExactlyAtTheLimit) {
    const int64_t Cases[][4] = {{1000, 100, 1000, 1}, {-1000, 100, 1000, 1}, {999, 100, 1000, 0},
                                {1, 150, 2, 1},       {-1, 150, 2, 1},       {1, 150, 3, 0}};
    for (const int Bits : {16, 24, 32}) {
        const auto Run = Bits == 16 ? sonolift::AmplifyRun16 : Bits == 24 ? sonolift::AmplifyRun24 : sonolift::AmplifyRun32;
        const int64_t Size = Bits / 8;
        for (const auto& [S, L, Clip, Stops] : Cases) {
            for (const int64_t Count : {300, 210}) {
                std::vector<uint8_t> Samples(static_cast<size_t>(Count * Size));
                const uint8_t Fill = sonolift::AmplifyExact(1, L) < Clip; // ones where they stay under the limit
                for (int64_t I = 0; I < 203; ++I) Samples[static_cast<size_t>(I * Size)] = Fill;
                std::memcpy(&Samples[static_cast<size_t>(203 * Size)], &S, static_cast<size_t>(Size));
                std::vector<uint8_t> Out(Samples.size());
                EXPECT_EQ(Run(K(), Samples.data(), Out.data(), Count, L, Clip), Stops ? 203 : Count) << Bits << " bits, " << S << " at " << L;
                EXPECT_EQ(Out[static_cast<size_t>(202 * Size)], sonolift::AmplifyExact(Fill, L)) << Bits << " bits at " << L;
            }
        }
    }
}

// The peak passes against the largest magnitude, over stretches of every length around the
// vectors' widths whose largest value is last, where a pass that drops its last few values
// would miss it, the most negative or (even lengths) the most positive; float stretches with a
// value that is not finite too.
TEST_P(GainKernels, PeaksFindTheLargestMagnitude) {
    uint32_t Seed = 12345;
    const auto Next = [&] { return Seed = Seed * 1664525u + 1013904223u; };
    for (int64_t Count = 1; Count <= 70; ++Count) {
        const auto N = static_cast<size_t>(Count);
        std::vector<int16_t> S16(N);
        std::vector<uint8_t> S24(3 * N);
        std::vector<int32_t> S32(N);
        std::vector<uint32_t> SF(N);
        std::vector<double> SD(N);
        for (size_t I = 0; I < N; ++I) {
            const bool Last = I == N - 1;
            S16[I] = Last ? static_cast<int16_t>(Count % 2 ? -32768 : 32767) : static_cast<int16_t>(static_cast<int32_t>(Next() % 2001) - 1000);
            const int32_t V24 = Last ? (Count % 2 ? -8388608 : 8388607) : static_cast<int32_t>(Next() % 200001) - 100000;
            std::memcpy(&S24[3 * I], &V24, 3);
            S32[I] = Last ? (Count % 2 ? INT32_MIN : INT32_MAX) : static_cast<int32_t>(Next() % 2000001) - 1000000;
            SF[I] = Last ? (Count % 2 ? 0xFF800000u : 0xBF000000u) : (Next() & 0x3EFFFFFFu) | (Next() & 0x80000000u);
            SD[I] = Last ? -0.75 : std::ldexp(static_cast<double>(Next() % 1000) - 500.0, -10);
        }
        EXPECT_EQ(K().Peak16(Bytes(S16.data()), Count), Count % 2 ? 32768 : 32767) << Count;
        EXPECT_EQ(K().Peak24(S24.data(), Count), Count % 2 ? 8388608 : 8388607) << Count;
        EXPECT_EQ(K().Peak32(Bytes(S32.data()), Count), (int64_t{1} << 31) - (Count % 2 ? 0 : 1)) << Count;
        EXPECT_EQ(K().PeakFloat32(Bytes(SF.data()), Count), Count % 2 ? 0x7F800000u : 0x3F000000u) << Count;
        EXPECT_EQ(K().PeakFloat64(Bytes(SD.data()), Count), 0.75) << Count;
    }
}

// Float samples: s / 100 * L in double precision, rounded to a float for float files, whichever
// the pass; the run stops at the first value at the limit and before one that is not finite.
TEST_P(GainKernels, FloatSamplesTakeTheDoubleQuotient) {
    std::vector<float> Samples = {-0.0f, 0.0f, 1e-45f, -1e-45f, 1.17549e-38f, 0.3f, -0.7f, 0.98999f};
    uint32_t Bits = 0x3C000000; // pseudo-random values in about [-1, 1]
    for (int I = 0; I < 20000; ++I) {
        Bits = Bits * 1664525u + 1013904223u;
        Samples.push_back(std::bit_cast<float>((Bits >> 9 | 0x3F000000u) - (Bits & 0x0F000000u)) * (Bits & 1 ? -1.0f : 1.0f));
    }
    for (const float Stop : {2.0f, NAN, INFINITY}) {
        Samples.push_back(Stop);
        const std::vector<double> Doubles(Samples.begin(), Samples.end());
        const auto Count = static_cast<int64_t>(Samples.size());
        for (const int64_t L : {1, 3, 7, 99, 100, 101, 0, -250, 149}) {
            const bool Stops = Stop != 2.0f || L * 2 >= 297 || L * 2 <= -297;
            std::vector<float> Out(Samples.size());
            std::vector<double> OutD(Samples.size());
            ASSERT_EQ(sonolift::AmplifyRunFloat32(K(), Bytes(Samples.data()), Bytes(Out.data()), Count, L, 0.99 * 3), Count - Stops) << L;
            ASSERT_EQ(sonolift::AmplifyRunFloat64(K(), Bytes(Doubles.data()), Bytes(OutD.data()), Count, L, 0.99 * 3), Count - Stops) << L;
            for (int64_t I = 0; I < Count - Stops; ++I) {
                const double S = Doubles[static_cast<size_t>(I)], Expected = S / 100.0 * static_cast<double>(L);
                ASSERT_EQ(std::bit_cast<uint32_t>(Out[static_cast<size_t>(I)]), std::bit_cast<uint32_t>(static_cast<float>(Expected))) << S << " at " << L;
                ASSERT_EQ(std::bit_cast<uint64_t>(OutD[static_cast<size_t>(I)]), std::bit_cast<uint64_t>(Expected)) << S << " at " << L;
            }
        }
        Samples.pop_back();
    }
}

} // namespace
