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

namespace {

using vx::EvxError;
using vx::TvxConsoleApplication;
using vx::ValueText;

std::string Fixed2(double V) {
    char Buffer[64];
    auto [End, Err] = std::to_chars(Buffer, Buffer + sizeof Buffer, V, std::chars_format::fixed, 2);
    return Err == std::errc() ? std::string(Buffer, End) : std::string();
}

// Samples used where they lie in the input, as the file stores them: packed 24-bit integers
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

// The first of the samples I .. End that crosses zero from the one before it (Prev before I),
// or End.
template <class T, class V>
int64_t FirstCrossing(const T*, const uint8_t* Values, int64_t I, int64_t End, V Prev) {
    for (; I < End; ++I) {
        const V S = LoadValue<T>(Values, I);
        if (Crosses(Prev, S)) return I;
        Prev = S;
    }
    return End;
}
// Packed 24-bit samples in place are in the machine's (little-endian) order: each is read with
// the byte after it where there is one, and shifted.
int64_t FirstCrossing(const TPacked24*, const uint8_t* Values, int64_t I, int64_t End, int64_t Prev) {
    for (; I + 1 < End; ++I) {
        uint32_t Word;
        std::memcpy(&Word, Values + 3 * I, 4);
        const int64_t S = static_cast<int32_t>(Word << 8) >> 8;
        if (Crosses(Prev, S)) return I;
        Prev = S;
    }
    return I < End ? FirstCrossing<TPacked24, int64_t>(nullptr, Values, I, End, Prev) : End;
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
int64_t RunOf(const TGainKernels& K, const int16_t*, const uint8_t* In, uint8_t* Out, int64_t N, int64_t L, int64_t Clip) {
    return AmplifyRun16(K, In, Out, N, L, Clip);
}
int64_t RunOf(const TGainKernels& K, const int32_t*, const uint8_t* In, uint8_t* Out, int64_t N, int64_t L, int64_t Clip) {
    return AmplifyRun32(K, In, Out, N, L, Clip);
}
int64_t RunOf(const TGainKernels& K, const double*, const uint8_t* In, uint8_t* Out, int64_t N, int64_t L, double Clip) {
    return AmplifyRunFloat64(K, In, Out, N, L, Clip);
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

template <class F>
decltype(auto) TSonoliftApp::ForValues(F&& Fn) {
    switch (ValueBytes(FEngine.Encoding)) {
    case 2: return Fn(static_cast<const int16_t*>(nullptr), FEngine.Int);
    case 4: return Fn(static_cast<const int32_t*>(nullptr), FEngine.Int);
    default: return Fn(static_cast<const double*>(nullptr), FEngine.Float);
    }
}

const uint8_t* TSonoliftApp::Values(const uint8_t* Bytes, int64_t Count) {
    if (FEngine.ValuesInPlace) return Bytes;
    return Decoded(Bytes, Count);
}

uint8_t* TSonoliftApp::Decoded(const uint8_t* Bytes, int64_t Count) {
    const TSampleEncoding E = FEngine.Encoding;
    FValues.resize(static_cast<size_t>(Count * ValueBytes(E)));
    DecodeSamples(E, Bytes, Count, FValues.data(), FBytewise);
    return FValues.data();
}

bool TSonoliftApp::MeasureBlock(const uint8_t* Bytes, int64_t Frames) {
    TEngineState& E = FEngine;
    if (E.Encoding == TSampleEncoding::seNone || Frames <= 0 || E.Channels <= 0) return false;
    if (E.PackedInPlace) {
        if (E.Encoding == TSampleEncoding::sePcm24) return MeasureValues(static_cast<const TPacked24*>(nullptr), Bytes, Frames, E.Int);
        return MeasureValues(static_cast<const TFloat32*>(nullptr), Bytes, Frames, E.Float);
    }
    const uint8_t* V = Values(Bytes, Frames * E.Channels);
    return ForValues([&](const auto* Kind, auto& L) { return MeasureValues(Kind, V, Frames, L); });
}

template <class T, class V>
bool TSonoliftApp::MeasureValues(const T*, const uint8_t* Values, int64_t Frames, TLevels<V>& L) {
    TEngineState& E = FEngine;
    const int64_t Channels = E.Channels;
    // A segment cannot end before its AmpSegment-th frame; from there on it ends with the first
    // frame that holds a sample crossing zero from the one before it. Only that crossing is
    // looked for sample by sample; the peak and the last sample are taken once, over every
    // frame up to the end of the segment or of the stretch.
    if (Frames <= 0) return false;
    const int64_t Quiet = std::clamp<int64_t>(FAmpSegment - E.Pending - 1, 0, Frames), End = Frames * Channels;
    int64_t I = Quiet * Channels;
    if (I < End) I = FirstCrossing(static_cast<const T*>(nullptr), Values, I, End, I > 0 ? LoadValue<T>(Values, I - 1) : L.PrevSample);
    const int64_t Measured = I < End ? I / Channels + 1 : Frames;
    L.Peak = std::max<V>(L.Peak, PeakOf(*FKernels, static_cast<const T*>(nullptr), Values, Measured * Channels));
    L.PrevSample = LoadValue<T>(Values, Measured * Channels - 1);
    E.Pending += Measured;
    if (I == End) return false;
    AdjustGain();
    L.Peak = 0;
    return true;
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

int64_t TSonoliftApp::AmplifyRun(const uint8_t* In, uint8_t* Out, int64_t Count) {
    const TEngineState& E = FEngine;
    if (E.UnusedBits != 0) return 0; // samples narrower than their container go one by one
    int64_t First = 0;
    if (E.PackedInPlace) {
        // 24-bit and float samples go through where they lie up to the first overload (or float
        // that is not finite); the rest, if any, is decoded
        First = E.Encoding == TSampleEncoding::sePcm24 ? AmplifyRun24(*FKernels, In, Out, Count, FAmpLevel, E.Int.ClipLimit)
                                                       : AmplifyRunFloat32(*FKernels, In, Out, Count, FAmpLevel, E.Float.ClipLimit);
        if (First == Count) return Count;
    }
    const int64_t Size = SampleBytes(E.Encoding);
    uint8_t* V = E.ValuesInPlace ? nullptr : Decoded(In + First * Size, Count - First);
    const int64_t Done = ForValues([&](const auto* Kind, const auto& L) {
        return V == nullptr ? RunOf(*FKernels, Kind, In, Out, Count, FAmpLevel, L.ClipLimit)
                            : RunOf(*FKernels, Kind, V, V, Count - First, FAmpLevel, L.ClipLimit);
    });
    if (V != nullptr) EncodeSamples(E.Encoding, V, Done, Out + First * Size, FBytewise);
    return First + Done;
}

void TSonoliftApp::AmplifyOneByOne(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t Position) {
    uint8_t* V = FEngine.ValuesInPlace ? nullptr : Decoded(In, Count);
    ForValues([&](const auto* Kind, const auto& L) {
        if (V == nullptr) return ApplyValues(Kind, In, Out, Count, Position, L);
        ApplyValues(Kind, V, V, Count, Position, L);
    });
    if (V != nullptr) EncodeSamples(FEngine.Encoding, V, Count, Out, FBytewise);
}

template <class T, class V>
void TSonoliftApp::ApplyValues(const T*, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t Position, const TLevels<V>& L) {
    const bool Single = FEngine.Encoding == TSampleEncoding::seFloat32;
    // Samples narrower than their container are rounded at their valid bits.
    const int Unused = FEngine.UnusedBits;
    auto Amplify = [Unused](V S, int64_t Level) { return Unused == 0 ? AmplifyValue(S, Level) : AmplifyToValidBits(S, Level, Unused); };
    for (int64_t I = 0; I < Count; ++I) {
        const V S = LoadValue<T>(In, I);
        V Amp = Amplify(S, FAmpLevel);
        while (std::abs(Amp) >= L.ClipLimit) {
            FOverloadText += OverloadLine + std::to_string(Position + I) + " " + ValueText(S, Single) + " " + ValueText(Amp, Single) + "\n";
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
        StoreValue<T>(Out, I, static_cast<T>(Amp));
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

TSonoliftApp::TMeasureCursor TSonoliftApp::BeginFile(wave::TWaveIO& Input, wave::TWaveIO& Output,
                                                     TSampleEncoding Encoding) {
    const wave::TWaveFormat& Format = Input.Format();
    const int64_t Frames = Input.DataSize() / Format.BlockAlign;
    Output.SetFormat(Format);
    // An extensible input keeps its extension; an output past 4 GiB becomes RF64.
    Output.SetLayout(Input.Extension(), Frames * Output.Format().BlockAlign);
    FBuffers.Begin(Input, Output, static_cast<int64_t>(IOWindow()), BlockFrames);
    FEngine.Channels = Format.Channels;
    FEngine.FramesDone = 0;
    FEngine.UnusedBits = vx::UnusedBits(Format, Input.Extension());
    // 16-bit frames may hold more than their samples: the samples of a block are then taken
    // side by side from its start, as they always were, so a span is at most a block.
    FEngine.SpanFrames = Format.BlockAlign > Format.Channels * SampleBytes(Encoding) ? BlockFrames : INT64_MAX;
    PrepareLimits(Format, Encoding);
    return TMeasureCursor{0, Frames};
}

void TSonoliftApp::FlushPending(wave::TWaveIO& Input, wave::TWaveIO& Output, TMeasureCursor& Cursor) {
    const int64_t InAlign = Input.Format().BlockAlign, Align = Output.Format().BlockAlign, Channels = FEngine.Channels;
    while (FEngine.Pending > 0) {
        int64_t N = 0, Room = 0;
        const uint8_t* In = FBuffers.Input(FEngine.FramesDone, std::min(FEngine.Pending, FEngine.SpanFrames), FEngine.FramesDone, N);
        uint8_t* Out = FBuffers.OutputRoom(N, Room);
        // whole blocks of the segment, or the rest of it
        N = std::min(N, Room);
        if (N < FEngine.Pending) N -= N % BlockFrames;
        const int64_t Count = N * Channels, Run = AmplifyRun(In, Out, Count);
        if (Run < Count) {
            // An overload lowers the gain: its block is finished sample by sample, and an
            // overload line counts its place from the block's first frame (blocks of
            // BlockFrames from the segment's start).
            const int64_t Block = Run / Channels / BlockFrames * BlockFrames, Frames = std::min(BlockFrames, N - Block);
            const int64_t From = Run - Block * Channels;
            AmplifyOneByOne(In + Block * InAlign + From * SampleBytes(FEngine.Encoding),
                            Out + Block * Align + From * SampleBytes(FEngine.Encoding), Frames * Channels - From,
                            FEngine.FramesDone + Block + From);
            N = Block + Frames;
            // The lines are shown once the block's bytes are in the file: those of a block that a
            // failed write lost too, as they were reported when it was amplified.
            const int64_t Start = (FEngine.FramesDone + Block) * Align;
            if (!FOverloadText.empty()) FHeld.Hold(Start, Start + Align * Frames, std::exchange(FOverloadText, {}));
        }
        FBuffers.Commit(N);
        FEngine.Pending -= N;
        FEngine.FramesDone += N;
        // Lines wait only until their bytes are written: a run of overloading blocks would
        // otherwise hold its whole text in memory.
        if (!FHeld.Empty()) {
            FBuffers.Write();
            FHeld.Emit(Output.CommittedData(), false);
        }
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
        // The engine reads and writes through buffers of its own (BeginFile), the files without a window.
        Input = std::make_unique<wave::TWaveIO>(Path, wave::TWaveIOMode::wioRead, 0);
        ReportName(Path, Input->Modified());
        const TSampleEncoding Encoding = vx::ReadableEncoding(*Input);
        const std::string OutFile = OutName() + "-lift.wav";
        // Creating the output would destroy an input that it names.
        if (Input->RefersTo(OutFile) || vx::LinksToAnyOf(OutFile, Files())) throw EvxError("output is an input");
        Output = std::make_unique<wave::TWaveIO>(OutFile, wave::TWaveIOMode::wioRewrite, 0);
        TMeasureCursor Cursor = BeginFile(*Input, *Output, Encoding);
        while (Cursor.FramesLeft > 0) {
            int64_t N = 0;
            const uint8_t* Frames = FBuffers.Input(Cursor.FramesRead, std::min(Cursor.FramesLeft, FEngine.SpanFrames), FEngine.FramesDone, N);
            if (MeasureBlock(Frames, N)) {
                FlushPending(*Input, *Output, Cursor);
            } else {
                Cursor.FramesLeft -= N;
                Cursor.FramesRead += N;
            }
        }
        FlushPending(*Input, *Output, Cursor);
        FBuffers.Write();
        ReleaseBuffers();
        Output->Release();
        FHeld.Emit(INT64_MAX, false);
        Input->Release();
        return 0;
    } catch (...) {
        if (Output) {
            try {
                FBuffers.Write();
            } catch (...) {
            }
            FHeld.Emit(Output->CommittedData(), true);
        }
        FOverloadText.clear();
        ReleaseBuffers();
        throw;
    }
}

void TSonoliftApp::ReleaseBuffers() {
    FBuffers.Release();
    FValues = {};
}

} // namespace sonolift
