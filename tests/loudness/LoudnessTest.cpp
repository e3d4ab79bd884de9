// The meter on the reference signals of loudness metering, generated here; the true peak with
// quiet stretches passed over against libebur128 fed every frame; the gain plan's limits; the
// scaling pass's rounding; the channel map.
#include "LoudnessMeter.h"
#include "StaticGain.h"
#include "TestSupport.h"
#include "WaveRecipe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using namespace sonoloud;

struct TSegment {
    double Seconds, Dbfs, Hz = 1000, Phase = 0; // a sine of this peak level in both channels
};
enum TFigure { fI, fLra, fTp, fM, fS };
struct TSignal {
    const char* Name;
    std::vector<TSegment> Segments;
    std::vector<TFigure> Figures;
    double Expected, Below, Above; // the tolerance under and over Expected
};

TLoudness Measure(const std::vector<TSegment>& Segments) {
    constexpr int Rate = 48000;
    TLoudnessMeter Meter(2, Rate, 0);
    double Block[2 * 1999]; // blocks across the meter's 100 ms
    for (const TSegment& S : Segments) {
        const double A = std::pow(10.0, S.Dbfs / 20);
        const int64_t Frames = std::llround(S.Seconds * Rate);
        for (int64_t F = 0; F < Frames;) {
            int64_t N = 0;
            for (; N < 1999 && F < Frames; ++N, ++F)
                Block[2 * N] = Block[2 * N + 1] = A * std::sin(2 * M_PI * S.Hz * static_cast<double>(F) / Rate + S.Phase * M_PI / 180);
            Meter.Add(Block, N);
        }
    }
    return Meter.Result();
}

// Integrated loudness (±0.1 LU), maximum momentary and short-term loudness of the stereo 1 kHz
// sines and sequences; loudness range (±1 LU) of the level steps; true peaks (+0.2/-0.4 dB) of
// quarter-rate sines whose peaks fall between the samples.
const TSignal Signals[] = {
    {"-23 dBFS", {{20, -23}}, {fI, fM, fS}, -23, 0.1, 0.1},
    {"-33 dBFS", {{20, -33}}, {fI, fM, fS}, -33, 0.1, 0.1},
    {"-36/-23/-36", {{10, -36}, {60, -23}, {10, -36}}, {fI}, -23, 0.1, 0.1},
    {"-72/-36/-23/-36/-72", {{10, -72}, {10, -36}, {60, -23}, {10, -36}, {10, -72}}, {fI}, -23, 0.1, 0.1},
    {"-26/-20/-26", {{20, -26}, {20.1, -20}, {20, -26}}, {fI}, -23, 0.1, 0.1},
    {"-20/-30", {{20, -20}, {20, -30}}, {fLra}, 10, 1, 1},
    {"-20/-15", {{20, -20}, {20, -15}}, {fLra}, 5, 1, 1},
    {"-40/-20", {{20, -40}, {20, -20}}, {fLra}, 20, 1, 1},
    {"-50/-35/-20/-35/-50", {{20, -50}, {20, -35}, {20, -20}, {20, -35}, {20, -50}}, {fLra}, 15, 1, 1},
    {"12 kHz, peaks on samples", {{2, -6, 12000}}, {fTp}, -6, 0.4, 0.2},
    {"12 kHz, peaks between samples", {{2, -6, 12000, 45}}, {fTp}, -6, 0.4, 0.2},
    {"12 kHz, samples at full scale", {{2, 3.0103, 12000, 45}}, {fTp}, 3, 0.4, 0.2},
    {"a higher peak after a quiet stretch", {{1, -6, 12000, 45}, {2, -40}, {1, 3.0103, 12000, 45}}, {fTp}, 3, 0.4, 0.2},
};

TEST(Meter, ReferenceSignalsWithinTheirTolerances) {
    for (const TSignal& S : Signals) {
        const TLoudness L = Measure(S.Segments);
        const double Got[] = {L.Integrated, L.Range, L.TruePeak, L.MaxMomentary, L.MaxShortTerm};
        for (TFigure F : S.Figures) {
            EXPECT_GE(Got[F], S.Expected - S.Below) << S.Name << " " << F;
            EXPECT_LE(Got[F], S.Expected + S.Above) << S.Name << " " << F;
        }
    }
}

// Scenes of quiet noise and silence with loud bursts whose largest inter-sample peak falls
// where a stretch or block begins or ends, or just past a quiet one: the true peak with quiet
// stretches passed over is exactly the one of libebur128 fed every frame.
TEST(Meter, TruePeakPassesOverQuietStretchesExactly) {
    std::mt19937 Random(7);
    for (int Scene = 0; Scene < 60; ++Scene) {
        const int Channels = 1 + Scene % 3;
        const int64_t Rate = Scene % 4 == 3 ? 96000 : 48000;
        std::vector<double> Frames(static_cast<size_t>(Channels * 40000), 0.0);
        std::uniform_real_distribution<double> Noise(-0.002, 0.002);
        for (double& V : Frames) V = Scene % 5 == 0 ? 0 : Noise(Random);
        for (int Burst = 0; Burst < 6; ++Burst) {
            // samples that alternate outward from a pair of one sign, each tap adding, or only
            // those on one side of the pair, quiet on the other
            // the pair just before or just after the start of a stretch of 512 frames
            const int64_t Lowest[] = {-12, -6, 0}, Shift = Lowest[Burst % 3] + static_cast<int64_t>(Random() % (Burst % 3 == 0 ? 25 : 6));
            const int64_t Edge = 512 * std::uniform_int_distribution<int64_t>(1, 70)(Random) + Shift;
            // near-equal bursts, so that a bound only a little too low misses one
            const double A = (Burst % 3 == 0 ? 0.3 : 0.36) * (Random() % 2 == 0 ? 1 : 1.02);
            const int C = static_cast<int>(Random() % static_cast<unsigned>(Channels));
            for (int64_t J = 0; J < 8; ++J) {
                const double V = J % 2 == 0 ? A : -A;
                if (Edge - 1 - J >= 0 && (Burst % 3 != 2 || J == 0)) Frames[static_cast<size_t>((Edge - 1 - J) * Channels + C)] = V;
                if (Edge + J < 40000 && (Burst % 3 != 1 || J == 0)) Frames[static_cast<size_t>((Edge + J) * Channels + C)] = V;
            }
        }
        TTruePeaks Peaks(Channels, Rate);
        ebur128_state* Whole = ebur128_init(static_cast<unsigned>(Channels), static_cast<unsigned long>(Rate), EBUR128_MODE_TRUE_PEAK);
        ASSERT_NE(Whole, nullptr);
        const int64_t Piece = TTruePeaks::MaxSamples / Channels;
        for (int64_t F = 0; F < 40000; F += Piece) {
            const int64_t N = std::min<int64_t>(Piece, 40000 - F);
            Peaks.Add(Frames.data() + F * Channels, N);
            ebur128_add_frames_double(Whole, Frames.data() + F * Channels, static_cast<size_t>(N));
        }
        double Expected = 0;
        for (int C = 0; C < Channels; ++C) {
            double T = 0;
            ebur128_true_peak(Whole, static_cast<unsigned>(C), &T);
            Expected = std::max(Expected, T);
        }
        ebur128_destroy(&Whole);
        EXPECT_EQ(Peaks.Peak(), Expected) << "scene " << Scene;
    }
    EXPECT_GT(TTruePeaks::FilterGain(48000), 1.5);
    EXPECT_LT(TTruePeaks::FilterGain(192000), 1.01); // no oversampling there
}

TEST(Gain, TargetCeilingAndFullScale) {
    TLoudness L;
    L.Integrated = -30, L.TruePeak = -20, L.MaxSample = 0.1, L.MinSample = -0.1;
    TGainPlan P = PlanGain(L, -16, -1, vx::TSampleEncoding::sePcm16);
    EXPECT_NEAR(P.Db, 14, 1e-12);
    EXPECT_FALSE(P.Limited);
    L.TruePeak = -5;
    P = PlanGain(L, -16, -1, vx::TSampleEncoding::sePcm16);
    EXPECT_NEAR(P.Db, 4, 1e-12);
    EXPECT_TRUE(P.Limited);
    // A file that peaks at +32767 only: a 0 dBTP ceiling would round it to 32768.
    L.TruePeak = 20 * std::log10(32767.0 / 32768), L.MaxSample = 32767.0 / 32768, L.MinSample = -0.5;
    P = PlanGain(L, 0, 0, vx::TSampleEncoding::sePcm16);
    EXPECT_TRUE(P.Limited);
    EXPECT_EQ(std::nearbyint(32767 * P.Factor), 32767);
    EXPECT_GT(PlanGain(L, 0, 0, vx::TSampleEncoding::seFloat32).Factor, P.Factor); // floats may pass 1.0
}

TEST(Gain, ScalingRoundsHalvesToEvenAndKeepsFloats) {
    testsupport::TempDir D;
    const std::pair<const char*, const char*> Files[] = {
        {"pcm16 1 8000 data 1 3 -1 -3 5 1000", "pcm16 1 8000 data 2 4 -2 -4 8 1500"},
        {"pcm24 2 8000 ext data 1 3 -1 -3", "pcm24 2 8000 ext data 2 4 -2 -4"},
        {"float32 1 8000 data 0.25 -0.1", "float32 1 8000 data 0.375 -0.15000000000000002 fact"},
    };
    for (const auto& [In, Expected] : Files) {
        testsupport::WriteFile(D / "in.wav", testwave::Build(In));
        {
            wave::TWaveIO Input(D / "in.wav", wave::TWaveIOMode::wioRead), Output(D / "out.wav", wave::TWaveIOMode::wioRewrite);
            const vx::TSampleEncoding E = vx::SampleEncoding(Input.Format(), Input.Extension());
            Output.SetFormat(Input.Format());
            Output.SetLayout(Input.Extension(), Input.DataSize());
            WriteScaled(Input, Output, E, 1.5);
            Output.Release();
        }
        EXPECT_EQ(testsupport::ReadFile(D / "out.wav"), testwave::Build(Expected)) << In;
    }
}

TEST(Meter, ChannelMapFollowsTheMaskOrTheCount) {
    const std::vector<int> Surround = {EBUR128_LEFT, EBUR128_RIGHT, EBUR128_CENTER, EBUR128_UNUSED, EBUR128_Mp110, EBUR128_Mm110};
    EXPECT_EQ(ChannelMap(6, 0x3F), Surround);
    EXPECT_EQ(ChannelMap(6, 0), Surround);
    EXPECT_EQ(ChannelMap(4, 0), std::vector<int>(4, EBUR128_CENTER));
    EXPECT_EQ(ChannelMap(5, 0x603), (std::vector<int>{EBUR128_LEFT, EBUR128_RIGHT, EBUR128_Mp090, EBUR128_Mm090, EBUR128_CENTER}));
}

} // namespace
