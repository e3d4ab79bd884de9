#include "SonoliftApp.h"

#include "GainArithmetic.h"
#include "GainKernels.h"
#include "vxSysUtils.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <type_traits>
#include <utility>

namespace sonolift {

std::vector<uint8_t> SampleBlock;

namespace {

using vx::EvxError;
using vx::TvxConsoleApplication;
using vx::ValueText;

std::string Fixed2(double V) {
    char Buffer[64];
    auto [End, Err] = std::to_chars(Buffer, Buffer + sizeof Buffer, V, std::chars_format::fixed, 2);
    return Err == std::errc() ? std::string(Buffer, End) : std::string();
}

// Samples used where they lie in SampleBlock, as the file stores them: packed 24-bit integers
// and floats (the other encodings are their own values, or decoded).
struct TPacked24 {};
struct TFloat32 {};

// A value of the engine's buffer (native int16, int32 or double, held as bytes), or a sample
// where it lies.
template <class T>
auto LoadValue(const uint8_t* Values, int64_t I) {
    if constexpr (std::is_same_v<T, TPacked24>) {
        return static_cast<int32_t>(wave::GetLESigned(Values + 3 * I, 3));
    } else if constexpr (std::is_same_v<T, TFloat32>) {
        float V;
        std::memcpy(&V, Values + 4 * I, 4);
        return vx::Finite(V);
    } else {
        T V;
        std::memcpy(&V, Values + I * static_cast<int64_t>(sizeof(T)), sizeof(T));
        return V;
    }
}
template <class T>
void StoreValue(uint8_t* Values, int64_t I, T V) {
    std::memcpy(Values + I * static_cast<int64_t>(sizeof(T)), &V, sizeof(T));
}

template <class V>
bool Crosses(V Prev, V S) {
    return (Prev >= 0 && S < 0) || (Prev < 0 && S >= 0) || (Prev == 0 && S == 0);
}

// The engine's passes for each kind of value, from the table K.
int64_t PeakOf(const TGainKernels& K, const int16_t*, const uint8_t* Values, int64_t Count) { return K.Peak16(Values, Count); }
int64_t PeakOf(const TGainKernels& K, const int32_t*, const uint8_t* Values, int64_t Count) { return K.Peak32(Values, Count); }
double PeakOf(const TGainKernels& K, const double*, const uint8_t* Values, int64_t Count) { return K.PeakFloat64(Values, Count); }
int64_t PeakOf(const TGainKernels& K, const TPacked24*, const uint8_t* Bytes, int64_t Count) { return K.Peak24(Bytes, Count); }
double PeakOf(const TGainKernels& K, const TFloat32*, const uint8_t* Values, int64_t Count) {
    const uint32_t Bits = K.PeakFloat32(Values, Count);
    if (Bits < 0x7F800000u) return std::bit_cast<float>(Bits);
    double Peak = 0; // a value that is not finite counts as decoded
    for (int64_t I = 0; I < Count; ++I) Peak = std::max(Peak, std::abs(LoadValue<TFloat32>(Values, I)));
    return Peak;
}
int64_t RunOf(const TGainKernels& K, const int16_t*, uint8_t* Values, int64_t N, int64_t L, int64_t Clip) {
    return AmplifyRun16(K, Values, Values, N, L, Clip);
}
int64_t RunOf(const TGainKernels& K, const int32_t*, uint8_t* Values, int64_t N, int64_t L, int64_t Clip) {
    return AmplifyRun32(K, Values, Values, N, L, Clip);
}
int64_t RunOf(const TGainKernels& K, const double*, uint8_t* Values, int64_t N, int64_t L, double Clip) {
    return AmplifyRunFloat64(K, Values, Values, N, L, Clip);
}

} // namespace

void RunSonolift(int argc, char** argv, const TRunSettings& Settings) {
    vx::RunTool(argc, argv, {"sonolift", "[file...]", "wave file dynamic amplification utility.", false}, [&] {
        auto App = std::make_unique<TSonoliftApp>();
        App->SetIOWindow(Settings.IOWindow);
        App->SetBytewiseSamples(Settings.BytewiseSamples);
        if (Settings.Kernels != nullptr) App->SetKernels(*Settings.Kernels);
        return App;
    });
}

TSonoliftApp::TSonoliftApp() {
    using T = TSonoliftApp;
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

void TSonoliftApp::PrepareLimits(const wave::TWaveFormat& Format, TSampleEncoding Encoding) {
    FAmpHigh = std::max(FAmpHigh, FAmpLow);
    FAmpPeak = std::max(FAmpPeak, FAmpHigh);
    FEngine.Encoding = Encoding;
    const bool InPlace = vx::SamplesInPlace(FBytewise);
    FEngine.ValuesInPlace = InPlace && (Encoding == TSampleEncoding::sePcm16 || Encoding == TSampleEncoding::sePcm32);
    FEngine.PackedInPlace = InPlace && FEngine.UnusedBits == 0 && (Encoding == TSampleEncoding::sePcm24 || Encoding == TSampleEncoding::seFloat32);
    FEngine.Int = {};
    FEngine.Float = {};
    FEngine.Pending = 0;
    if (IsFloat(Encoding)) {
        // Full scale is 1: each limit is its percentage divided by 100.
        TLevels<double>& F = FEngine.Float;
        F.ClipLimit = 99.0 / 100.0;
        F.PeakLimit = FAmpPeak / 100.0;
        F.HighLimit = FAmpHigh / 100.0;
        F.LowLimit = FAmpLow / 100.0;
    } else {
        TLevels<int64_t>& I = FEngine.Int;
        const long double Full = static_cast<long double>(wave::MaxSampleValue(Format.BitsPerSample));
        I.ClipLimit = Truncate(Full / 100.0L * 99.0L);
        I.PeakLimit = Truncate(Full * (static_cast<long double>(FAmpPeak) / 100.0L));
        I.HighLimit = Truncate(Full / 100.0L * static_cast<long double>(FAmpHigh));
        I.LowLimit = Truncate(Full / 100.0L * static_cast<long double>(FAmpLow));
    }
    FAmpSegment = Truncate(static_cast<long double>(Format.SamplesPerSec) * static_cast<long double>(FAmpRate));
    FAmpLevel = 100;
}

uint8_t* TSonoliftApp::Values(int64_t First, int64_t Count) {
    const TSampleEncoding E = FEngine.Encoding;
    uint8_t* Bytes = SampleBlock.data() + First * SampleBytes(E);
    if (FEngine.ValuesInPlace) return Bytes;
    FValues.resize(static_cast<size_t>(Count * ValueBytes(E)));
    DecodeSamples(E, Bytes, Count, FValues.data(), FBytewise);
    return FValues.data();
}

bool TSonoliftApp::MeasureBlock(int64_t Frames) {
    TEngineState& E = FEngine;
    if (E.Encoding == TSampleEncoding::seNone || Frames <= 0 || E.Channels <= 0) return false;
    if (E.PackedInPlace) {
        if (E.Encoding == TSampleEncoding::sePcm24) return MeasureValues<TPacked24>(SampleBlock.data(), Frames, E.Int);
        return MeasureValues<TFloat32>(SampleBlock.data(), Frames, E.Float);
    }
    const uint8_t* V = Values(0, Frames * E.Channels);
    switch (ValueBytes(E.Encoding)) {
    case 2: return MeasureValues<int16_t>(V, Frames, E.Int);
    case 4: return MeasureValues<int32_t>(V, Frames, E.Int);
    default: return MeasureValues<double>(V, Frames, E.Float);
    }
}

template <class T, class V>
bool TSonoliftApp::MeasureValues(const uint8_t* Values, int64_t Frames, TLevels<V>& L) {
    TEngineState& E = FEngine;
    const int64_t Channels = E.Channels;
    // A segment cannot end before its AmpSegment-th frame: up to there only the peak and the
    // last sample matter, a loop without a branch per sample.
    const int64_t Quiet = std::clamp<int64_t>(FAmpSegment - E.Pending - 1, 0, Frames);
    if (Quiet > 0) {
        const int64_t Count = Quiet * Channels;
        L.Peak = std::max<V>(L.Peak, PeakOf(*FKernels, static_cast<const T*>(nullptr), Values, Count));
        L.PrevSample = LoadValue<T>(Values, Count - 1);
        E.Pending += Quiet;
    }
    for (int64_t F = Quiet; F < Frames; ++F) {
        ++E.Pending;
        bool Crossing = false;
        for (int64_t C = 0; C < Channels; ++C) {
            const V S = LoadValue<T>(Values, F * Channels + C);
            if (Crosses(L.PrevSample, S)) Crossing = true;
            L.PrevSample = S;
            L.Peak = std::max(L.Peak, std::abs(S));
        }
        if (Crossing && E.Pending >= FAmpSegment) {
            AdjustGain();
            L.Peak = 0;
            return true;
        }
    }
    return false;
}

void TSonoliftApp::AdjustGain() {
    if (IsFloat(FEngine.Encoding))
        AdjustLevels(FEngine.Float);
    else
        AdjustLevels(FEngine.Int);
}

template <class V>
void TSonoliftApp::AdjustLevels(TLevels<V>& E) {
    const V Amp = AmplifyValue(E.Peak, FAmpLevel);
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
            Step = Amp > E.PeakLimit ? -FAmpStepDn : 0;
        else if (Amp < E.HighLimit)
            Step = FAmpStepUp;
    }
    FAmpLevel += Step;
    // Every gain from Safe up amplifies the peak past the limit, so the guard steps down
    // through all of them: take those steps at once (after a step up of 2^31 they would be
    // billions per segment); the loop below then does the last few exactly as before.
    const int64_t Safe = FirstClippingGain(E.Peak, E.ClipLimit);
    if (FAmpStepDn > 0 && FAmpLevel >= Safe) FAmpLevel -= ((FAmpLevel - Safe) / FAmpStepDn + 1) * FAmpStepDn;
    // Lowering a gain below 0 only makes the magnitude grow again, and a step that does not
    // lower the gain never ends the guard: both end at gain 0.
    while (std::abs(AmplifyValue(E.Peak, FAmpLevel)) >= E.ClipLimit) {
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
    if (E.Encoding == TSampleEncoding::seNone || Frames <= 0 || E.Channels <= 0) return;
    const int64_t Count = Frames * E.Channels;
    int64_t First = 0;
    if (E.PackedInPlace) {
        // 24-bit and float samples go through where they lie up to the first overload (or float
        // that is not finite); the rest, if any, is decoded
        uint8_t* B = SampleBlock.data();
        First = E.Encoding == TSampleEncoding::sePcm24 ? AmplifyRun24(*FKernels, B, B, Count, FAmpLevel, E.Int.ClipLimit)
                                                       : AmplifyRunFloat32(*FKernels, B, B, Count, FAmpLevel, E.Float.ClipLimit);
        if (First == Count) return;
    }
    uint8_t* V = Values(First, Count - First);
    switch (ValueBytes(E.Encoding)) {
    case 2: ApplyValues<int16_t>(V, First, Count, E.Int); break;
    case 4: ApplyValues<int32_t>(V, First, Count, E.Int); break;
    default: ApplyValues<double>(V, First, Count, E.Float); break;
    }
    if (V == FValues.data())
        EncodeSamples(E.Encoding, V, Count - First, SampleBlock.data() + First * SampleBytes(E.Encoding), FBytewise);
}

template <class T, class V>
void TSonoliftApp::ApplyValues(uint8_t* Values, int64_t First, int64_t Count, const TLevels<V>& L) {
    const bool Single = FEngine.Encoding == TSampleEncoding::seFloat32;
    // Up to the first overload the gain stays the same, so the samples go through in a run;
    // from there on, one by one, since each overload lowers the gain.
    const int64_t N = Count - First;
    // Samples narrower than their container take the scalar path, rounded at their valid bits.
    const int Unused = FEngine.UnusedBits;
    auto Amplify = [Unused](V S, int64_t Level) { return Unused == 0 ? AmplifyValue(S, Level) : AmplifyToValidBits(S, Level, Unused); };
    int64_t I = Unused == 0 ? RunOf(*FKernels, static_cast<const T*>(nullptr), Values, N, FAmpLevel, L.ClipLimit) : 0;
    for (; I < N; ++I) {
        const V S = LoadValue<T>(Values, I);
        V Amp = Amplify(S, FAmpLevel);
        while (std::abs(Amp) >= L.ClipLimit) {
            FOverloadText += OverloadLine + std::to_string(FEngine.FramesDone + First + I) + " " + ValueText(S, Single) + " " +
                             ValueText(Amp, Single) + "\n";
            const int64_t Used = FAmpLevel;
            FAmpLevel -= FAmpStepDn;
            if (std::abs(Amp) <= L.ClipLimit) break;
            if (Used < 0 || FAmpStepDn <= 0) {
                // no lower gain can bring this sample under the limit
                FAmpLevel = 0;
                Amp = 0;
                break;
            }
            Amp = Amplify(S, FAmpLevel);
        }
        StoreValue<T>(Values, I, static_cast<T>(Amp));
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

TSonoliftApp::TMeasureCursor TSonoliftApp::BeginFile(const wave::TWaveIO& Input, wave::TWaveIO& Output,
                                                     TSampleEncoding Encoding) {
    const wave::TWaveFormat& Format = Input.Format();
    const int64_t Frames = Input.DataSize() / Format.BlockAlign;
    Output.SetFormat(Format);
    // An extensible input keeps its extension; an output past 4 GiB becomes RF64.
    Output.SetLayout(Input.Extension(), Frames * Output.Format().BlockAlign);
    SampleBlock.assign(static_cast<size_t>(BlockFrames * Format.BlockAlign), 0);
    FEngine.Channels = Format.Channels;
    FEngine.FramesDone = 0;
    FEngine.UnusedBits = vx::UnusedBits(Format, Input.Extension());
    PrepareLimits(Format, Encoding);
    return TMeasureCursor{0, Frames};
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
        Input = std::make_unique<wave::TWaveIO>(Path, wave::TWaveIOMode::wioRead, IOWindow());
        ReportName(Path, Input->Modified());
        const TSampleEncoding Encoding = vx::ReadableEncoding(*Input);
        const std::string OutFile = OutName() + "-lift.wav";
        // Creating the output would destroy an input that it names.
        if (Input->RefersTo(OutFile) || vx::LinksToAnyOf(OutFile, Files())) throw EvxError("output is an input");
        // The output's window is twice the input's: a write into a new file costs the kernel
        // more per call than a read, and halving those calls took a tenth off the time.
        Output = std::make_unique<wave::TWaveIO>(OutFile, wave::TWaveIOMode::wioRewrite, 2 * IOWindow());
        TMeasureCursor Cursor = BeginFile(*Input, *Output, Encoding);
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
        FValues = {};
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
        FOverloadText.clear();
        SampleBlock.clear();
        FValues = {};
        throw;
    }
}

} // namespace sonolift
