#include "SonoliftApp.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace sonolift {

std::vector<uint8_t> SampleBlock;

namespace {

using vx::EvxError;
using vx::TvxConsoleApplication;

// Truncation toward zero, kept inside the 64-bit range for any value.
int64_t Truncate(long double X) {
    if (std::isnan(X)) return 0;
    if (X >= 9223372036854775807.0L) return INT64_MAX;
    if (X <= -9223372036854775808.0L) return INT64_MIN;
    return static_cast<int64_t>(X);
}

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

// Samples per tile of the vectorised passes.
constexpr int64_t GainTile = 64;

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

// The peak magnitude of a tile from its largest and smallest sample (|-32768| does not fit
// 16 bits, the extremes do, and their loops vectorise).
template <int64_t N>
[[gnu::always_inline]] inline int32_t TilePeakBody(const int16_t* __restrict In) {
    int16_t High = 0, Low = 0;
    for (int64_t K = 0; K < N; ++K) {
        High = std::max(High, In[K]);
        Low = std::min(Low, In[K]);
    }
    return std::max<int32_t>(High, -static_cast<int32_t>(Low));
}

int32_t TailPeak(const int16_t* In, int64_t N) {
    int32_t Peak = 0;
    for (int64_t K = 0; K < N; ++K) Peak = std::max(Peak, std::abs(static_cast<int32_t>(In[K])));
    return Peak;
}

// Largest gain magnitude of the single-precision tile pass.
constexpr int64_t FastGainLimit = 32767;

// One tile of Amplify in single precision, for |L| <= FastGainLimit. With L = 100 A + B and
// 0 <= B < 100, s * L / 100 = s * A + s * B / 100. s * A (below 2^24) and s * B (below 2^22)
// are exact; s * B * 0.01f is within 0.003 of s * B / 100, whose fraction is a whole number
// of hundredths, so rounding it to the nearest integer is exact except at an exact half,
// which leaves the rounded value 0.497 or more away and is flagged. A sample whose result
// reaches Clip is flagged too. Returns whether any sample was flagged.
template <int64_t N>
[[gnu::always_inline]] inline bool AmplifyTileBody(const int16_t* __restrict In, int16_t* __restrict Out,
                                                   uint8_t* __restrict Flag, int32_t L, int32_t Clip) {
    const int32_t A = L >= 0 ? L / 100 : -((99 - L) / 100);
    const float FA = static_cast<float>(A);
    const float FB = static_cast<float>(L - 100 * A);
    const float FClip = static_cast<float>(Clip);
    constexpr float Shift = 12582912.0f; // 1.5 * 2^23: the sum keeps no fraction bits
    int32_t Any = 0;
    for (int64_t K = 0; K < N; ++K) {
        const float S = static_cast<float>(In[K]);
        const float Hundredths = S * FB * 0.01f;
        const float Rounded = (Hundredths + Shift) - Shift;
        const float V = S * FA + Rounded;
        const int32_t F = static_cast<int32_t>(std::fabs(Hundredths - Rounded) > 0.495f) |
                          static_cast<int32_t>(std::fabs(V) >= FClip);
        Out[K] = static_cast<int16_t>(static_cast<int32_t>(V));
        Flag[K] = static_cast<uint8_t>(F);
        Any |= F;
    }
    return Any != 0;
}

// Each tile pass is compiled twice, for the baseline instruction set and, on x86-64, for AVX2
// (twice the lanes, the same single-precision arithmetic), and picked by what the processor
// has (WideVectors).
int32_t TilePeakBase(const int16_t* In) { return TilePeakBody<GainTile>(In); }
bool AmplifyTileBase(const int16_t* In, int16_t* Out, uint8_t* Flag, int32_t L, int32_t Clip) {
    return AmplifyTileBody<GainTile>(In, Out, Flag, L, Clip);
}
#if defined(__x86_64__)
[[gnu::target("avx2")]] int32_t TilePeakWide(const int16_t* In) { return TilePeakBody<GainTile>(In); }
[[gnu::target("avx2")]] bool AmplifyTileWide(const int16_t* In, int16_t* Out, uint8_t* Flag, int32_t L, int32_t Clip) {
    return AmplifyTileBody<GainTile>(In, Out, Flag, L, Clip);
}
bool HasWideVectors() {
    __builtin_cpu_init(); // runs before main, as a static initialiser
    return __builtin_cpu_supports("avx2");
}
#else
int32_t TilePeakWide(const int16_t* In) { return TilePeakBase(In); }
bool AmplifyTileWide(const int16_t* In, int16_t* Out, uint8_t* Flag, int32_t L, int32_t Clip) {
    return AmplifyTileBase(In, Out, Flag, L, Clip);
}
bool HasWideVectors() { return false; }
#endif

} // namespace

bool WideVectors = HasWideVectors();

namespace {

int32_t TilePeak(const int16_t* In) { return WideVectors ? TilePeakWide(In) : TilePeakBase(In); }
bool AmplifyTile(const int16_t* In, int16_t* Out, uint8_t* Flag, int32_t L, int32_t Clip) {
    return WideVectors ? AmplifyTileWide(In, Out, Flag, L, Clip) : AmplifyTileBase(In, Out, Flag, L, Clip);
}

// AmplifyExact for |s * L / 100| below 2^52, without the library call (the exact halves of the
// fast paths come here): adding 1.5 * 2^63 leaves no fraction bits, so the FPU rounds the sum
// half to even like llrint; the integer then goes through double, which holds it exactly and
// converts without switching the x87 rounding mode.
inline int64_t AmplifyTie(int64_t S, int64_t L) {
    constexpr long double Shift = 13835058055282163712.0L;
    constexpr long double Range = 4503599627370496.0L;
    const long double Quotient = static_cast<long double>(S) / 100.0L;
    const long double Product = Quotient * static_cast<long double>(L);
    if (!(Product > -Range && Product < Range)) return static_cast<int64_t>(std::llrint(Product));
    return static_cast<int64_t>(static_cast<double>((Product + Shift) - Shift));
}

} // namespace

int64_t AmplifyExact(int64_t S, int64_t L) {
    const long double Quotient = static_cast<long double>(S) / 100.0L;
    const long double Product = Quotient * static_cast<long double>(L);
    return static_cast<int64_t>(std::llrint(Product));
}

int64_t Amplify(int64_t S, int64_t L) {
    // Beyond these magnitudes s * L could overflow and the error bound below fails.
    if (S > (int64_t{1} << 20) || S < -(int64_t{1} << 20) || L > (int64_t{1} << 40) || L < -(int64_t{1} << 40))
        return AmplifyExact(S, L);
    // Away from exact halves the extended-precision result is within far less than 1/100 of
    // the exact s * L / 100 (a relative error of about 2^-63 on less than 2^60), so integer
    // rounding gives the same value.
    const int64_t P = S * L;
    const int64_t Q = P / 100;
    const int64_t R = P % 100;
    if (R == 50 || R == -50) return AmplifyTie(S, L);
    return Q + (R > 50) - (R < -50);
}

int64_t AmplifyRun(const int16_t* In, int16_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, 32768); // every value stored must fit 16 bits
    int64_t Done = 0;
    if (L >= -FastGainLimit && L <= FastGainLimit && Clip > 0) {
        while (Done < Count) {
            const int64_t N = std::min(GainTile, Count - Done);
            // A last, short tile is padded with silence, which is never flagged.
            int16_t Pad[GainTile];
            int16_t Short[GainTile];
            uint8_t Flag[GainTile];
            const int16_t* Src = In + Done;
            int16_t* Dst = Out + Done;
            if (N < GainTile) {
                std::memset(Pad, 0, sizeof Pad);
                std::memcpy(Pad, Src, static_cast<size_t>(N) * 2);
                Src = Pad;
                Dst = Short;
            }
            if (AmplifyTile(Src, Dst, Flag, static_cast<int32_t>(L), static_cast<int32_t>(Clip))) {
                // Exact halves take the extended path; the flags are scanned eight at a time.
                for (int64_t W = 0; W < GainTile; W += 8) {
                    uint64_t Flags;
                    std::memcpy(&Flags, Flag + W, 8);
                    while (Flags != 0) {
                        const int64_t K = W + std::countr_zero(Flags) / 8;
                        Flags &= Flags - 1;
                        const int64_t V = AmplifyTie(Src[K], L);
                        if (V >= Clip || V <= -Clip) {
                            if (Dst == Short) std::memcpy(Out + Done, Short, static_cast<size_t>(K) * 2);
                            return Done + K;
                        }
                        Dst[K] = static_cast<int16_t>(V);
                    }
                }
            }
            if (Dst == Short) std::memcpy(Out + Done, Short, static_cast<size_t>(N) * 2);
            Done += N;
        }
        return Done;
    }
    for (; Done < Count; ++Done) {
        const int64_t V = Amplify(In[Done], L);
        if (V >= Clip || V <= -Clip) return Done;
        Out[Done] = static_cast<int16_t>(V);
    }
    return Done;
}

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
        int32_t Peak = static_cast<int32_t>(E.Peak);
        int16_t Tile[GainTile];
        for (int64_t I = 0; I < Count; I += GainTile) {
            const int64_t N = std::min<int64_t>(GainTile, Count - I);
            if (N == GainTile) { // a copy of known size, done inline
                LoadSamples(Block + 2 * I, Tile, GainTile);
                Peak = std::max(Peak, TilePeak(Tile));
            } else {
                LoadSamples(Block + 2 * I, Tile, N);
                Peak = std::max(Peak, TailPeak(Tile, N));
            }
        }
        E.Peak = Peak;
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
        constexpr int64_t Run = 4 * GainTile;
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

void TSonoliftApp::EmitHeld(int64_t Committed, bool Failed) {
    std::string Text;
    while (!FHeld.empty() && (FHeld.front().End <= Committed || (Failed && FHeld.front().Start <= Committed))) {
        Text += FHeld.front().Lines;
        FHeld.pop_front();
    }
    if (Failed) FHeld.clear();
    if (!Text.empty()) vx::WriteOut(Text);
}

void TSonoliftApp::FlushPending(wave::TWaveIO& Input, wave::TWaveIO& Output, int64_t& FramesRead,
                                int64_t& FramesLeft) {
    const int64_t InAlign = Input.Format().BlockAlign;
    const int64_t OutAlign = Output.Format().BlockAlign;
    const int64_t Capacity = static_cast<int64_t>(SampleBlock.size());
    while (FEngine.Pending > 0) {
        int64_t N = FEngine.Pending;
        if (N * InAlign > Capacity) N = Capacity / InAlign;
        Input.SetPosition(FEngine.FramesDone * InAlign);
        Input.ReadWaveData(SampleBlock.data(), static_cast<int32_t>(InAlign * N));
        ApplyGain(N);
        const int64_t Start = FEngine.FramesDone * OutAlign;
        // Held before the write: a write that fails still shows the block's lines, as they
        // were reported when the block was amplified.
        if (!FOverloadText.empty()) {
            FHeld.push_back(THeldLines{Start, Start + OutAlign * N, std::move(FOverloadText)});
            FOverloadText.clear();
        }
        Output.WriteWaveData(SampleBlock.data(), static_cast<int32_t>(OutAlign * N));
        // Lines wait only while their bytes wait in the window: write it now, or a run of
        // overloading blocks would hold its whole text in memory.
        if (!FHeld.empty()) Output.FlushWindow();
        if (!FHeld.empty()) EmitHeld(Output.CommittedData(), false);
        FEngine.Pending -= N;
        FEngine.FramesDone += N;
    }
    FramesRead = FEngine.FramesDone;
    FramesLeft = Input.DataSize() / InAlign - FramesRead;
}

int TSonoliftApp::ProcessFile(const std::string& Path) {
    std::unique_ptr<wave::TWaveIO> Input;
    std::unique_ptr<wave::TWaveIO> Output;
    FHeld.clear();
    FOverloadText.clear();
    try {
        Input = std::make_unique<wave::TWaveIO>(Path, wave::TWaveIOMode::wioRead);
        vx::WriteOut(Path);
        vx::FlushOut();
        if (Input->Modified()) {
            vx::WriteOut(" -- Corrupt");
            vx::FlushOut();
        }
        vx::WriteOut("\n");
        const wave::TWaveFormat& Format = Input->Format();
        // The engine reads 16-bit samples only, and each frame must hold all its channels
        // (a file of no channels has no samples to give).
        if (Format.BitsPerSample != 16 || Format.BlockAlign == 0 || Format.Channels == 0 ||
            Format.BlockAlign < 2 * static_cast<int64_t>(Format.Channels))
            throw EvxError("unsupported sample format");
        const std::string OutFile = OutName() + "-lift.wav";
        // Creating the output would destroy an input that it names.
        if (Input->RefersTo(OutFile) || LinksToAnInput(OutFile, Files())) throw EvxError("output is an input");
        Output = std::make_unique<wave::TWaveIO>(OutFile, wave::TWaveIOMode::wioRewrite);
        Output->SetFormat(Format);
        const int64_t InAlign = Format.BlockAlign;
        SampleBlock.assign(static_cast<size_t>(BlockFrames * InAlign), 0);
        FEngine.Channels = Format.Channels;
        int64_t FramesLeft = Input->DataSize() / InAlign;
        int64_t FramesRead = 0;
        FEngine.FramesDone = 0;
        PrepareLimits(Format);
        FEngine.OutBits = Output->Format().BitsPerSample;
        const int64_t Capacity = static_cast<int64_t>(SampleBlock.size());
        while (FramesLeft > 0) {
            int64_t N = FramesLeft;
            if (N * InAlign > Capacity) N = Capacity / InAlign;
            Input->SetPosition(FramesRead * InAlign);
            Input->ReadWaveData(SampleBlock.data(), static_cast<int32_t>(InAlign * N));
            if (MeasureBlock(N)) {
                FlushPending(*Input, *Output, FramesRead, FramesLeft);
            } else {
                FramesLeft -= N;
                FramesRead += N;
            }
        }
        FlushPending(*Input, *Output, FramesRead, FramesLeft);
        SampleBlock.clear();
        SampleBlock.shrink_to_fit();
        Output->Release();
        EmitHeld(INT64_MAX, false);
        Input->Release();
        return 0;
    } catch (...) {
        if (Output) {
            try {
                Output->FlushWindow();
            } catch (...) {
            }
            EmitHeld(Output->CommittedData(), true);
        }
        FHeld.clear();
        FOverloadText.clear();
        SampleBlock.clear();
        vx::WriteOut("FileName: " + Path + FailureTail);
        return -1;
    }
}

} // namespace sonolift
