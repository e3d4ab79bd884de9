#include "StaticGain.h"

#include "vxSystem.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace sonoloud {

namespace {

using vx::TSampleEncoding;

// Samples per block, whatever the channel count: each buffer stays at 128 KiB.
constexpr int64_t BlockSamples = 16384;

template <class T>
void ToDoubles(const uint8_t* Values, int64_t Count, double Scale, double* Out) {
    for (int64_t I = 0; I < Count; ++I) {
        T V;
        std::memcpy(&V, Values + I * static_cast<int64_t>(sizeof(T)), sizeof(T));
        Out[I] = static_cast<double>(V) * Scale;
    }
}

// Rounded half to even (the default rounding mode) at the valid bits and held within the
// format's range.
template <class T>
void ScaleInts(uint8_t* Values, int64_t Count, double Factor, double Low, double High, int Unused) {
    for (int64_t I = 0; I < Count; ++I) {
        T V;
        std::memcpy(&V, Values + I * static_cast<int64_t>(sizeof(T)), sizeof(T));
        V = static_cast<T>(std::clamp(vx::RoundToValidBits(static_cast<double>(V) * Factor, Unused), Low, High));
        std::memcpy(Values + I * static_cast<int64_t>(sizeof(T)), &V, sizeof(T));
    }
}

struct TBlocks {
    TBlocks(const wave::TWaveIO& Input, TSampleEncoding E)
        : Align(Input.Format().BlockAlign), Channels(Input.Format().Channels),
          Frames(std::max<int64_t>(1, BlockSamples / std::max<int64_t>(1, Channels))),
          Total(Align > 0 ? Input.DataSize() / Align : 0), Bytes(static_cast<size_t>(Frames * Align)),
          Values(static_cast<size_t>(Frames * Channels * ValueBytes(E))) {}
    // Reads the next block into Bytes and decodes it into Values; the frames read, 0 at the end.
    int64_t Next(wave::TWaveIO& Input, TSampleEncoding E) {
        const int64_t N = std::min(Frames, Total - Done);
        if (N <= 0) return 0;
        Input.SetPosition(Done * Align);
        Input.ReadWaveData(Bytes.data(), static_cast<int32_t>(N * Align));
        vx::DecodeSamples(E, Bytes.data(), N * Channels, Values.data());
        Done += N;
        return N;
    }
    int64_t Align, Channels, Frames, Total, Done = 0;
    std::vector<uint8_t> Bytes, Values;
};

} // namespace

double FullScale(TSampleEncoding E) {
    return vx::IsFloat(E) ? 1.0 : std::ldexp(1.0, 8 * vx::SampleBytes(E) - 1);
}

TGainPlan PlanGain(const TLoudness& L, double Target, double Ceiling, TSampleEncoding E, int Unused) {
    TGainPlan P;
    P.Db = Target - L.Integrated;
    if (std::isfinite(L.TruePeak) && L.TruePeak + P.Db > Ceiling) P.Db = Ceiling - L.TruePeak, P.Limited = true;
    P.Factor = std::pow(10.0, P.Db / 20);
    if (vx::IsFloat(E)) return P;
    // The extremes in the format's own values, and the largest factor that keeps them in range.
    const double Full = FullScale(E), High = L.MaxSample * Full, Low = -L.MinSample * Full, Top = Full - std::ldexp(1.0, Unused);
    auto Fits = [&](double F) { return vx::RoundToValidBits(High * F, Unused) <= Top && vx::RoundToValidBits(Low * F, Unused) <= Full; };
    if (!Fits(P.Factor)) {
        double F = std::min(High > 0 ? Top / High : P.Factor, Low > 0 ? Full / Low : P.Factor);
        while (!Fits(F)) F = std::nextafter(F, 0.0);
        P.Factor = F, P.Db = 20 * std::log10(F), P.Limited = true;
    }
    return P;
}

void ValuesToDoubles(TSampleEncoding E, const uint8_t* Values, int64_t Count, double* Out) {
    const double Scale = 1 / FullScale(E);
    switch (vx::ValueBytes(E)) {
    case 2: ToDoubles<int16_t>(Values, Count, Scale, Out); break;
    case 4: ToDoubles<int32_t>(Values, Count, Scale, Out); break;
    default: ToDoubles<double>(Values, Count, Scale, Out); break;
    }
}

void ReadFrames(wave::TWaveIO& Input, TSampleEncoding E, const std::function<void(const double*, int64_t)>& Use) {
    TBlocks B(Input, E);
    std::vector<double> Frames(static_cast<size_t>(B.Frames * B.Channels));
    for (int64_t N; (N = B.Next(Input, E)) > 0;) {
        ValuesToDoubles(E, B.Values.data(), N * B.Channels, Frames.data());
        Use(Frames.data(), N);
    }
}

void ScaleFrames(wave::TWaveIO& Input, TSampleEncoding E, double Factor, const TBytesSink& Put) {
    TBlocks B(Input, E);
    const int Unused = vx::UnusedBits(Input.Format(), Input.Extension());
    const double Full = FullScale(E), Top = Full - std::ldexp(1.0, Unused);
    for (int64_t N; (N = B.Next(Input, E)) > 0;) {
        const int64_t Count = N * B.Channels;
        switch (vx::ValueBytes(E)) {
        case 2: ScaleInts<int16_t>(B.Values.data(), Count, Factor, -Full, Top, Unused); break;
        case 4: ScaleInts<int32_t>(B.Values.data(), Count, Factor, -Full, Top, Unused); break;
        default:
            for (int64_t I = 0; I < Count; ++I) {
                double V;
                std::memcpy(&V, B.Values.data() + I * 8, 8);
                V *= Factor;
                std::memcpy(B.Values.data() + I * 8, &V, 8);
            }
            break;
        }
        vx::EncodeSamples(E, B.Values.data(), Count, B.Bytes.data());
        Put(B.Bytes.data(), static_cast<size_t>(N * B.Align));
    }
}

void WriteScaled(wave::TWaveIO& Input, wave::TWaveIO& Output, TSampleEncoding E, double Factor) {
    ScaleFrames(Input, E, Factor, [&](const uint8_t* Bytes, size_t Count) { Output.WriteWaveData(Bytes, static_cast<int32_t>(Count)); });
}

vx::TSampleEncoding MeasurableEncoding(const wave::TWaveIO& Input) {
    const wave::TWaveFormat& Format = Input.Format();
    const vx::TSampleEncoding E = vx::ReadableEncoding(Input);
    if (Format.BlockAlign != Format.Channels * vx::SampleBytes(E))
        throw vx::EvxError("frames of " + std::to_string(Format.BlockAlign) + " bytes are wider than their samples: the padding is no sound to measure");
    return E;
}

TLoudness MeasureWave(wave::TWaveIO& Input, vx::TSampleEncoding E) {
    const uint32_t Mask = Input.Extension().Present ? Input.Extension().ChannelMask : 0;
    TLoudnessMeter Meter(Input.Format().Channels, Input.Format().SamplesPerSec, Mask);
    ReadFrames(Input, E, [&](const double* Frames, int64_t Count) { Meter.Add(Frames, Count); });
    return Meter.Result();
}

std::unique_ptr<wave::TWaveIO> CreateLike(const wave::TWaveIO& Input, const std::string& OutFile, size_t Window) {
    auto Output = std::make_unique<wave::TWaveIO>(OutFile, wave::TWaveIOMode::wioRewrite, Window);
    Output->SetFormat(Input.Format());
    // An extensible input keeps its extension; an output past 4 GiB becomes RF64.
    Output->SetLayout(Input.Extension(), Input.DataSize() / Input.Format().BlockAlign * Output->Format().BlockAlign);
    return Output;
}

void WriteNormalised(wave::TWaveIO& Input, const std::string& OutFile, vx::TSampleEncoding E, double Factor, size_t Window) {
    const std::unique_ptr<wave::TWaveIO> Output = CreateLike(Input, OutFile, Window);
    WriteScaled(Input, *Output, E, Factor);
    Output->Release();
}

void EncodeFrames(TSampleEncoding E, int Channels, const double* Frames, int64_t Count, const TBytesSink& Put) {
    const double Full = FullScale(E);
    const int64_t Piece = std::max<int64_t>(1, BlockSamples / Channels) * Channels;
    std::vector<uint8_t> Values(static_cast<size_t>(Piece * vx::ValueBytes(E))), Bytes(static_cast<size_t>(Piece * 8));
    for (int64_t Done = 0; Done < Count * Channels;) {
        const int64_t N = std::min(Piece, Count * Channels - Done);
        for (int64_t I = 0; I < N; ++I) {
            const double V = Frames[Done + I] * (vx::IsFloat(E) ? 1.0 : Full);
            if (vx::ValueBytes(E) == 2) {
                const auto W = static_cast<int16_t>(V);
                std::memcpy(Values.data() + I * 2, &W, 2);
            } else if (vx::ValueBytes(E) == 4) {
                const auto W = static_cast<int32_t>(V);
                std::memcpy(Values.data() + I * 4, &W, 4);
            } else {
                std::memcpy(Values.data() + I * 8, &V, 8);
            }
        }
        vx::EncodeSamples(E, Values.data(), N, Bytes.data());
        Put(Bytes.data(), static_cast<size_t>(N * vx::SampleBytes(E)));
        Done += N;
    }
}

} // namespace sonoloud
