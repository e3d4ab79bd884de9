#include "GainKernels.h"

#include "GainArithmetic.h"
#include "GainTiles.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

namespace sonolift {

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
// the limit), which AmplifyValue then settles one by one. A last, short tile is padded with
// silence, which is never flagged.
template <class T, class TClip, class TTiles>
int64_t RunInTiles(const T* In, T* Out, int64_t Count, int64_t L, TClip Clip, TTiles&& Tiles) {
    using TValue = std::conditional_t<std::is_floating_point_v<T>, double, int64_t>;
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
                    const TValue V = AmplifyValue(static_cast<TValue>(Src[K]), L);
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
            return WideVectors ? AmplifyTiles32Wide(Src, Dst, Flag, Tiles, L, Clip) : AmplifyTiles32Body(Src, Dst, Flag, Tiles, L, Clip);
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
    // no exact halves here: only the values at the limit are flagged, and the run stops there
    return RunInTiles(In, Out, Count, L, Clip, [&](const double* Src, double* Dst, uint8_t* Flag, int64_t Tiles) {
        return WideVectors ? AmplifyTilesFloatWide(Src, Dst, Flag, Tiles, L, Clip) : AmplifyTilesFloatBody(Src, Dst, Flag, Tiles, L, Clip);
    });
}

int64_t SpanPeak32(const uint8_t* Values, int64_t Count) {
    return WideVectors ? SpanPeak32Wide(Values, Count) : SpanPeak32Body(Values, Count);
}

double SpanPeakFloat(const uint8_t* Values, int64_t Count) {
    return WideVectors ? SpanPeakFloatWide(Values, Count) : SpanPeakFloatBody(Values, Count);
}

} // namespace sonolift
