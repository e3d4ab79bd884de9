// The meter on the reference signals of loudness metering, generated here: within the
// tolerances of EBU Tech 3341 and 3342, and every figure libebur128's (driven frame by frame as
// the reference) in every sample format and channel layout, true peaks passed over in quiet
// stretches included; the gain plan's limits; the scaling pass's rounding; the channel weights.
#include "KWeighting.h"
#include "LoudnessMeter.h"
#include "StaticGain.h"
#include "TestSupport.h"
#include "WaveRecipe.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
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

constexpr int64_t Rate = 48000;

std::vector<double> Stereo(const std::vector<TSegment>& Segments) {
    std::vector<double> X;
    for (const TSegment& S : Segments) {
        const double A = std::pow(10.0, S.Dbfs / 20);
        for (int64_t F = 0; F < std::llround(S.Seconds * Rate); ++F)
            X.insert(X.end(), 2, A * std::sin(2 * M_PI * S.Hz * static_cast<double>(F) / Rate + S.Phase * M_PI / 180));
    }
    return X;
}

// Interleaved frames through the meter in pieces across its blocks and chunks.
TLoudness Measure(const std::vector<double>& X, int Channels, int64_t At = Rate, uint32_t Mask = 0) {
    TLoudnessMeter Meter(Channels, At, Mask);
    for (size_t Done = 0; Done < X.size();) {
        const size_t N = std::min(X.size() - Done, static_cast<size_t>(Channels) * (1 + Done % 4999));
        Meter.Add(X.data() + Done, static_cast<int64_t>(N) / Channels);
        Done += N;
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
        const TLoudness L = Measure(Stereo(S.Segments), 2);
        const double Got[] = {L.Integrated, L.Range, L.TruePeak, L.MaxMomentary, L.MaxShortTerm};
        for (TFigure F : S.Figures) {
            EXPECT_GE(Got[F], S.Expected - S.Below) << S.Name << " " << F;
            EXPECT_LE(Got[F], S.Expected + S.Above) << S.Name << " " << F;
        }
    }
}

// libebur128's figures, driven block by block as the reference: the largest momentary and
// short-term loudness after every 100 ms block; each channel where ChannelWeights puts it.
TLoudness Reference(const std::vector<double>& X, int Channels, int64_t At, uint32_t Mask) {
    ebur128_state* St = ebur128_init(static_cast<unsigned>(Channels), static_cast<unsigned long>(At),
                                     EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA |
                                         EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_HISTOGRAM);
    const std::vector<double> Weights = ChannelWeights(Channels, Mask);
    for (size_t C = 0; C < Weights.size(); ++C)
        ebur128_set_channel(St, static_cast<unsigned>(C), Weights[C] == 0 ? EBUR128_UNUSED : Weights[C] > 1 ? EBUR128_Mp110 : EBUR128_CENTER);
    TLoudness L;
    L.Frames = static_cast<int64_t>(X.size()) / Channels;
    L.MaxMomentary = L.MaxShortTerm = -HUGE_VAL;
    const int64_t Block = (At + 5) / 10;
    for (int64_t F = 0; F < L.Frames; F += Block) {
        const int64_t N = std::min(Block, L.Frames - F);
        ebur128_add_frames_double(St, X.data() + F * Channels, static_cast<size_t>(N));
        if (N < Block) break;
        double M = 0, S = 0;
        ebur128_loudness_momentary(St, &M), ebur128_loudness_shortterm(St, &S);
        L.MaxMomentary = std::max(L.MaxMomentary, M), L.MaxShortTerm = std::max(L.MaxShortTerm, S);
    }
    ebur128_loudness_global(St, &L.Integrated);
    L.Range = -HUGE_VAL;
    if (L.Frames >= 3 * At) ebur128_loudness_range(St, &L.Range);
    double True = 0, Sample = 0;
    for (int C = 0; C < Channels; ++C) {
        double T = 0, P = 0;
        ebur128_true_peak(St, static_cast<unsigned>(C), &T), ebur128_sample_peak(St, static_cast<unsigned>(C), &P);
        True = std::max(True, T), Sample = std::max(Sample, P);
    }
    L.TruePeak = True > 0 ? 20 * std::log10(True) : -HUGE_VAL, L.SamplePeak = Sample > 0 ? 20 * std::log10(Sample) : -HUGE_VAL;
    ebur128_destroy(&St);
    return L;
}

// The steady signals above and scenes of quiet noise with loud bursts (the largest inter-sample peak
// at the start or end of a stretch the meter judges at once, or just past a quiet one), speech-
// like noise in syllables and pauses, different in every channel; in 8, 16, 24 and 32-bit and
// float values; mono, stereo, 5.1 with and without a mask, 7.1; 44.1, 48, 96 and 192 kHz.
TEST(Meter, EveryFigureIsLibebur128s) {
    struct TLayout {
        int Channels;
        uint32_t Mask;
        int64_t Rate;
    };
    const TLayout Layouts[] = {{1, 0, 44100}, {2, 0, 48000}, {6, 0x3F, 48000}, {6, 0, 96000}, {8, 0x63F, 48000}, {2, 0, 192000}};
    const double Fulls[] = {128, 32768, 8388608, 2147483648.0, 0};
    std::mt19937 Random(7);
    int Case = 0;
    const auto Check = [&](const std::vector<double>& Raw, int Channels, int64_t At, uint32_t Mask, const std::string& Name) {
        const double Full = Fulls[Case++ % std::size(Fulls)];
        std::vector<double> X = Raw;
        for (double& V : X) V = Full > 0 ? std::clamp(std::nearbyint(V * Full), -Full, Full - 1) / Full : static_cast<float>(V);
        const TLoudness Mine = Measure(X, Channels, At, Mask), Theirs = Reference(X, Channels, At, Mask);
        const double A[] = {Mine.Integrated, Mine.Range, Mine.TruePeak, Mine.SamplePeak, Mine.MaxMomentary, Mine.MaxShortTerm};
        const double B[] = {Theirs.Integrated, Theirs.Range, Theirs.TruePeak, Theirs.SamplePeak, Theirs.MaxMomentary, Theirs.MaxShortTerm};
        for (int F = 0; F < 6; ++F) {
            if (std::isinf(A[F]) || std::isinf(B[F])) {
                EXPECT_EQ(A[F], B[F]) << Name << " " << Full << " figure " << F;
            } else {
                EXPECT_NEAR(A[F], B[F], 0.01) << Name << " " << Full << " figure " << F;
            }
        }
        EXPECT_EQ(Mine.TruePeak, Theirs.TruePeak) << Name << " " << Full; // the very same bits
    };
    for (const TSignal& S : Signals)
        if (S.Segments.size() == 1 || S.Figures[0] == fTp) Check(Stereo(S.Segments), 2, Rate, 0, S.Name);
    // The largest peak between samples in a stretch whose own samples, times the filter's largest
    // gain, stay under the peak before it: only louder samples just before the stretch (or, the
    // pattern reversed, just after it), which its points reach, lift them (a pattern found by
    // search); in every format and either lane. The meter's stretches of intervals start 6
    // frames before each multiple of 32 (its first points come that far before the stream).
    for (int Run = 0; Run < 10; ++Run) {
        const double Loud[] = {-0.403, 0.69, 0.425, 0.68, -0.9, 0.9, -0.9, 0.9}, Quiet[] = {-0.48, 0.48, 0.48, -0.48, 0.48, -0.48, 0.48, -0.48};
        const bool Reversed = Run >= 5;
        const size_t Lane = static_cast<size_t>(Run % 2);
        std::vector<double> X(2 * 8192, 0.0);
        for (size_t J = 0; J < 8; ++J) {
            X[2 * (4082 + J) + Lane] = Reversed ? Quiet[7 - J] : Loud[J];
            X[2 * (4090 + J) + Lane] = Reversed ? Loud[7 - J] : Quiet[J];
        }
        if (Reversed) X[2 * 1000 + Lane] = 0.9; // the peak the quiet stretch is judged against
        Check(X, 2, Rate, 0, Reversed ? "a peak that only the samples after its stretch lift" : "a peak that only the samples before its stretch lift");
    }
    for (int Scene = 0; Scene < 18; ++Scene) {
        const TLayout& L = Layouts[Scene % std::size(Layouts)];
        const auto Frames = static_cast<size_t>(L.Rate * (Scene % 3 == 0 ? 4 : 1));
        std::vector<double> X(Frames * static_cast<size_t>(L.Channels), 0.0);
        std::uniform_real_distribution<double> Noise(-1, 1);
        for (size_t I = 0; I < X.size(); ++I) {
            // speech-like: syllables of noise, four a second, phrases and pauses, a level per channel
            const size_t F = I / static_cast<size_t>(L.Channels), C = I % static_cast<size_t>(L.Channels);
            const double Syllable = std::pow(std::sin(M_PI * static_cast<double>(F % static_cast<size_t>(L.Rate / 4)) / static_cast<double>(L.Rate / 4)), 2);
            X[I] = Scene % 4 == 0 ? 0 : Noise(Random) * Syllable * (F / static_cast<size_t>(L.Rate) % 3 == 2 ? 0.01 : 0.1) / static_cast<double>(1 + C);
        }
        for (int Burst = 0; Burst < 6; ++Burst) {
            // samples that alternate outward from a pair of one sign, each tap adding, or only
            // those on one side of the pair; the pair just before or after a stretch's start
            const int64_t Lowest[] = {-12, -6, 0}, Shift = Lowest[Burst % 3] + static_cast<int64_t>(Random() % (Burst % 3 == 0 ? 25 : 6));
            const int64_t Edge = 256 * std::uniform_int_distribution<int64_t>(1, static_cast<int64_t>(Frames) / 256 - 1)(Random) + Shift;
            const double A = (Burst % 3 == 0 ? 0.3 : 0.36) * (Random() % 2 == 0 ? 1 : 1.02);
            const auto C = static_cast<int64_t>(Random() % static_cast<unsigned>(L.Channels));
            for (int64_t J = 0; J < 8; ++J) {
                const double V = J % 2 == 0 ? A : -A;
                if (Edge - 1 - J >= 0 && (Burst % 3 != 2 || J == 0)) X[static_cast<size_t>((Edge - 1 - J) * L.Channels + C)] = V;
                if (Edge + J < static_cast<int64_t>(Frames) && (Burst % 3 != 1 || J == 0)) X[static_cast<size_t>((Edge + J) * L.Channels + C)] = V;
            }
        }
        Check(X, L.Channels, L.Rate, L.Mask, "scene " + std::to_string(Scene));
    }
}

// Two filters run side by side give each channel's own sums, bit for bit, block after block;
// silence after sound flushed to zero in both ways alike.
TEST(Meter, FiltersSideBySideAreEachChannelsOwn) {
    std::mt19937 Random(3);
    std::uniform_real_distribution<double> Noise(-1, 1);
    std::vector<double> X(3 * 9000, 0.0);
    for (size_t I = 0; I < 3 * 6000; ++I) X[I] = Noise(Random) * (I % 3 == 0 ? 1 : 1e-3);
    TKWeighting A(44100), B(44100), OwnA(44100), OwnB(44100);
    for (int64_t At = 0; At < 9000; At += 1000) {
        double Sums[2];
        TKWeighting::SumOfSquares(A, B, X.data() + 3 * At, 1000, 3, Sums);
        EXPECT_EQ(Sums[0], OwnA.SumOfSquares(X.data() + 3 * At, 1000, 3)) << At;
        EXPECT_EQ(Sums[1], OwnB.SumOfSquares(X.data() + 3 * At + 1, 1000, 3)) << At;
    }
}

// A file's bytes as the meter takes them, in every integer width, at the extremes and around
// the four-at-a-time loop's end: the value over full scale, 8-bit samples stored plus 128.
TEST(Meter, BytesReadAsFullScaleFractions) {
    using vx::TSampleEncoding;
    for (const auto E : {TSampleEncoding::sePcm8, TSampleEncoding::sePcm16, TSampleEncoding::sePcm24, TSampleEncoding::sePcm32}) {
        const int Width = vx::SampleBytes(E);
        const int64_t Full = int64_t{1} << (8 * Width - 1);
        for (int64_t Count = 1; Count <= 9; ++Count) {
            std::vector<uint8_t> Bytes;
            std::vector<double> Expected;
            for (int64_t I = 0; I < Count; ++I) {
                const int64_t V = I % 3 == 0 ? -Full : I % 3 == 1 ? Full - 1 : -1 - I;
                const int64_t Stored = Width == 1 ? V + 128 : V;
                for (int B = 0; B < Width; ++B) Bytes.push_back(static_cast<uint8_t>(static_cast<uint64_t>(Stored) >> (8 * B)));
                Expected.push_back(static_cast<double>(V) / static_cast<double>(Full));
            }
            std::vector<double> Out(static_cast<size_t>(Count));
            BytesToDoubles(E, Bytes.data(), Count, Out.data());
            EXPECT_EQ(Out, Expected) << Width << " bytes, " << Count;
        }
    }
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

TEST(Meter, ChannelWeightsFollowTheMaskOrTheCount) {
    const std::vector<double> Surround = {1, 1, 1, 0, 1.41, 1.41};
    EXPECT_EQ(ChannelWeights(6, 0x3F), Surround);
    EXPECT_EQ(ChannelWeights(6, 0), Surround);
    EXPECT_EQ(ChannelWeights(4, 0), std::vector<double>(4, 1.0));
    EXPECT_EQ(ChannelWeights(5, 0x60B), (std::vector<double>{1, 1, 0, 1.41, 1.41}));
    EXPECT_EQ(ChannelWeights(3, 0x100), (std::vector<double>{1, 1, 1})); // back centre, then past the mask
}

} // namespace
