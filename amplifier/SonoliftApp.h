// The dynamic amplifier: its settings and eight value switches, the gain engine that cuts the
// sample stream into segments at zero crossings and steps the gain after each, and the
// processing of one file. The only place that knows about gain.
#pragma once

#include "FrameBuffers.h"
#include "GainKernels.h"
#include "HeldLines.h"
#include "OverloadLine.h"
#include "SampleCodec.h"
#include "TonebenchApp.h"
#include "WaveFiles.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sonolift {

// The sample codec lives with the tool base, where every wave tool reaches it.
using vx::TSampleEncoding;

using vx::OverloadLine;

// An overload line counts its place from the first frame of its block, blocks of BlockFrames
// frames from the start of its segment (the sample's index in the block's interleaved samples
// added to the frames before the block).
inline constexpr int64_t BlockFrames = 128;

// What a run of the program may be told besides its command line; the program keeps the
// defaults, the test builds take other I/O windows, the byte-by-byte sample rule and another
// table of the passes.
struct TRunSettings {
    size_t IOWindow = wave::WaveIOWindow;
    bool BytewiseSamples = false;
    const TGainKernels* Kernels = nullptr; // nullptr: the widest the processor runs
};

// The program: sonolift's texts and application on the wave tools' entry.
[[noreturn]] void RunSonolift(int argc, char** argv, const TRunSettings& Settings = {});

class TSonoliftApp : public vx::TTonebenchApp {
public:
    TSonoliftApp();

    // Amplifies one file into OutName + "-lift.wav"; 0 on success; raises on any failure (an
    // output begun keeps what was written up to it, as it always did).
    int ProcessFile(const std::string& Path) override;

    virtual void HandleRate(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleUp(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleDown(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandlePeak(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleHigh(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleLow(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleMax(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleMin(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);

    // Published settings: stored as given, unchecked (the switch handlers check).
    double AmpRate() const { return FAmpRate; }
    void SetAmpRate(double V) { FAmpRate = V; }
    int64_t AmpStepUp() const { return FAmpStepUp; }
    void SetAmpStepUp(int64_t V) { FAmpStepUp = V; }
    int64_t AmpStepDn() const { return FAmpStepDn; }
    void SetAmpStepDn(int64_t V) { FAmpStepDn = V; }
    double AmpHigh() const { return FAmpHigh; }
    void SetAmpHigh(double V) { FAmpHigh = V; }
    double AmpLow() const { return FAmpLow; }
    void SetAmpLow(double V) { FAmpLow = V; }
    int64_t AmpLevel() const { return FAmpLevel; }
    int64_t VolMax() const { return FVolMax; }
    void SetVolMax(int64_t V) { FVolMax = V; }
    int64_t VolMin() const { return FVolMin; }
    void SetVolMin(int64_t V) { FVolMin = V; }
    // Unpublished state, readable for inspection.
    double AmpPeak() const { return FAmpPeak; }
    void SetAmpPeak(double V) { FAmpPeak = V; }
    int64_t AmpSaved() const { return FAmpSaved; }
    int64_t AmpSegment() const { return FAmpSegment; }
    int64_t PeakLimit() const { return FEngine.Int.PeakLimit; }
    // Takes every sample byte by byte, as on big-endian machines (see vx::SamplesInPlace).
    bool BytewiseSamples() const { return FBytewise; }
    void SetBytewiseSamples(bool V) { FBytewise = V; }
    // The table of passes the engine calls (by default the widest the processor runs).
    void SetKernels(const TGainKernels& K) { FKernels = &K; }

    // The bounds of a file and the peak and last sample measured, in its samples' own values:
    // integers for PCM files, doubles (full scale 1) for float files.
    template <class V>
    struct TLevels {
        V ClipLimit{}, HighLimit{}, LowLimit{}, PeakLimit{};
        V Peak{}, PrevSample{};
    };
    // Per-file engine state, owned by ProcessFile while a file is processed.
    struct TEngineState {
        int64_t Channels = 0;
        TSampleEncoding Encoding = TSampleEncoding::sePcm16; // seNone: nothing is measured or amplified
        // Decided per file (PrepareLimits): 16- and 32-bit samples are their own values; 24-bit
        // and float samples are measured and amplified where they lie.
        bool ValuesInPlace = vx::SamplesInPlace(false), PackedInPlace = false;
        // Container bits below the valid bits: each output sample is rounded to a multiple of
        // 2^UnusedBits, by a scalar path of its own.
        int UnusedBits = 0;
        TLevels<int64_t> Int;
        TLevels<double> Float;
        int64_t Pending = 0;
        int64_t FramesDone = 0;
        int64_t SpanFrames = INT64_MAX; // the most frames measured or amplified at once
    };
    TEngineState& Engine() { return FEngine; }

    // Corrects AmpHigh/AmpPeak, computes the limits for Encoding's full scale and the segment
    // length for Format, clears the counters, sets the gain to 100 and decides, for the whole
    // file, whether samples are used in place. Raises "invalid sample bit size".
    void PrepareLimits(const wave::TWaveFormat& Format, TSampleEncoding Encoding);
    // Measures Frames frames at Bytes; true when a segment ended (the gain is updated and
    // Pending counts the segment's frames, up to and including the frame where it ended).
    bool MeasureBlock(const uint8_t* Bytes, int64_t Frames);
    // The gain step at a segment end, the clip guard and the clamp to [VolMin, VolMax].
    void AdjustGain();

private:
    // Frames of the input still to measure, from FramesRead on.
    struct TMeasureCursor {
        int64_t FramesRead = 0;
        int64_t FramesLeft = 0;
    };
    // The name line, flushed before its end, with " -- Corrupt" for a damaged header.
    void ReportName(const std::string& Path, bool Corrupt);
    // The set-up of one file: the output's format and layout, the buffers, the limits and
    // counters.
    TMeasureCursor BeginFile(wave::TWaveIO& Input, wave::TWaveIO& Output, TSampleEncoding Encoding);
    // The engine's values of Count samples at Bytes: Bytes itself where they are their bytes,
    // else decoded into FValues (as Decoded does).
    const uint8_t* Values(const uint8_t* Bytes, int64_t Count);
    uint8_t* Decoded(const uint8_t* Bytes, int64_t Count);
    // Calls Fn with a null pointer of the engine's value type and its levels.
    template <class F>
    decltype(auto) ForValues(F&& Fn);
    template <class T, class V>
    bool MeasureValues(const T*, const uint8_t* Values, int64_t Frames, TLevels<V>& Levels);
    template <class V>
    void AdjustLevels(TLevels<V>& Levels);
    // Amplifies Count samples at In into Out (as bytes of the file) at the gain in force, up to
    // the first overload; returns the samples done.
    int64_t AmplifyRun(const uint8_t* In, uint8_t* Out, int64_t Count);
    // Amplifies Count samples at In into Out one by one, each overload lowering the gain and
    // reported with its place, Position for the first, in OverloadText.
    void AmplifyOneByOne(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t Position);
    template <class T, class V>
    void ApplyValues(const T*, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t Position, const TLevels<V>& Levels);
    // Amplifies the pending frames into the output, then moves the cursor behind them.
    void FlushPending(wave::TWaveIO& Input, wave::TWaveIO& Output, TMeasureCursor& Cursor);
    void ReleaseBuffers();

    // The settings keep the design's names; what each one is:
    //   | field       | switch       | meaning                                              |
    //   |-------------|--------------|------------------------------------------------------|
    //   | FAmpRate    | -r, --rate   | shortest segment, seconds                            |
    //   | FAmpStepUp  | -u, --up     | points the gain rises after a segment below target   |
    //   | FAmpStepDn  | -d, --down   | points it falls: above the band, quiet, guard, overload |
    //   | FAmpHigh    | -h, --high   | the target, percent of full scale                    |
    //   | FAmpPeak    | -p, --peak   | the top of the band in which the gain is held        |
    //   | FAmpLow     | -l, --low    | the muting level: a segment below it is quiet        |
    //   | FVolMax     | -m, --max    | largest gain, percent                                |
    //   | FVolMin     | -n, --min    | smallest gain, percent                               |
    //   | FAmpLevel   |              | the gain in force, percent                           |
    //   | FAmpSaved   |              | the gain saved when a quiet stretch began            |
    //   | FAmpSegment |              | the shortest segment in frames of the current file   |
    int64_t FAmpStepDn = 1;
    int64_t FVolMin = 0;
    int64_t FAmpSegment = 0;
    int64_t FAmpStepUp = 5;
    int64_t FAmpLevel = 100;
    int64_t FAmpSaved = 0;
    int64_t FVolMax = 10000;
    double FAmpRate = 0.01;
    double FAmpHigh = 90.0;
    double FAmpLow = 1.0;
    double FAmpPeak = 95.0;
    bool FBytewise = false;
    const TGainKernels* FKernels = &NativeKernels();

    TEngineState FEngine;
    TFrameBuffers FBuffers;
    std::vector<uint8_t> FValues; // decoded samples
    std::string FOverloadText;    // the lines of the block being amplified
    THeldLines FHeld;
};

} // namespace sonolift
