// The portable bodies of the passes, which every kernel source compiles for its own
// instruction set, and the sizes and flags the sources share. Everything here has internal
// linkage and calls no library template, so that no copy built for a wider set can stand in for
// another source's (an instruction-set source keeps to the same rule).
#pragma once

#include "GainKernels.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace sonolift {
namespace {

// Samples per tile of the amplifying pass, and per chunk of tiles taken at a time.
constexpr int64_t GainTile = 64;
constexpr int64_t GainChunk = 4 * GainTile;
// Largest gain magnitude of the single-precision tile pass.
constexpr int64_t FastGainLimit = 32767;
constexpr uint8_t TieFlag = 1, ClipFlag = 2;

// The whole hundreds of a gain, rounded down: L = 100 A + B with 0 <= B < 100.
template <class T>
constexpr T WholeHundreds(T L) {
    return L >= 0 ? L / 100 : -((99 - L) / 100);
}

namespace portable {

// The peak magnitude of Count native 16-bit values from their largest and smallest (|-32768| does not fit
// 16 bits, the extremes do), kept lane by lane in a vector and folded once at the end.
using TPeakLanes = int16_t __attribute__((vector_size(32)));
[[gnu::always_inline]] inline int32_t Peak16(const uint8_t* Bytes, int64_t Count) {
    constexpr int64_t Lanes = sizeof(TPeakLanes) / 2;
    TPeakLanes High = {}, Low = {};
    int64_t K = 0;
    for (; K + Lanes <= Count; K += Lanes) {
        TPeakLanes X;
        std::memcpy(&X, Bytes + 2 * K, sizeof X);
        High = X > High ? X : High;
        Low = X < Low ? X : Low;
    }
    int32_t Peak = 0;
    for (int64_t J = 0; J < Lanes; ++J) {
        const int32_t H = High[J], L = -static_cast<int32_t>(Low[J]);
        Peak = H > Peak ? H : Peak;
        Peak = L > Peak ? L : Peak;
    }
    for (; K < Count; ++K) {
        int16_t V;
        std::memcpy(&V, Bytes + 2 * K, 2);
        const int32_t S = V, M = S < 0 ? -S : S;
        Peak = M > Peak ? M : Peak;
    }
    return Peak;
}

// One tile of Amplify in single precision, for |L| <= FastGainLimit. With L = 100 A + B and
// 0 <= B < 100, s * L / 100 = s * A + s * B / 100. s * A (below 2^24) and s * B (below 2^22)
// are exact; s * B * 0.01f is within 0.003 of s * B / 100, whose fraction is a whole number
// of hundredths, so rounding it to the nearest integer is exact except at an exact half,
// which leaves the rounded value 0.497 or more away and is flagged TieFlag. A sample whose
// result reaches Clip is flagged ClipFlag. Returns whether any sample was flagged.
template <int64_t N>
[[gnu::always_inline]] inline bool Tile16(const int16_t* __restrict In, int16_t* __restrict Out,
                                                   uint8_t* __restrict Flag, int32_t L, int32_t Clip) {
    const int32_t A = WholeHundreds(L);
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
        const int32_t F = static_cast<int32_t>(__builtin_fabsf(Hundredths - Rounded) > 0.495f) * TieFlag |
                          static_cast<int32_t>(__builtin_fabsf(V) >= FClip) * ClipFlag;
        Out[K] = static_cast<int16_t>(static_cast<int32_t>(V));
        Flag[K] = static_cast<uint8_t>(F);
        Any |= F;
    }
    return Any != 0;
}

inline bool Tiles16(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip) {
    bool Any = false;
    for (int64_t T = 0; T < Tiles; ++T)
        Any |= Tile16<GainTile>(In + GainTile * T, Out + GainTile * T, Flag + GainTile * T, L, Clip);
    return Any;
}

// Tiles of 32-bit samples in double precision, for |L| <= 2^21: the rule of the 16-bit tile with
// wider numbers. s * A (below 2^46) and s * B (below 2^38) are exact, s * B * 0.01 is within
// 2^-14 of s * B / 100, so rounding it is exact but at an exact half.
inline bool Tiles32(const int32_t* __restrict In, int32_t* __restrict Out, uint8_t* __restrict Flag, int64_t Tiles,
                               int64_t L, int64_t Clip) {
    const int64_t A = WholeHundreds(L);
    const double FA = static_cast<double>(A), FB = static_cast<double>(L - 100 * A), FClip = static_cast<double>(Clip);
    constexpr double Shift = 6755399441055744.0; // 1.5 * 2^52: the sum keeps no fraction bits
    int32_t Any = 0;
    for (int64_t T = 0; T < Tiles * GainTile; T += GainTile) {
        for (int64_t K = T; K < T + GainTile; ++K) {
            const double S = In[K];
            const double Hundredths = S * FB * 0.01;
            const double Rounded = (Hundredths + Shift) - Shift;
            const double V = S * FA + Rounded;
            const int32_t F = static_cast<int32_t>(__builtin_fabs(Hundredths - Rounded) > 0.495) * TieFlag |
                              static_cast<int32_t>(__builtin_fabs(V) >= FClip) * ClipFlag;
            // a value that does not fit is flagged, and never used
            Out[K] = static_cast<int32_t>(V < 2147483647.0 ? (V > -2147483648.0 ? V : -2147483648.0) : 2147483647.0);
            Flag[K] = static_cast<uint8_t>(F);
            Any |= F;
        }
    }
    return Any != 0;
}

// Tiles of float samples: s / 100 * L in double precision, flagged where it reaches Clip or is
// not a number.
inline bool TilesFloat64(const double* __restrict In, double* __restrict Out, uint8_t* __restrict Flag, int64_t Tiles,
                                  int64_t L, double Clip) {
    const double Gain = static_cast<double>(L);
    int32_t Any = 0;
    for (int64_t T = 0; T < Tiles * GainTile; T += GainTile) {
        for (int64_t K = T; K < T + GainTile; ++K) {
            Out[K] = In[K] / 100.0 * Gain;
            const int32_t F = static_cast<int32_t>(!(__builtin_fabs(Out[K]) < Clip)) * ClipFlag;
            Flag[K] = static_cast<uint8_t>(F);
            Any |= F;
        }
    }
    return Any != 0;
}

// The largest magnitude of Count native floating-point samples, as the bits of the magnitude
// (which order as integers; a value of all exponent bits or more means one of them is not
// finite); TBits is their width. A block of fixed length at a time, which the compiler vectorises.
template <typename TBits>
inline TBits SpanMagnitudeBits(const uint8_t* Values, int64_t Count) {
    constexpr int64_t Block = 64;
    constexpr auto Magnitude = static_cast<TBits>(std::numeric_limits<std::make_unsigned_t<TBits>>::max() >> 1);
    TBits Peak = 0;
    TBits Bits[Block];
    for (int64_t K = 0; K < Count; K += Block) {
        const int64_t N = Count - K < Block ? Count - K : Block;
        std::memcpy(Bits, Values + sizeof(TBits) * K, static_cast<size_t>(N) * sizeof(TBits));
        for (int64_t J = N; J < Block; ++J) Bits[J] = 0;
        for (int64_t J = 0; J < Block; ++J) {
            const TBits M = Bits[J] & Magnitude;
            Peak = M > Peak ? M : Peak;
        }
    }
    return Peak;
}

// The largest magnitude of Count finite doubles.
inline double PeakFloat64(const uint8_t* Values, int64_t Count) {
    const int64_t Peak = SpanMagnitudeBits<int64_t>(Values, Count);
    double P;
    std::memcpy(&P, &Peak, 8);
    return P;
}

// The same for float samples, taken and given back as floats.
inline bool TilesFloat32(const float* __restrict In, float* __restrict Out, uint8_t* __restrict Flag, int64_t Tiles,
                         int64_t L, double Clip) {
    const double Gain = static_cast<double>(L);
    int32_t Any = 0;
    for (int64_t K = 0; K < Tiles * GainTile; ++K) {
        const double V = static_cast<double>(In[K]) / 100.0 * Gain;
        Out[K] = static_cast<float>(V);
        const int32_t F = static_cast<int32_t>(!(__builtin_fabs(V) < Clip)) * ClipFlag;
        Flag[K] = static_cast<uint8_t>(F);
        Any |= F;
    }
    return Any != 0;
}

// Count packed little-endian 24-bit samples to int32 values and back, byte by byte (the bytes
// are the file's, whatever the machine's order).
inline void Unpack24(const uint8_t* __restrict Bytes, int32_t* __restrict Values, int64_t Count) {
    for (int64_t K = 0; K < Count; ++K) {
        const uint8_t* P = Bytes + 3 * K;
        const uint32_t U = uint32_t{P[0]} << 8 | uint32_t{P[1]} << 16 | uint32_t{P[2]} << 24;
        Values[K] = static_cast<int32_t>(U) >> 8;
    }
}
inline void Pack24(const int32_t* __restrict Values, uint8_t* __restrict Bytes, int64_t Count) {
    for (int64_t K = 0; K < Count; ++K) {
        const auto U = static_cast<uint32_t>(Values[K]);
        Bytes[3 * K] = static_cast<uint8_t>(U);
        Bytes[3 * K + 1] = static_cast<uint8_t>(U >> 8);
        Bytes[3 * K + 2] = static_cast<uint8_t>(U >> 16);
    }
}

// The largest magnitude of Count 24-bit (Width 3) or 32-bit (Width 4) samples, a block at a time
// through Unpack, from their extremes.
template <int Width, class TUnpack>
inline int64_t PeakPacked(const uint8_t* Bytes, int64_t Count, TUnpack&& Unpack) {
    constexpr int64_t Block = 64;
    int32_t High = 0, Low = 0;
    int32_t V[Block];
    for (int64_t K = 0; K < Count; K += Block) {
        const int64_t N = Count - K < Block ? Count - K : Block;
        Unpack(Bytes + Width * K, V, N);
        for (int64_t J = N; J < Block; ++J) V[J] = 0;
        for (int64_t J = 0; J < Block; ++J) {
            High = V[J] > High ? V[J] : High;
            Low = V[J] < Low ? V[J] : Low;
        }
    }
    const int64_t Neg = -static_cast<int64_t>(Low);
    return Neg > High ? Neg : High;
}
inline int64_t Peak24(const uint8_t* Bytes, int64_t Count) { return PeakPacked<3>(Bytes, Count, Unpack24); }
inline int64_t Peak32(const uint8_t* Values, int64_t Count) {
    return PeakPacked<4>(Values, Count, [](const uint8_t* B, int32_t* V, int64_t N) { std::memcpy(V, B, static_cast<size_t>(N) * 4); });
}

// The largest magnitude of Count native floats, as the bits of the magnitude; 0x7F800000 or
// more means one of them is not finite.
inline uint32_t PeakFloat32(const uint8_t* Values, int64_t Count) { return SpanMagnitudeBits<uint32_t>(Values, Count); }

} // namespace portable
} // namespace

// The tables of the instruction sets built from sources of their own (on x86-64): each call
// fills in what its set does better, the table holding the set below it's passes before. Call
// only where the processor runs the set: the calls are built for it too.
void InitGainKernelsAvx2(TGainKernels& Table);
void InitGainKernelsAvx512(TGainKernels& Table);

} // namespace sonolift
