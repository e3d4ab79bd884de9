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

int64_t AmplifyRun(const int16_t* In, int16_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, 32768); // every value stored must fit 16 bits
    int64_t Done = 0;
    if (L >= -FastGainLimit && L <= FastGainLimit && Clip > 0) {
        constexpr int64_t Chunk = 4 * GainTile;
        uint8_t Flag[Chunk];
        // A last, short tile is padded with silence, which is never flagged.
        int16_t Pad[GainTile];
        int16_t Short[GainTile];
        while (Done < Count) {
            int64_t N = std::min(Chunk, Count - Done);
            int64_t Tiles = N / GainTile;
            const int16_t* Src = In + Done;
            int16_t* Dst = Out + Done;
            if (Tiles == 0) {
                std::memset(Pad, 0, sizeof Pad);
                std::memcpy(Pad, Src, static_cast<size_t>(N) * 2);
                Src = Pad;
                Dst = Short;
                Tiles = 1;
            } else {
                N = Tiles * GainTile;
            }
            if (AmplifyTiles(Src, Dst, Flag, Tiles, static_cast<int32_t>(L), static_cast<int32_t>(Clip))) {
                // The flags are scanned eight at a time; the exact halves still flagged (all of
                // them without AVX2) are settled by AmplifyTie, values at the limit by Amplify.
                for (int64_t W = 0; W < Tiles * GainTile; W += 8) {
                    uint64_t Flags;
                    std::memcpy(&Flags, Flag + W, 8);
                    while (Flags != 0) {
                        const int Bit = std::countr_zero(Flags) & ~7;
                        const int64_t K = W + Bit / 8;
                        const bool AtLimit = ((Flags >> Bit) & ClipFlag) != 0;
                        Flags &= ~(uint64_t{0xFF} << Bit);
                        const int64_t V = AtLimit ? Amplify(Src[K], L) : AmplifyTie(Src[K], L);
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

} // namespace sonolift
