#include "GainKernels.h"

#include "GainArithmetic.h"
#include "GainTiles.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace sonolift {

#if !defined(SONOLIFT_AVX2)
// Without an AVX2 build the wide passes are the baseline ones, and never picked.
int32_t SpanPeakWide(const uint8_t* Bytes, int64_t Count) { return SpanPeakBody(Bytes, Count); }
bool AmplifyTilesWide(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip) {
    return AmplifyTilesBody(In, Out, Flag, Tiles, L, Clip);
}
#endif

namespace {

bool HasWideVectors() {
#if defined(SONOLIFT_AVX2)
    __builtin_cpu_init(); // runs before main, as a static initialiser
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool AmplifyTiles(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip) {
    return WideVectors ? AmplifyTilesWide(In, Out, Flag, Tiles, L, Clip) : AmplifyTilesBody(In, Out, Flag, Tiles, L, Clip);
}

} // namespace

bool WideVectors = HasWideVectors();

int32_t SpanPeak(const uint8_t* Bytes, int64_t Count) {
    return WideVectors ? SpanPeakWide(Bytes, Count) : SpanPeakBody(Bytes, Count);
}

namespace {

// Amplify of In[0..Count) into Out up to the first value at Clip, a run of tiles at a time:
// Tiles amplifies whole tiles and flags the values it cannot settle (exact halves, values at
// the limit), which Amplify then settles one by one. A last, short tile is padded with
// silence, which is never flagged.
template <class T, class TTiles>
int64_t RunInTiles(const T* In, T* Out, int64_t Count, int64_t L, int64_t Clip, TTiles&& Tiles) {
    constexpr int64_t Chunk = 4 * GainTile;
    uint8_t Flag[Chunk];
    T Pad[GainTile], Short[GainTile];
    int64_t Done = 0;
    while (Done < Count) {
        int64_t N = std::min(Chunk, Count - Done), Whole = N / GainTile;
        const T* Src = In + Done;
        T* Dst = Out + Done;
        if (Whole == 0) {
            std::fill(Pad, Pad + GainTile, T{0});
            std::copy(Src, Src + N, Pad);
            Src = Pad, Dst = Short, Whole = 1;
        } else {
            N = Whole * GainTile;
        }
        if (Tiles(Src, Dst, Flag, Whole)) {
            // the flags are scanned eight at a time
            for (int64_t W = 0; W < Whole * GainTile; W += 8) {
                uint64_t Flags;
                std::memcpy(&Flags, Flag + W, 8);
                while (Flags != 0) {
                    const int Bit = std::countr_zero(Flags) & ~7;
                    const int64_t K = W + Bit / 8;
                    Flags &= ~(uint64_t{0xFF} << Bit);
                    const int64_t V = Amplify(Src[K], L);
                    if (V >= Clip || V <= -Clip) {
                        if (Dst == Short) std::copy(Short, Short + K, Out + Done);
                        return Done + K;
                    }
                    Dst[K] = static_cast<T>(V);
                }
            }
        }
        if (Dst == Short) std::copy(Short, Short + N, Out + Done);
        Done += N;
    }
    return Done;
}

// One tile of 32-bit samples in double precision, for |L| <= 2^21: the rule of the 16-bit tile
// with wider numbers. s * A (below 2^46) and s * B (below 2^38) are exact, s * B * 0.01 is
// within 2^-14 of s * B / 100, so rounding it is exact but at an exact half.
bool AmplifyTiles32(const int32_t* __restrict In, int32_t* __restrict Out, uint8_t* __restrict Flag, int64_t Tiles,
                    int64_t L, int64_t Clip) {
    const int64_t A = L >= 0 ? L / 100 : -((99 - L) / 100);
    const double FA = static_cast<double>(A), FB = static_cast<double>(L - 100 * A), FClip = static_cast<double>(Clip);
    constexpr double Shift = 6755399441055744.0; // 1.5 * 2^52: the sum keeps no fraction bits
    int32_t Any = 0;
    for (int64_t K = 0; K < Tiles * GainTile; ++K) {
        const double S = In[K];
        const double Hundredths = S * FB * 0.01;
        const double Rounded = (Hundredths + Shift) - Shift;
        const double V = S * FA + Rounded;
        const int32_t F = static_cast<int32_t>(__builtin_fabs(Hundredths - Rounded) > 0.495) * TieFlag |
                          static_cast<int32_t>(__builtin_fabs(V) >= FClip) * ClipFlag;
        Out[K] = static_cast<int32_t>(static_cast<int64_t>(V));
        Flag[K] = static_cast<uint8_t>(F);
        Any |= F;
    }
    return Any != 0;
}

} // namespace

int64_t AmplifyRun(const int16_t* In, int16_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, 32768); // every value stored must fit 16 bits
    if (L >= -FastGainLimit && L <= FastGainLimit && Clip > 0)
        return RunInTiles(In, Out, Count, L, Clip, [&](const int16_t* Src, int16_t* Dst, uint8_t* Flag, int64_t Tiles) {
            return AmplifyTiles(Src, Dst, Flag, Tiles, static_cast<int32_t>(L), static_cast<int32_t>(Clip));
        });
    int64_t Done = 0;
    for (; Done < Count; ++Done) {
        const int64_t V = Amplify(In[Done], L);
        if (V >= Clip || V <= -Clip) return Done;
        Out[Done] = static_cast<int16_t>(V);
    }
    return Done;
}

int64_t AmplifyRun32(const int32_t* In, int32_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, int64_t{1} << 31); // every value stored must fit 32 bits
    if (L >= -(int64_t{1} << 21) && L <= (int64_t{1} << 21) && Clip > 0)
        return RunInTiles(In, Out, Count, L, Clip, [&](const int32_t* Src, int32_t* Dst, uint8_t* Flag, int64_t Tiles) {
            return AmplifyTiles32(Src, Dst, Flag, Tiles, L, Clip);
        });
    int64_t Done = 0;
    for (; Done < Count; ++Done) {
        const int64_t V = Amplify(In[Done], L);
        if (V >= Clip || V <= -Clip) return Done;
        Out[Done] = static_cast<int32_t>(V);
    }
    return Done;
}

int64_t AmplifyRunFloat(const double* In, double* Out, int64_t Count, int64_t L, double Clip) {
    const double Gain = static_cast<double>(L);
    for (int64_t K = 0; K < Count; ++K) {
        const double V = In[K] / 100.0 * Gain;
        if (__builtin_fabs(V) >= Clip) return K;
        Out[K] = V;
    }
    return Count;
}

int64_t SpanPeak32(const uint8_t* Values, int64_t Count) {
    int32_t High = 0, Low = 0;
    for (int64_t K = 0; K < Count; ++K) {
        int32_t V;
        std::memcpy(&V, Values + 4 * K, 4);
        High = V > High ? V : High;
        Low = V < Low ? V : Low;
    }
    return std::max<int64_t>(High, -static_cast<int64_t>(Low));
}

double SpanPeakFloat(const uint8_t* Values, int64_t Count) {
    double Peak = 0;
    for (int64_t K = 0; K < Count; ++K) {
        double V;
        std::memcpy(&V, Values + 8 * K, 8);
        V = __builtin_fabs(V);
        Peak = V > Peak ? V : Peak;
    }
    return Peak;
}

} // namespace sonolift
