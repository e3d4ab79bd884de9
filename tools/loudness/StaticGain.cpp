#include "StaticGain.h"

#include "ByteOrder.h"
#include "vxSystem.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonoloud {

namespace {

using vx::TSampleEncoding;

// Samples per block, whatever the channel count: each buffer stays at 128 KiB.
constexpr int64_t BlockSamples = 16384;

// Count integer samples of Width little-endian bytes from Bytes as doubles times Scale: 8-bit
// ones stored unsigned, plus 128; wider ones signed.
template <int Width>
void IntsToDoubles(const uint8_t* Bytes, int64_t Count, double Scale, double* Out) {
    int64_t I = 0;
#if defined(__SSE2__)
    if constexpr (std::endian::native == std::endian::little && Width > 1) {
        constexpr int Shift = 32 - 8 * Width;
        // four samples at a time, each read as four bytes (the top one shifted out), while the
        // last sample's four bytes are still in the block; converted two by two
        const __m128d Times = _mm_set1_pd(Scale);
        for (; I + 4 < Count; I += 4) {
            const auto Load = [&](int K) {
                int32_t U;
                std::memcpy(&U, Bytes + (I + K) * Width, 4);
                return _mm_cvtsi32_si128(U);
            };
            __m128i V = _mm_unpacklo_epi64(_mm_unpacklo_epi32(Load(0), Load(1)), _mm_unpacklo_epi32(Load(2), Load(3)));
            V = _mm_srai_epi32(_mm_slli_epi32(V, Shift), Shift);
            _mm_storeu_pd(Out + I, _mm_mul_pd(_mm_cvtepi32_pd(V), Times));
            _mm_storeu_pd(Out + I + 2, _mm_mul_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(V, 0xEE)), Times));
        }
    }
#endif
    for (; I < Count; ++I) {
        const uint8_t* P = Bytes + I * Width;
        const int64_t V = Width == 1 ? static_cast<int64_t>(wave::GetLE(P, 1)) - 128 : wave::GetLESigned(P, Width);
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
    explicit TBlocks(const wave::TWaveIO& Input)
        : Align(Input.Format().BlockAlign), Channels(Input.Format().Channels),
          Frames(std::max<int64_t>(1, BlockSamples / std::max<int64_t>(1, Channels))),
          Total(Align > 0 ? Input.DataSize() / Align : 0), Bytes(static_cast<size_t>(Frames * Align)) {}
    // Reads the next block into Bytes; the frames read, 0 at the end.
    int64_t Next(wave::TWaveIO& Input) {
        const int64_t N = std::min(Frames, Total - Done);
        if (N <= 0) return 0;
        Input.SetPosition(Done * Align);
        Input.ReadWaveData(Bytes.data(), static_cast<int32_t>(N * Align));
        Done += N;
        return N;
    }
    int64_t Align, Channels, Frames, Total, Done = 0;
    std::vector<uint8_t> Bytes;
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

void BytesToDoubles(TSampleEncoding E, const uint8_t* Bytes, int64_t Count, double* Out) {
    const double Scale = 1 / FullScale(E);
    switch (E) {
    case TSampleEncoding::sePcm8: IntsToDoubles<1>(Bytes, Count, Scale, Out); break;
    case TSampleEncoding::sePcm16: IntsToDoubles<2>(Bytes, Count, Scale, Out); break;
    case TSampleEncoding::sePcm24: IntsToDoubles<3>(Bytes, Count, Scale, Out); break;
    case TSampleEncoding::sePcm32: IntsToDoubles<4>(Bytes, Count, Scale, Out); break;
    default: vx::DecodeSamples(E, Bytes, Count, reinterpret_cast<uint8_t*>(Out)); break; // floats are their values
    }
}

void ReadFrames(wave::TWaveIO& Input, TSampleEncoding E, const std::function<void(const double*, int64_t)>& Use) {
    TBlocks B(Input);
    std::vector<double> Frames(static_cast<size_t>(B.Frames * B.Channels));
    for (int64_t N; (N = B.Next(Input)) > 0;) {
        BytesToDoubles(E, B.Bytes.data(), N * B.Channels, Frames.data());
        Use(Frames.data(), N);
    }
}

void MeasureBytes(TLoudnessMeter& Meter, TSampleEncoding E, int Channels, const uint8_t* Bytes, int64_t Frames) {
    const int64_t Align = Channels * vx::SampleBytes(E);
    for (int64_t N; Frames > 0; Bytes += N * Align, Frames -= N) {
        N = Frames;
        double* Room = Meter.Room(N); // lowers N to the room there is
        BytesToDoubles(E, Bytes, N * Channels, Room);
        Meter.Commit(N);
    }
}

void ScaleFrames(wave::TWaveIO& Input, TSampleEncoding E, double Factor, const TBytesSink& Put) {
    TBlocks B(Input);
    std::vector<uint8_t> Values(static_cast<size_t>(B.Frames * B.Channels * vx::ValueBytes(E)));
    const int Unused = vx::UnusedBits(Input.Format(), Input.Extension());
    const double Full = FullScale(E), Top = Full - std::ldexp(1.0, Unused);
    for (int64_t N; (N = B.Next(Input)) > 0;) {
        const int64_t Count = N * B.Channels;
        vx::DecodeSamples(E, B.Bytes.data(), Count, Values.data());
        switch (vx::ValueBytes(E)) {
        case 2: ScaleInts<int16_t>(Values.data(), Count, Factor, -Full, Top, Unused); break;
        case 4: ScaleInts<int32_t>(Values.data(), Count, Factor, -Full, Top, Unused); break;
        default:
            for (int64_t I = 0; I < Count; ++I) {
                double V;
                std::memcpy(&V, Values.data() + I * 8, 8);
                V *= Factor;
                std::memcpy(Values.data() + I * 8, &V, 8);
            }
            break;
        }
        vx::EncodeSamples(E, Values.data(), Count, B.Bytes.data());
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
    TBlocks B(Input);
    for (int64_t N; (N = B.Next(Input)) > 0;) MeasureBytes(Meter, E, B.Channels, B.Bytes.data(), N);
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
