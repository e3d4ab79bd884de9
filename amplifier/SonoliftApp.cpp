#include "SonoliftApp.h"

#include "GainArithmetic.h"
#include "GainKernels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <utility>

namespace sonolift {

std::vector<uint8_t> SampleBlock;

namespace {

using vx::EvxError;
using vx::TvxConsoleApplication;

std::string Fixed2(double V) {
    char Buffer[64];
    auto [End, Err] = std::to_chars(Buffer, Buffer + sizeof Buffer, V, std::chars_format::fixed, 2);
    return Err == std::errc() ? std::string(Buffer, End) : std::string();
}

inline int64_t SampleAt(const uint8_t* Block, int64_t I) {
    return static_cast<int16_t>(static_cast<uint16_t>(Block[2 * I] | (Block[2 * I + 1] << 8)));
}

inline void StoreAt(uint8_t* Block, int64_t I, int64_t V) {
    const uint16_t U = static_cast<uint16_t>(static_cast<int16_t>(V));
    Block[2 * I] = static_cast<uint8_t>(U);
    Block[2 * I + 1] = static_cast<uint8_t>(U >> 8);
}

inline int64_t Magnitude(int64_t V) { return V < 0 ? -V : V; }

inline bool Crosses(int64_t Prev, int64_t S) {
    return (Prev >= 0 && S < 0) || (Prev < 0 && S >= 0) || (Prev == 0 && S == 0);
}

const char* const FailureTail = " is not a wave file.\n";

// True when the output name is a link (symbolic, or a second hard link) to a file of the run:
// creating the output would write through it into that input. A plain old output of an
// earlier run is not a link and is replaced as usual.
bool LinksToAnInput(const std::string& Out, const std::vector<std::string>& Inputs) {
    struct stat Link {}, Target {};
    if (::lstat(Out.c_str(), &Link) != 0 || (!S_ISLNK(Link.st_mode) && Link.st_nlink <= 1)) return false;
    if (::stat(Out.c_str(), &Target) != 0) return false;
    for (const std::string& In : Inputs) {
        struct stat St {};
        if (::stat(In.c_str(), &St) == 0 && St.st_dev == Target.st_dev && St.st_ino == Target.st_ino) return true;
    }
    return false;
}

inline void LoadSamples(const uint8_t* Bytes, int16_t* Samples, int64_t N) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(Samples, Bytes, static_cast<size_t>(N) * 2);
    } else {
        for (int64_t K = 0; K < N; ++K) Samples[K] = static_cast<int16_t>(SampleAt(Bytes, K));
    }
}

inline void StoreSamples(uint8_t* Bytes, const int16_t* Samples, int64_t N) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(Bytes, Samples, static_cast<size_t>(N) * 2);
    } else {
        for (int64_t K = 0; K < N; ++K) StoreAt(Bytes, K, Samples[K]);
    }
}

} // namespace

TSonoliftApp::TSonoliftApp() {
    using T = TSonoliftApp;
    FAmpMethod = 2;
    FAmpPeak = 95;
    FAmpHigh = 90;
    FAmpLow = 1;
    FAmpRate = 0.01;
    FAmpStepUp = 5;
    FAmpStepDn = 1;
    FVolMax = 10000;
    FVolMin = 0;
    FAmpLevel = 100;
    FAmpSaved = 0;
    const std::string Rate = Fixed2(FAmpRate) + "s";
    const std::string Up = std::to_string(FAmpStepUp);
    const std::string Down = std::to_string(FAmpStepDn);
    const std::string Peak = Fixed2(FAmpPeak);
    const std::string High = Fixed2(FAmpHigh);
    const std::string Low = Fixed2(FAmpLow);
    AddValueSwitch("r", "rate", Bind(&T::HandleRate), false, Rate, "dynamic amp rate of change, [0+] default " + Rate);
    AddValueSwitch("u", "up", Bind(&T::HandleUp), false, Up, "speed of volume increase, [1+] default " + Up);
    AddValueSwitch("d", "down", Bind(&T::HandleDown), false, Down, "speed of volume reduction, [1+] default " + Down);
    AddValueSwitch("p", "peak", Bind(&T::HandlePeak), false, Peak,
                   "target peak volume percentage, [high..100] default " + Peak);
    AddValueSwitch("h", "high", Bind(&T::HandleHigh), false, High, "target volume percentage, [low..100] default " + High);
    AddValueSwitch("l", "low", Bind(&T::HandleLow), false, Low, "volume muting percentage, [0..high] default " + Low);
    AddValueSwitch("m", "max", Bind(&T::HandleMax), false, std::to_string(FVolMax),
                   "maximum amount of amplification, [min..100000] ");
    AddValueSwitch("n", "min", Bind(&T::HandleMin), false, std::to_string(FVolMin),
                   "minimum amount of amplification, [0..max] ");
}

void TSonoliftApp::HandleRate(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseTimeArg(Value, FAmpRate, 0, 2147483647.0);
}
void TSonoliftApp::HandleUp(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseIntArg(Value, FAmpStepUp, 1, 2147483647);
}
void TSonoliftApp::HandleDown(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseIntArg(Value, FAmpStepDn, 1, 2147483647);
}
void TSonoliftApp::HandlePeak(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseFloatArg(Value, FAmpPeak, FAmpHigh, 100);
}
void TSonoliftApp::HandleHigh(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseFloatArg(Value, FAmpHigh, FAmpLow, 100);
}
void TSonoliftApp::HandleLow(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseFloatArg(Value, FAmpLow, 0, FAmpHigh);
}
void TSonoliftApp::HandleMax(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseIntArg(Value, FVolMax, FVolMin + 1, 100000);
}
void TSonoliftApp::HandleMin(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseIntArg(Value, FVolMin, 0, FVolMax - 1);
}

void TSonoliftApp::PrepareLimits(const wave::TWaveFormat& Format) {
    if (FAmpLow > FAmpHigh) FAmpHigh = FAmpLow;
    if (FAmpPeak < FAmpHigh) FAmpPeak = FAmpHigh;
    FEngine.Peak = FEngine.PrevSample = FEngine.Pending = 0;
    FEngine.InBits = FEngine.OutBits = Format.BitsPerSample;
    const long double Full = static_cast<long double>(wave::MaxSampleValue(Format.BitsPerSample));
    FEngine.ClipLimit = Truncate(Full / 100.0L * 99.0L);
    FAmpSegment = Truncate(static_cast<long double>(Format.SamplesPerSec) * static_cast<long double>(FAmpRate));
    FPeakLimit = Truncate(Full * (static_cast<long double>(FAmpPeak) / 100.0L));
    FEngine.HighLimit = Truncate(Full / 100.0L * static_cast<long double>(FAmpHigh));
    FEngine.LowLimit = Truncate(Full / 100.0L * static_cast<long double>(FAmpLow));
    FAmpLevel = 100;
}

bool TSonoliftApp::MeasureBlock(int64_t Frames) {
    TEngineState& E = FEngine;
    if (E.InBits != 16 || Frames <= 0) return false;
    const uint8_t* Block = SampleBlock.data();
    const int64_t Channels = E.Channels;
    if (Channels <= 0) {
        E.Pending += Frames;
        return false;
    }
    // A segment cannot end before its AmpSegment-th frame: up to there only the peak and the
    // last sample matter, a loop without a branch per sample.
    const int64_t Quiet = std::clamp<int64_t>(FAmpSegment - E.Pending - 1, 0, Frames);
    if (Quiet > 0) {
        const int64_t Count = Quiet * Channels;
        E.Peak = std::max<int64_t>(E.Peak, SpanPeak(Block, Count));
        E.PrevSample = SampleAt(Block, Count - 1);
        E.Pending += Quiet;
    }
    for (int64_t F = Quiet; F < Frames; ++F) {
        ++E.Pending;
        bool Crossing = false;
        for (int64_t C = 0; C < Channels; ++C) {
            const int64_t S = SampleAt(Block, F * Channels + C);
            if (Crosses(E.PrevSample, S)) Crossing = true;
            E.PrevSample = S;
            E.Peak = std::max(E.Peak, Magnitude(S));
        }
        if (Crossing && E.Pending >= FAmpSegment) {
            AdjustGain();
            E.Peak = 0;
            return true;
        }
    }
    return false;
}

void TSonoliftApp::AdjustGain() {
    TEngineState& E = FEngine;
    const int64_t Amp = Amplify(E.Peak, FAmpLevel);
    int64_t Step = 0;
    if (E.Peak < E.LowLimit) {
        if (FAmpSaved == 0) FAmpSaved = FAmpLevel;
        Step = -FAmpStepDn;
    } else {
        if (FAmpSaved != 0) {
            FAmpLevel = FAmpSaved;
            FAmpSaved = 0;
        }
        if (Amp > E.HighLimit)
            Step = Amp > FPeakLimit ? -FAmpStepDn : 0;
        else if (Amp < E.HighLimit)
            Step = FAmpStepUp;
    }
    FAmpLevel += Step;
    // Every gain from Safe up amplifies the peak past ClipLimit + 1, so the guard steps down
    // through all of them: take those steps at once (after a step up of 2^31 they would be
    // billions per segment); the loop below then does the last few exactly as before.
    if (E.Peak > 0 && FAmpStepDn > 0) {
        const int64_t Safe = ((E.ClipLimit + 1) * 100 + E.Peak - 1) / E.Peak;
        if (FAmpLevel >= Safe) FAmpLevel -= ((FAmpLevel - Safe) / FAmpStepDn + 1) * FAmpStepDn;
    }
    // Lowering a gain below 0 only makes the magnitude grow again, and a step that does not
    // lower the gain never ends the guard: both end at gain 0.
    while (Magnitude(Amplify(E.Peak, FAmpLevel)) >= E.ClipLimit) {
        if (FAmpLevel < 0 || FAmpStepDn <= 0) {
            FAmpLevel = 0;
            break;
        }
        FAmpLevel -= FAmpStepDn;
    }
    if (FAmpLevel < FVolMin) FAmpLevel = FVolMin;
    if (FAmpLevel > FVolMax) FAmpLevel = FVolMax;
    E.Peak = 0;
}

void TSonoliftApp::ApplyGain(int64_t Frames) {
    TEngineState& E = FEngine;
    if (E.OutBits != 16 || Frames <= 0 || E.Channels <= 0) return;
    uint8_t* Block = SampleBlock.data();
    const int64_t Count = Frames * E.Channels;
    const int64_t Clip = E.ClipLimit;
    // Up to the first overload the gain stays the same, so the samples go through in runs;
    // from there on, one by one, since each overload lowers the gain.
    int64_t I = 0;
    while (I < Count) {
        constexpr int64_t Run = 256;
        int16_t In[Run];
        int16_t Out[Run];
        const int64_t N = std::min(Run, Count - I);
        LoadSamples(Block + 2 * I, In, N);
        const int64_t Done = AmplifyRun(In, Out, N, FAmpLevel, Clip);
        StoreSamples(Block + 2 * I, Out, Done);
        I += Done;
        if (Done < N) break;
    }
    for (; I < Count; ++I) {
        const int64_t S = SampleAt(Block, I);
        int64_t V = Amplify(S, FAmpLevel);
        while (Magnitude(V) >= Clip) {
            FOverloadText += "Overload " + std::to_string(E.FramesDone + I) + " " + std::to_string(S) + " " +
                             std::to_string(V) + "\n";
            const int64_t Used = FAmpLevel;
            FAmpLevel -= FAmpStepDn;
            if (Magnitude(V) <= Clip) break;
            if (Used < 0 || FAmpStepDn <= 0) {
                // no lower gain can bring this sample under the limit
                FAmpLevel = 0;
                V = 0;
                break;
            }
            V = Amplify(S, FAmpLevel);
        }
        StoreAt(Block, I, V);
    }
}

void TSonoliftApp::ReportName(const std::string& Path, bool Corrupt) {
    vx::WriteOut(Path);
    vx::FlushOut();
    if (Corrupt) {
        vx::WriteOut(" -- Corrupt");
        vx::FlushOut();
    }
    vx::WriteOut("\n");
}

void TSonoliftApp::CheckSampleFormat(const wave::TWaveFormat& Format) {
    // The engine reads 16-bit samples only, and each frame must hold all its channels (a file
    // of no channels has no samples to give).
    if (Format.BitsPerSample != 16 || Format.BlockAlign == 0 || Format.Channels == 0 ||
        Format.BlockAlign < 2 * static_cast<int64_t>(Format.Channels))
        throw EvxError("unsupported sample format");
}

TSonoliftApp::TMeasureCursor TSonoliftApp::BeginFile(const wave::TWaveIO& Input, wave::TWaveIO& Output) {
    const wave::TWaveFormat& Format = Input.Format();
    Output.SetFormat(Format);
    SampleBlock.assign(static_cast<size_t>(BlockFrames * Format.BlockAlign), 0);
    FEngine.Channels = Format.Channels;
    FEngine.FramesDone = 0;
    PrepareLimits(Format);
    FEngine.OutBits = Output.Format().BitsPerSample;
    return TMeasureCursor{0, Input.DataSize() / Format.BlockAlign};
}

int64_t TSonoliftApp::ReadBlock(wave::TWaveIO& Input, int64_t FirstFrame, int64_t Frames) {
    const int64_t Align = Input.Format().BlockAlign;
    const int64_t N = std::min(Frames, static_cast<int64_t>(SampleBlock.size()) / Align);
    Input.SetPosition(FirstFrame * Align);
    Input.ReadWaveData(SampleBlock.data(), static_cast<int32_t>(Align * N));
    return N;
}

void TSonoliftApp::FlushPending(wave::TWaveIO& Input, wave::TWaveIO& Output, TMeasureCursor& Cursor) {
    const int64_t OutAlign = Output.Format().BlockAlign;
    while (FEngine.Pending > 0) {
        const int64_t N = ReadBlock(Input, FEngine.FramesDone, FEngine.Pending);
        ApplyGain(N);
        // Held before the write: a write that fails still shows the block's lines, as they
        // were reported when the block was amplified.
        const int64_t Start = FEngine.FramesDone * OutAlign;
        if (!FOverloadText.empty()) FHeld.Hold(Start, Start + OutAlign * N, std::exchange(FOverloadText, {}));
        Output.WriteWaveData(SampleBlock.data(), static_cast<int32_t>(OutAlign * N));
        // Lines wait only while their bytes wait in the window: write it now, or a run of
        // overloading blocks would hold its whole text in memory.
        if (!FHeld.Empty()) {
            Output.FlushWindow();
            FHeld.Emit(Output.CommittedData(), false);
        }
        FEngine.Pending -= N;
        FEngine.FramesDone += N;
    }
    Cursor.FramesRead = FEngine.FramesDone;
    Cursor.FramesLeft = Input.DataSize() / Input.Format().BlockAlign - Cursor.FramesRead;
}

int TSonoliftApp::ProcessFile(const std::string& Path) {
    std::unique_ptr<wave::TWaveIO> Input;
    std::unique_ptr<wave::TWaveIO> Output;
    FHeld.Clear();
    FOverloadText.clear();
    try {
        Input = std::make_unique<wave::TWaveIO>(Path, wave::TWaveIOMode::wioRead);
        ReportName(Path, Input->Modified());
        CheckSampleFormat(Input->Format());
        const std::string OutFile = OutName() + "-lift.wav";
        // Creating the output would destroy an input that it names.
        if (Input->RefersTo(OutFile) || LinksToAnInput(OutFile, Files())) throw EvxError("output is an input");
        Output = std::make_unique<wave::TWaveIO>(OutFile, wave::TWaveIOMode::wioRewrite);
        TMeasureCursor Cursor = BeginFile(*Input, *Output);
        while (Cursor.FramesLeft > 0) {
            const int64_t N = ReadBlock(*Input, Cursor.FramesRead, Cursor.FramesLeft);
            if (MeasureBlock(N)) {
                FlushPending(*Input, *Output, Cursor);
            } else {
                Cursor.FramesLeft -= N;
                Cursor.FramesRead += N;
            }
        }
        FlushPending(*Input, *Output, Cursor);
        SampleBlock.clear();
        SampleBlock.shrink_to_fit();
        Output->Release();
        FHeld.Emit(INT64_MAX, false);
        Input->Release();
        return 0;
    } catch (...) {
        if (Output) {
            try {
                Output->FlushWindow();
            } catch (...) {
            }
            FHeld.Emit(Output->CommittedData(), true);
        }
        FHeld.Clear();
        FOverloadText.clear();
        SampleBlock.clear();
        vx::WriteOut("FileName: " + Path + FailureTail);
        return -1;
    }
}

} // namespace sonolift
