// The gain engine in-process: arithmetic, limits, segment ends, gain steps, the clip guard and
// overloads, driven through TSonoliftApp with SampleBlock filled here.
#include "SonoliftApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using sonolift::TSonoliftApp;

wave::TWaveFormat Format16(uint16_t Channels, uint32_t Rate) {
    wave::TWaveFormat F;
    F.Channels = Channels;
    F.SamplesPerSec = Rate;
    F.BlockAlign = static_cast<uint16_t>(2 * Channels);
    F.AvgBytesPerSec = Rate * F.BlockAlign;
    F.BitsPerSample = 16;
    return F;
}

void FillBlock(const std::vector<int16_t>& Samples, size_t First, size_t Count) {
    sonolift::SampleBlock.assign(std::max<size_t>(Count, 1) * 2, 0);
    for (size_t I = 0; I < Count; ++I) {
        const auto U = static_cast<uint16_t>(Samples[First + I]);
        sonolift::SampleBlock[2 * I] = static_cast<uint8_t>(U);
        sonolift::SampleBlock[2 * I + 1] = static_cast<uint8_t>(U >> 8);
    }
}

std::vector<int16_t> BlockSamples(size_t Count) {
    std::vector<int16_t> S;
    for (size_t I = 0; I < Count; ++I)
        S.push_back(static_cast<int16_t>(static_cast<uint16_t>(sonolift::SampleBlock[2 * I] |
                                                               (sonolift::SampleBlock[2 * I + 1] << 8))));
    return S;
}

// One application object with the limits of one file prepared, and drivers that call the engine
// the way ProcessFile does.
struct Engine {
    TSonoliftApp App;

    void Prepare(uint16_t Channels = 1, uint32_t Rate = 44100) {
        App.Engine().Channels = Channels;
        App.Engine().FramesDone = 0;
        App.PrepareLimits(Format16(Channels, Rate));
    }
    // A segment length of exactly Frames frames.
    void PrepareSegment(uint16_t Channels, uint32_t Frames) {
        App.SetAmpRate(1.0);
        Prepare(Channels, Frames);
    }
    // Measures blocks of at most 128 frames, resuming behind each segment end as the file loop
    // does; returns the last frame of every segment and the gain decided there.
    std::vector<std::pair<int64_t, int64_t>> Measure(const std::vector<int16_t>& Samples) {
        const auto Ch = static_cast<size_t>(App.Engine().Channels);
        const int64_t Frames = static_cast<int64_t>(Samples.size() / Ch);
        std::vector<std::pair<int64_t, int64_t>> Ends;
        int64_t Pos = 0, Done = 0;
        while (Pos < Frames) {
            const int64_t N = std::min<int64_t>(sonolift::BlockFrames, Frames - Pos);
            FillBlock(Samples, static_cast<size_t>(Pos) * Ch, static_cast<size_t>(N) * Ch);
            if (App.MeasureBlock(N)) {
                Done += App.Engine().Pending;
                App.Engine().Pending = 0;
                Ends.emplace_back(Done - 1, App.AmpLevel());
                Pos = Done;
            } else {
                Pos += N;
            }
        }
        return Ends;
    }
    int64_t Adjust(int64_t Peak) {
        App.Engine().Peak = Peak;
        App.AdjustGain();
        return App.AmpLevel();
    }
    // Brings the gain from 100 to Level through one segment end: a step up after a segment
    // below the target, a step down after one above the band.
    void GainTo(int64_t Level) {
        const int64_t Up = App.AmpStepUp(), Down = App.AmpStepDn();
        App.SetAmpStepUp(Level - 100);
        App.SetAmpStepDn(100 - Level);
        Adjust(Level > 100 ? 327 : 31129);
        App.SetAmpStepUp(Up);
        App.SetAmpStepDn(Down);
        ASSERT_EQ(App.AmpLevel(), Level);
    }
    std::vector<int16_t> Apply(const std::vector<int16_t>& Samples, std::string& Lines) {
        FillBlock(Samples, 0, Samples.size());
        App.OverloadText().clear();
        App.ApplyGain(static_cast<int64_t>(Samples.size()) / App.Engine().Channels);
        Lines = App.OverloadText();
        return BlockSamples(Samples.size());
    }
};

TEST(AmpArithmetic, RoundsTheExtendedQuotientTimesGainHalfToEven) {
    const struct {
        int64_t S, L, Expected;
    } Cases[] = {
        {1, 150, 2},     {3, 150, 4},       {1, 250, 2},         {1, 50, 0},          {7, 50, 4},
        {-1, 150, -2},   {-7, 50, -4},      {210, 15, 31},       {1670, 15, 251},     {-210, 15, -31},
        {32767, 99, 32439}, {-32768, 99, -32440}, {20000, 163, 32600}, {32767, -900, -294903}, {0, 10000, 0},
    };
    for (const auto& C : Cases) {
        EXPECT_EQ(sonolift::AmplifyExact(C.S, C.L), C.Expected) << C.S << " at " << C.L;
        EXPECT_EQ(sonolift::Amplify(C.S, C.L), C.Expected) << C.S << " at " << C.L;
    }
}

TEST(AmpArithmetic, FastPathAgreesWithTheExtendedPathForEverySample) {
    for (int64_t L : {1, 15, 50, 99, 105, 150, 163, 250, 333, 10000, 100000, -50, -900})
        for (int64_t S = -32768; S <= 32767; ++S)
            if (sonolift::Amplify(S, L) != sonolift::AmplifyExact(S, L)) {
                ADD_FAILURE() << S << " at " << L << ": " << sonolift::Amplify(S, L) << " vs "
                              << sonolift::AmplifyExact(S, L);
                return;
            }
}

TEST(AmpPrepareLimits, SixteenBitDefaultsAndSegmentLengths) {
    const std::pair<uint32_t, int64_t> Rates[] = {{44100, 441}, {48000, 480}, {22050, 220}, {8000, 80}};
    for (const auto& [Rate, Segment] : Rates) {
        Engine E;
        E.App.Engine().Peak = 5;
        E.App.Engine().PrevSample = -3;
        E.App.Engine().Pending = 9;
        E.Prepare(2, Rate);
        const auto& S = E.App.Engine();
        EXPECT_EQ(E.App.AmpSegment(), Segment) << Rate;
        EXPECT_EQ(S.ClipLimit, 32439);
        EXPECT_EQ(E.App.PeakLimit(), 31128);
        EXPECT_EQ(S.HighLimit, 29490);
        EXPECT_EQ(S.LowLimit, 327);
        EXPECT_EQ(E.App.AmpLevel(), 100);
        EXPECT_EQ(S.Peak, 0);
        EXPECT_EQ(S.PrevSample, 0);
        EXPECT_EQ(S.Pending, 0);
    }
}

TEST(AmpPrepareLimits, RaisesHighAndPeakLeftBelowByTheSwitchOrder) {
    const struct {
        std::vector<std::pair<const char*, const char*>> Words;
        double High, Peak, Low;
        int64_t HighLimit, PeakLimit;
    } Cases[] = {
        {{{"p", "92"}, {"h", "96"}}, 96, 96, 1, 31456, 31456},
        {{{"p", "92"}, {"h", "96"}, {"l", "96"}}, 96, 96, 96, 31456, 31456},
        {{{"p", "97"}}, 90, 97, 1, 29490, 31783},
        {{}, 90, 95, 1, 29490, 31128},
    };
    for (const auto& C : Cases) {
        Engine E;
        vx::TvxApplicationSwitchData Row;
        for (const auto& [Name, Value] : C.Words) {
            ASSERT_TRUE(E.App.FindSwitch(false, Name, Row));
            Row.ValueHandler(E.App, Name, false, Value);
        }
        E.Prepare();
        EXPECT_EQ(E.App.AmpHigh(), C.High);
        EXPECT_EQ(E.App.AmpPeak(), C.Peak);
        EXPECT_EQ(E.App.AmpLow(), C.Low);
        EXPECT_EQ(E.App.Engine().HighLimit, C.HighLimit);
        EXPECT_EQ(E.App.PeakLimit(), C.PeakLimit);
    }
    // The published writers are unchecked, so AmpLow may pass AmpHigh: both are raised.
    Engine E;
    E.App.SetAmpLow(97);
    E.App.SetAmpHigh(96);
    E.App.SetAmpPeak(92);
    E.Prepare();
    EXPECT_EQ(E.App.AmpHigh(), 97);
    EXPECT_EQ(E.App.AmpPeak(), 97);
    EXPECT_EQ(E.App.Engine().HighLimit, 31783);
}

TEST(AmpSwitches, AcceptedValuesReachTheSettings) {
    Engine E;
    vx::TvxApplicationSwitchData Row;
    auto Give = [&](const char* Name, const char* Value) {
        ASSERT_TRUE(E.App.FindSwitch(true, Name, Row));
        Row.ValueHandler(E.App, Name, true, Value);
    };
    Give("rate", "2m");
    EXPECT_EQ(E.App.AmpRate(), 120);
    Give("rate", "0.5h");
    EXPECT_EQ(E.App.AmpRate(), 1800);
    Give("rate", "0");
    EXPECT_EQ(E.App.AmpRate(), 0);
    Give("up", "$10");
    EXPECT_EQ(E.App.AmpStepUp(), 16);
    Give("down", "1");
    EXPECT_EQ(E.App.AmpStepDn(), 1);
    Give("high", "96");
    Give("low", "95");
    EXPECT_EQ(E.App.AmpHigh(), 96);
    EXPECT_EQ(E.App.AmpLow(), 95);
    Give("max", "100000");
    Give("min", "99999");
    EXPECT_EQ(E.App.VolMax(), 100000);
    EXPECT_EQ(E.App.VolMin(), 99999);
}

TEST(AmpMeasureBlock, SegmentsEndAtTheFirstCrossingOnceLongEnough) {
    std::vector<int16_t> Alternating;
    std::vector<int64_t> EveryThird;
    for (int I = 0; I < 300; ++I) Alternating.push_back(I % 2 ? -1 : 1);
    for (int64_t F = 2; F < 300; F += 3) EveryThird.push_back(F);
    std::vector<int16_t> LateCrossing(98, 1), BlockEdge(128, 1);
    LateCrossing.insert(LateCrossing.end(), {-1, -1, 1, 1});
    BlockEdge.insert(BlockEdge.end(), {-1, -1});
    const struct {
        const char* Name;
        uint16_t Channels;
        uint32_t Segment;
        std::vector<int16_t> Samples;
        std::vector<int64_t> Ends;
    } Cases[] = {
        {"zero counts as positive, a 0 after a 0", 1, 0, {5, 3, -2, 0, 0, 4, -1}, {2, 3, 4, 6}},
        {"first sample 0", 1, 0, {0, 1}, {0}},
        {"first sample negative", 1, 0, {-3, -3}, {0}},
        {"first sample positive", 1, 0, {3, 3}, {}},
        {"stereo: left against the right before it", 2, 0, {5, -5, -5, -5}, {0}},
        {"stereo: right against the left of its frame", 2, 0, {5, 5, 5, -5, -5, -5}, {1}},
        {"stereo: no crossing across channels", 2, 2, {5, -5, -5, -5, -5, -5}, {}},
        {"crossings before the minimum length do not count", 1, 4, {1, -1, 1, -1, -1, -1, 1}, {3}},
        {"the sample before the minimum length is carried", 1, 100, LateCrossing, {100}},
        {"a crossing at the first frame of a block", 1, 100, BlockEdge, {128}},
        {"measuring resumes behind each end", 1, 3, Alternating, EveryThird},
    };
    for (const auto& C : Cases) {
        Engine E;
        E.PrepareSegment(C.Channels, C.Segment);
        std::vector<int64_t> Ends;
        for (const auto& End : E.Measure(C.Samples)) Ends.push_back(End.first);
        EXPECT_EQ(Ends, C.Ends) << C.Name;
    }
}

TEST(AmpMeasureBlock, PeakIsJointAcrossChannelsAndCountsMinus32768As32768) {
    Engine E;
    E.Prepare(1, 44100);
    E.Measure({100, -32768, 5});
    EXPECT_EQ(E.App.Engine().Peak, 32768);
    EXPECT_EQ(E.App.Engine().PrevSample, 5);
    EXPECT_EQ(E.App.Engine().Pending, 3);

    Engine S;
    S.PrepareSegment(2, 4);
    const auto Ends = S.Measure({1, 1, 1, 1, 1, 1, 1, -32767});
    ASSERT_EQ(Ends.size(), 1u);
    EXPECT_EQ(Ends[0], std::make_pair(int64_t{3}, int64_t{98})); // the loud right sample ends it
    EXPECT_EQ(S.App.Engine().Peak, 0);
}

TEST(AmpMeasureBlock, DigitalSilenceMutesAndTheFirstLoudSegmentRestores) {
    Engine E;
    E.Prepare(1, 44100);
    const auto Ends = E.Measure(std::vector<int16_t>(44100, 0));
    ASSERT_EQ(Ends.size(), 100u);
    for (size_t K = 0; K < Ends.size(); ++K) {
        EXPECT_EQ(Ends[K].first, static_cast<int64_t>(441 * K + 440));
        EXPECT_EQ(Ends[K].second, static_cast<int64_t>(99 - K));
    }
    EXPECT_EQ(E.App.AmpSaved(), 100);
    EXPECT_EQ(E.Adjust(10000), 105); // amp 0 at gain 0: restored 100, then a step up
    EXPECT_EQ(E.App.AmpSaved(), 0);
}

TEST(AmpAdjustGain, StepsGuardAndClamp) {
    const struct {
        const char* Name;
        int64_t Up, Down, VolMin, VolMax;
        double Low;
        int64_t Peak, Level, Saved;
    } Cases[] = {
        {"amp equal to the target holds", 5, 1, 0, 10000, 1, 29490, 100, 0},
        {"amp inside the band holds", 5, 1, 0, 10000, 1, 29491, 100, 0},
        {"amp at the band's top holds", 5, 1, 0, 10000, 1, 31128, 100, 0},
        {"amp above the band steps down", 5, 1, 0, 10000, 1, 31129, 99, 0},
        {"amp below the target steps up", 5, 1, 0, 10000, 1, 29489, 105, 0},
        {"peak equal to the quiet level is not quiet", 5, 1, 0, 10000, 1, 327, 105, 0},
        {"peak below the quiet level is quiet", 5, 1, 0, 10000, 1, 326, 99, 100},
        {"silence is quiet", 5, 1, 0, 10000, 1, 0, 99, 100},
        {"with AmpLow 0 nothing is quiet", 5, 1, 0, 10000, 0, 0, 105, 0},
        {"full scale: one step, the guard one more", 5, 1, 0, 10000, 1, 32767, 98, 0},
        {"-32768", 5, 1, 0, 10000, 1, 32768, 98, 0},
        {"the guard steps by AmpStepDn", 5, 3, 0, 10000, 1, 32767, 97, 0},
        {"VolMin wins over the guard", 5, 1, 150, 10000, 1, 32767, 150, 0},
        {"VolMax caps a step up", 5, 1, 0, 102, 1, 1000, 102, 0},
        {"the guard may end at a negative gain", 200, 350, -1000, 10000, 1, 20000, -50, 0},
        {"a negative gain still over the limit ends at 0", 200, 500, -1000, 10000, 1, 20000, 0, 0},
        {"a step past all gains ends at 0", 5, 300, -1000, 10000, 1, 32767, 0, 0},
        {"the largest step ends at 0", 5, 2147483647, 0, 10000, 1, 32768, 0, 0},
        {"the largest step up is guarded down to 162", 2147483647, 1, 0, 10000, 1, 20000, 162, 0},
        {"...in steps of 7 from 2147483747", 2147483647, 7, 0, 10000, 1, 20000, 157, 0},
    };
    for (const auto& C : Cases) {
        Engine E;
        E.App.SetAmpStepUp(C.Up);
        E.App.SetAmpStepDn(C.Down);
        E.App.SetVolMin(C.VolMin);
        E.App.SetVolMax(C.VolMax);
        E.App.SetAmpLow(C.Low);
        E.Prepare();
        EXPECT_EQ(E.Adjust(C.Peak), C.Level) << C.Name;
        EXPECT_EQ(E.App.AmpSaved(), C.Saved) << C.Name;
        EXPECT_EQ(E.App.Engine().Peak, 0) << C.Name;
    }
}

TEST(AmpAdjustGain, QuietStretchesSaveTheGainAndLoudOnesRestoreIt) {
    struct Step {
        int64_t Peak, Level, Saved;
    };
    const struct {
        const char* Name;
        int64_t VolMin;
        std::vector<Step> Steps;
    } Cases[] = {
        {"saved once, restored before the step", 0, {{10000, 105, 0}, {100, 104, 105}, {0, 103, 105}, {10000, 110, 0}}},
        // amp is taken at 98 (inside the band: hold), not again at the restored 100 (above it)
        {"the step follows the gain before restoring", 0, {{300, 99, 100}, {300, 98, 100}, {31500, 100, 0}}},
        {"muting stops at VolMin", 97, {{300, 99, 100}, {300, 98, 100}, {300, 97, 100}, {300, 97, 100}, {10000, 105, 0}}},
    };
    for (const auto& C : Cases) {
        Engine E;
        E.App.SetVolMin(C.VolMin);
        E.Prepare();
        for (const Step& S : C.Steps) {
            EXPECT_EQ(E.Adjust(S.Peak), S.Level) << C.Name << ", peak " << S.Peak;
            EXPECT_EQ(E.App.AmpSaved(), S.Saved) << C.Name << ", peak " << S.Peak;
        }
    }
}

TEST(AmpAdjustGain, SavedGainIsRestoredInTheNextFile) {
    Engine E;
    E.Prepare();
    E.Adjust(10000);
    EXPECT_EQ(E.Adjust(100), 104);
    E.Prepare(2, 48000);
    EXPECT_EQ(E.App.AmpLevel(), 100);
    EXPECT_EQ(E.App.AmpSaved(), 105);
    EXPECT_EQ(E.Adjust(10000), 110);
}

// Whole chunks amplified at one gain equal Amplify sample by sample (no sample overloads).
TEST(AmpApplyGain, ChunksMatchSingleValuesAtEveryGain) {
    for (int64_t L : {1, 15, 50, 98, 100, 150, 163, 250, 9919, -50, -150}) {
        Engine E;
        E.Prepare(2, 44100);
        if (L > 0 && L != 100) E.GainTo(L);
        if (L < 0) { // a retry that ends at a negative gain
            E.GainTo(200);
            E.App.SetAmpStepDn(200 - L);
            std::string Lines;
            E.Apply({20000, 0}, Lines);
            E.App.SetAmpStepDn(1);
        }
        ASSERT_EQ(E.App.AmpLevel(), L);
        std::vector<int16_t> In;
        for (uint32_t I = 0; I < 65536; ++I) {
            const auto S = static_cast<int16_t>(static_cast<uint16_t>(I * 40503u)); // all values, mixed
            if (std::llabs(sonolift::Amplify(S, L)) < 32439) In.push_back(S);
        }
        In.resize(In.size() & ~size_t{1});
        for (size_t Pos = 0; Pos < In.size(); Pos += 256) {
            const std::vector<int16_t> Chunk(In.begin() + static_cast<ptrdiff_t>(Pos),
                                             In.begin() + static_cast<ptrdiff_t>(std::min(Pos + 256, In.size())));
            std::string Lines;
            const auto Out = E.Apply(Chunk, Lines);
            for (size_t K = 0; K < Chunk.size(); ++K)
                ASSERT_EQ(Out[K], sonolift::Amplify(Chunk[K], L)) << Chunk[K] << " at " << L;
            ASSERT_EQ(Lines, "");
        }
        EXPECT_EQ(E.App.AmpLevel(), L);
    }
}

std::string OverloadLines(int64_t Pos, int64_t S, const std::vector<int64_t>& Values) {
    std::string T;
    for (int64_t V : Values)
        T += "Overload " + std::to_string(Pos) + " " + std::to_string(S) + " " + std::to_string(V) + "\n";
    return T;
}

TEST(AmpApplyGain, OverloadsAreReportedAndLowerTheGain) {
    std::vector<int64_t> Example;
    for (int64_t G = 200; G >= 163; --G) Example.push_back(200 * G);
    ASSERT_EQ(Example.size(), 38u);
    // Whole chunks of 128 stereo frames: exact halves throughout, an overload late in the chunk.
    std::vector<int16_t> HalvesIn, HalvesOut, LateIn, LateOut;
    std::vector<int64_t> Late;
    for (int I = 0; I < 256; ++I) {
        HalvesIn.push_back(static_cast<int16_t>(I % 4 < 2 ? 210 : -1670));
        HalvesOut.push_back(static_cast<int16_t>(I % 4 < 2 ? 31 : -251));
        LateIn.push_back(static_cast<int16_t>(I == 200 ? 30000 : I % 2 ? 3 : 1));
        LateOut.push_back(static_cast<int16_t>(I == 200 ? 32400 : I < 200 ? (I % 2 ? 4 : 2) : (I % 2 ? 3 : 1)));
    }
    for (int64_t G = 150; G >= 109; --G) Late.push_back(300 * G);
    const struct {
        const char* Name;
        uint16_t Channels;
        int64_t FramesDone, Level, Down;
        std::vector<int16_t> In, Out;
        std::string Lines;
        int64_t After;
    } Cases[] = {
        {"38 lines, stored under the limit", 1, 1000, 200, 1, {0, 0, 0, 20000, 1000}, {0, 0, 0, 32400, 1620},
         OverloadLines(1003, 20000, Example), 162},
        {"stereo positions count interleaved samples", 2, 1000, 100, 1, {0, 0, 32767, 0}, {0, 0, 32439, 0},
         OverloadLines(1002, 32767, {32767, 32439}), 98},
        {"-32768 has magnitude 32768", 1, 0, 100, 1, {-32768, 10000}, {-32113, 9800},
         OverloadLines(0, -32768, {-32768, -32440}), 98},
        {"equal to the limit: reported, stored as computed", 1, 7, 100, 1, {32439, 32439}, {32439, 32115},
         OverloadLines(7, 32439, {32439}), 99},
        {"the retry may end at a negative gain", 1, 0, 200, 250, {20000, 1000}, {-10000, -500},
         OverloadLines(0, 20000, {40000}), -50},
        {"a negative gain still over the limit stores 0", 1, 0, 100, 1000, {32767, 1000}, {0, 0},
         OverloadLines(0, 32767, {32767, -294903}), 0},
        {"no overload, nothing lowered", 2, 5, 150, 1, {1, 3, -1, -3}, {2, 4, -2, -4}, "", 150},
        {"gain 15 over a whole chunk", 2, 0, 15, 1, HalvesIn, HalvesOut, "", 15},
        {"an overload late in a whole chunk", 2, 128, 150, 1, LateIn, LateOut, OverloadLines(328, 30000, Late), 108},
    };
    for (const auto& C : Cases) {
        Engine E;
        E.Prepare(C.Channels, 44100);
        if (C.Level != 100) E.GainTo(C.Level);
        E.App.SetAmpStepDn(C.Down);
        E.App.Engine().FramesDone = C.FramesDone;
        std::string Lines;
        EXPECT_EQ(E.Apply(C.In, Lines), C.Out) << C.Name;
        EXPECT_EQ(Lines, C.Lines) << C.Name;
        EXPECT_EQ(E.App.AmpLevel(), C.After) << C.Name;
    }
}

} // namespace
