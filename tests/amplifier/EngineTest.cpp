// The gain engine in-process: arithmetic, limits, segment ends, gain steps, the clip guard and
// overloads, driven through TSonoliftApp with SampleBlock filled here.
#include "SonoliftApp.h"
#include "GainArithmetic.h"
#include "GainKernels.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using testsupport::OverloadLines;

namespace {

using Ends = std::vector<std::pair<int64_t, int64_t>>;

void FillBlock(const int16_t* Samples, size_t Count) {
    sonolift::SampleBlock.assign(std::max<size_t>(Count, 1) * 2, 0);
    for (size_t I = 0; I < Count; ++I) {
        sonolift::SampleBlock[2 * I] = static_cast<uint8_t>(Samples[I]);
        sonolift::SampleBlock[2 * I + 1] = static_cast<uint8_t>(static_cast<uint16_t>(Samples[I]) >> 8);
    }
}

// One application object with the limits of one file prepared, and drivers that call the engine
// the way ProcessFile does.
struct Engine {
    sonolift::TSonoliftApp App;

    void Prepare(uint16_t Channels = 1, uint32_t Rate = 44100) {
        const auto Align = static_cast<uint16_t>(2 * Channels);
        App.Engine().Channels = Channels;
        App.Engine().FramesDone = 0;
        App.PrepareLimits(wave::TWaveFormat{1, Channels, Rate, Rate * Align, Align, 16});
    }
    // Measures blocks of at most 128 frames, resuming behind each segment end as the file loop
    // does; returns the last frame of every segment and the gain decided there.
    Ends Measure(const std::vector<int16_t>& Samples) {
        const auto Ch = static_cast<int64_t>(App.Engine().Channels);
        Ends Found;
        for (int64_t Pos = 0, Done = 0, Frames = static_cast<int64_t>(Samples.size()) / Ch; Pos < Frames;) {
            const int64_t N = std::min<int64_t>(sonolift::BlockFrames, Frames - Pos);
            FillBlock(Samples.data() + Pos * Ch, static_cast<size_t>(N * Ch));
            if (App.MeasureBlock(N)) {
                Pos = Done += std::exchange(App.Engine().Pending, 0);
                Found.emplace_back(Done - 1, App.AmpLevel());
            } else {
                Pos += N;
            }
        }
        return Found;
    }
    int64_t Adjust(int64_t Peak) {
        App.Engine().Peak = Peak;
        App.AdjustGain();
        return App.AmpLevel();
    }
    // Brings the gain from 100 to Level through one segment end (a step up after a quiet
    // segment, down after a loud one), then sets the down step for the overloads that follow;
    // the up step is left as it was set here.
    void GainTo(int64_t Level, int64_t Down) {
        App.SetAmpStepUp(Level - 100);
        App.SetAmpStepDn(100 - Level);
        if (Level != 100) Adjust(Level > 100 ? 327 : 31129);
        App.SetAmpStepDn(Down);
        ASSERT_EQ(App.AmpLevel(), Level);
    }
    std::vector<int16_t> Apply(const std::vector<int16_t>& Samples, std::string& Lines) {
        FillBlock(Samples.data(), Samples.size());
        App.ApplyGain(static_cast<int64_t>(Samples.size()) / App.Engine().Channels);
        Lines = App.OverloadText();
        std::vector<int16_t> Out(Samples.size());
        for (size_t I = 0; I < Out.size(); ++I)
            Out[I] = static_cast<int16_t>(sonolift::SampleBlock[2 * I] | (sonolift::SampleBlock[2 * I + 1] << 8));
        return Out;
    }
};

TEST(AmpArithmetic, RoundsTheExtendedQuotientTimesGainHalfToEven) {
    const int64_t Cases[][3] = {
        {1, 150, 2},         {3, 150, 4},          {1, 250, 2},           {1, 50, 0},
        {7, 50, 4},          {-7, 50, -4},         {210, 15, 31},         {1670, 15, 251},
        {32767, 99, 32439},  {-32768, 99, -32440}, {20000, 163, 32600},   {32767, -900, -294903},
    };
    for (const auto& [S, L, Expected] : Cases) {
        EXPECT_EQ(sonolift::AmplifyExact(S, L), Expected) << S << " at " << L;
        EXPECT_EQ(sonolift::Amplify(S, L), Expected) << S << " at " << L;
    }
}

TEST(AmpPrepareLimits, LimitsSegmentLengthsAndClearedCounters) {
    const std::pair<uint32_t, int64_t> Rates[] = {{44100, 441}, {48000, 480}, {22050, 220}, {8000, 80}};
    for (const auto& [Rate, Segment] : Rates) {
        Engine E;
        E.App.Engine().Peak = E.App.Engine().PrevSample = E.App.Engine().Pending = 5; // left by a file before
        E.Prepare(2, Rate);
        const auto& S = E.App.Engine();
        EXPECT_EQ(std::make_tuple(E.App.AmpSegment(), E.App.PeakLimit(), E.App.AmpLevel()),
                  std::make_tuple(Segment, 31128, 100));
        EXPECT_EQ(std::tie(S.ClipLimit, S.HighLimit, S.LowLimit, S.Peak, S.PrevSample, S.Pending),
                  std::make_tuple(32439, 29490, 327, 0, 0, 0));
    }
}

// The switches reach their settings, long names and short; PrepareLimits then raises AmpPeak
// that the order of the switches left below AmpHigh, and AmpHigh that the unchecked writers
// left below AmpLow.
TEST(AmpPrepareLimits, SwitchValuesAndRaisedHighAndPeak) {
    Engine E;
    vx::TvxApplicationSwitchData Row;
    const std::pair<const char*, const char*> Words[] = {{"peak", "92"}, {"high", "96"}, {"low", "96"}, {"r", "2m"},
                                                         {"u", "$10"}, {"d", "3"}, {"m", "100000"}, {"n", "99999"}};
    for (const auto& [Name, Value] : Words) {
        const bool IsLong = Name[1] != '\0';
        ASSERT_TRUE(E.App.FindSwitch(IsLong, Name, Row)) << Name;
        Row.ValueHandler(E.App, Name, IsLong, Value);
    }
    E.Prepare();
    EXPECT_EQ(std::make_tuple(E.App.AmpHigh(), E.App.AmpPeak(), E.App.AmpLow(), E.App.Engine().HighLimit,
                              E.App.PeakLimit()),
              std::make_tuple(96.0, 96.0, 96.0, 31456, 31456));
    EXPECT_EQ(std::make_tuple(E.App.AmpRate(), E.App.AmpStepUp(), E.App.AmpStepDn(), E.App.VolMax(), E.App.VolMin()),
              std::make_tuple(120.0, 16, 3, 100000, 99999));
    E.App.SetAmpLow(97);
    E.App.SetAmpPeak(92);
    E.Prepare();
    EXPECT_EQ(std::make_tuple(E.App.AmpHigh(), E.App.AmpPeak(), E.App.Engine().HighLimit),
              std::make_tuple(97.0, 97.0, 31783));
}

TEST(AmpMeasureBlock, SegmentsEndAtTheFirstCrossingOnceLongEnough) {
    std::vector<int16_t> Alternating, LateCrossing(98, 1), BlockEdge(128, 1);
    std::vector<int64_t> EveryThird;
    for (int I = 0; I < 300; ++I) Alternating.push_back(I % 2 ? -1 : 1);
    for (int64_t F = 2; F < 300; F += 3) EveryThird.push_back(F);
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
        E.App.SetAmpRate(1.0); // segments of at least as many frames as the rate
        E.Prepare(C.Channels, C.Segment);
        std::vector<int64_t> Found;
        for (const auto& End : E.Measure(C.Samples)) Found.push_back(End.first);
        EXPECT_EQ(Found, C.Ends) << C.Name;
    }
}

TEST(AmpMeasureBlock, PeakIsJointAcrossChannelsAndCountsMinus32768As32768) {
    Engine E;
    E.Prepare();
    std::vector<int16_t> Tile(130, 100); // a whole tile of the fast pass and a short one
    Tile[70] = -32768;
    Tile.back() = 5;
    E.Measure(Tile);
    EXPECT_EQ(std::make_tuple(E.App.Engine().Peak, E.App.Engine().PrevSample, E.App.Engine().Pending),
              std::make_tuple(32768, 5, 130));
    E.App.SetAmpRate(1.0);
    E.Prepare(2, 4);
    EXPECT_EQ(E.Measure({1, 1, 1, 1, 1, 1, 1, -32767}), (Ends{{3, 98}})); // the loud right sample ends it
}

// Each case starts at gain 100 with limits 29490 (target), 31128 (band top), 327 (quiet);
// every step is the peak of one segment, the gain and AmpSaved after it.
TEST(AmpAdjustGain, StepsQuietPassagesGuardAndClamp) {
    struct Step {
        int64_t Peak, Level, Saved;
    };
    const struct {
        const char* Name;
        int64_t Up, Down, VolMin, VolMax;
        double Low;
        std::vector<Step> Steps;
    } Cases[] = {
        {"hold at the target and band top, down above, up below and at the quiet level", 5, 1, 0, 10000, 1,
         {{29490, 100, 0}, {31128, 100, 0}, {31129, 99, 0}, {29489, 104, 0}, {327, 109, 0}}},
        {"with AmpLow 0 nothing is quiet", 5, 1, 0, 10000, 0, {{0, 105, 0}}},
        {"saved once, restored before the step", 5, 1, 0, 10000, 1,
         {{10000, 105, 0}, {326, 104, 105}, {0, 103, 105}, {10000, 110, 0}}},
        // amp is taken at 98 (inside the band: hold), not again at the restored 100 (above it)
        {"the step follows the gain before restoring", 5, 1, 0, 10000, 1, {{300, 99, 100}, {300, 98, 100}, {31500, 100, 0}}},
        {"muting stops at VolMin", 5, 1, 97, 10000, 1,
         {{300, 99, 100}, {300, 98, 100}, {300, 97, 100}, {300, 97, 100}, {10000, 105, 0}}},
        {"full scale: one step, the guard one more", 5, 1, 0, 10000, 1, {{32767, 98, 0}}},
        {"-32768", 5, 1, 0, 10000, 1, {{32768, 98, 0}}},
        {"the guard steps by AmpStepDn", 5, 3, 0, 10000, 1, {{32767, 97, 0}}},
        {"VolMin wins over the guard", 5, 1, 150, 10000, 1, {{32767, 150, 0}}},
        {"VolMax caps a step up", 5, 1, 0, 102, 1, {{1000, 102, 0}}},
        {"the guard may end at a negative gain", 200, 350, -1000, 10000, 1, {{20000, -50, 0}}},
        {"a negative gain still over the limit ends at 0", 200, 500, -1000, 10000, 1, {{20000, 0, 0}}},
        {"the largest step ends at 0", 5, 2147483647, 0, 10000, 1, {{32768, 0, 0}}},
        {"the largest step up is guarded down to 162", 2147483647, 1, 0, 10000, 1, {{20000, 162, 0}}},
        {"...in steps of 7 from 2147483747", 2147483647, 7, 0, 10000, 1, {{20000, 157, 0}}},
    };
    for (const auto& C : Cases) {
        Engine E;
        E.App.SetAmpStepUp(C.Up);
        E.App.SetAmpStepDn(C.Down);
        E.App.SetVolMin(C.VolMin);
        E.App.SetVolMax(C.VolMax);
        E.App.SetAmpLow(C.Low);
        E.Prepare();
        for (const Step& S : C.Steps) {
            EXPECT_EQ(E.Adjust(S.Peak), S.Level) << C.Name << ", peak " << S.Peak;
            EXPECT_EQ(E.App.AmpSaved(), S.Saved) << C.Name << ", peak " << S.Peak;
        }
    }
}

TEST(AmpApplyGain, OverloadsAreReportedAndLowerTheGain) {
    std::vector<int64_t> Example, Late;
    for (int64_t G = 200; G >= 163; --G) Example.push_back(200 * G);
    ASSERT_EQ(Example.size(), 38u);
    for (int64_t G = 150; G >= 109; --G) Late.push_back(300 * G);
    // Whole chunks of 128 stereo frames: exact halves throughout, an overload late in the chunk.
    std::vector<int16_t> HalvesIn, HalvesOut, LateIn, LateOut;
    for (int I = 0; I < 256; ++I) {
        HalvesIn.push_back(static_cast<int16_t>(I % 4 < 2 ? 210 : -1670));
        HalvesOut.push_back(static_cast<int16_t>(I % 4 < 2 ? 31 : -251));
        LateIn.push_back(static_cast<int16_t>(I == 200 ? 30000 : I % 2 ? 3 : 1));
        LateOut.push_back(static_cast<int16_t>(I == 200 ? 32400 : I < 200 ? (I % 2 ? 4 : 2) : (I % 2 ? 3 : 1)));
    }
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
        E.Prepare(C.Channels);
        E.GainTo(C.Level, C.Down);
        E.App.Engine().FramesDone = C.FramesDone;
        std::string Lines;
        EXPECT_EQ(E.Apply(C.In, Lines), C.Out) << C.Name;
        EXPECT_EQ(Lines, C.Lines) << C.Name;
        EXPECT_EQ(E.App.AmpLevel(), C.After) << C.Name;
    }
}

} // namespace
