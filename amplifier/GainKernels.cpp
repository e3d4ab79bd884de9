#include "GainKernels.h"

#include "GainArithmetic.h"
#include "GainTiles.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace sonolift {

namespace {

bool HasWideVectors() {
#if defined(SONOLIFT_AVX2)
    __builtin_cpu_init(); // runs before main, as a static initialiser
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

bool AmplifyTiles(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip) {
    return WideVectors ? AmplifyTilesWide(In, Out, Flag, Tiles, L, Clip) : AmplifyTilesBody(In, Out, Flag, Tiles, L, Clip);
}

bool HasWidestVectors() {
#if defined(SONOLIFT_AVX512)
    return HasWideVectors() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2");
#else
    return false;
#endif
}

} // namespace

bool WideVectors = HasWideVectors();
bool WidestVectors = HasWidestVectors();

int32_t SpanPeak(const uint8_t* Bytes, int64_t Count) {
    if (!WideVectors) return SpanPeakBody(Bytes, Count);
    return WidestVectors ? SpanPeakWidest(Bytes, Count) : SpanPeakWide(Bytes, Count);
}

namespace {

// Amplify of Count values at In into Out up to the first value at Clip, a chunk of tiles at a
// time: Load takes the chunk's values out of their bytes, Tiles amplifies whole tiles and flags
// the values it cannot settle (exact halves, values at the limit, not numbers), which
// AmplifyValue then settles one by one, and Store puts the values done back as bytes. A last,
// short tile is padded with silence, which is never flagged. Each chunk goes first to
// WholeChunk (where it is not nullptr; on the values as bytes, a short chunk padded with
// silence), which amplifies it into Dst at once where no value reaches Clip, and leaves it to
// the tiles otherwise.
template <class T, class TClip, class TLoad, class TTiles, class TStore, class TChunk = std::nullptr_t>
int64_t RunInTiles(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, TClip Clip, int64_t Size, TLoad&& Load,
                   TTiles&& Tiles, TStore&& Store, TChunk WholeChunk = nullptr) {
    using TValue = std::conditional_t<std::is_floating_point_v<T>, double, int64_t>;
    constexpr int64_t Chunk = GainChunk;
    T Src[Chunk], Dst[Chunk];
    uint8_t Flag[Chunk];
    int64_t Done = 0;
    while (Done < Count) {
        const int64_t N = std::min(Chunk, Count - Done), Whole = (N + GainTile - 1) / GainTile;
        // a whole chunk of values that are their own bytes goes to WholeChunk where it lies
        const bool Direct = N == Chunk && Size == static_cast<int64_t>(sizeof(T));
        if (!Direct) Load(In + Done * Size, Src, N);
        if constexpr (!std::is_same_v<TChunk, std::nullptr_t>) {
            std::fill(Src + N, Src + Chunk, T{0});
            if (WholeChunk(Direct ? In + Done * Size : reinterpret_cast<const uint8_t*>(Src), Dst)) {
                Store(Dst, Out + Done * Size, N);
                Done += N;
                continue;
            }
        }
        if (Direct) Load(In + Done * Size, Src, N);
        std::fill(Src + N, Src + Whole * GainTile, T{0});
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
                    if (!(V < Clip && V > -Clip)) { // not a number stops the run too
                        Store(Dst, Out + Done * Size, K);
                        return Done + K;
                    }
                    Dst[K] = static_cast<T>(V);
                }
            }
        }
        Store(Dst, Out + Done * Size, N);
        Done += N;
    }
    return Done;
}

// A whole chunk's bytes, in 32-byte pieces: GCC turns a copy of this length into a string
// move, which costs several times as much for so short a copy on some processors.
inline void CopyChunk(void* Dst, const void* Src, size_t Bytes) {
    using TPiece = uint8_t __attribute__((vector_size(32)));
    for (size_t K = 0; K < Bytes; K += sizeof(TPiece)) {
        TPiece P;
        std::memcpy(&P, static_cast<const uint8_t*>(Src) + K, sizeof P);
        std::memcpy(static_cast<uint8_t*>(Dst) + K, &P, sizeof P);
        __asm__("" : "+r"(K)); // an empty barrier, so that the loop is not seen as a copy again
    }
}

// Values that are their own bytes.
template <class T>
void LoadNative(const uint8_t* Bytes, T* Values, int64_t N) {
    if (N == GainChunk)
        CopyChunk(Values, Bytes, GainChunk * sizeof(T));
    else
        std::memcpy(Values, Bytes, static_cast<size_t>(N) * sizeof(T));
}
template <class T>
void StoreNative(const T* Values, uint8_t* Bytes, int64_t N) {
    if (N == GainChunk)
        CopyChunk(Bytes, Values, GainChunk * sizeof(T));
    else
        std::memcpy(Bytes, Values, static_cast<size_t>(N) * sizeof(T));
}

// Integer runs amplified one by one, for gains past the tiles' range.
template <class T>
int64_t RunOneByOne(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    int64_t Done = 0;
    for (; Done < Count; ++Done) {
        T S;
        std::memcpy(&S, In + Done * static_cast<int64_t>(sizeof(T)), sizeof(T));
        const int64_t V = Amplify(S, L);
        if (V >= Clip || V <= -Clip) return Done;
        const T Value = static_cast<T>(V);
        std::memcpy(Out + Done * static_cast<int64_t>(sizeof(T)), &Value, sizeof(T));
    }
    return Done;
}

bool Tiles32(const int32_t* Src, int32_t* Dst, uint8_t* Flag, int64_t Tiles, int64_t L, int64_t Clip) {
    return WideVectors ? AmplifyTiles32Wide(Src, Dst, Flag, Tiles, L, Clip) : AmplifyTiles32Body(Src, Dst, Flag, Tiles, L, Clip);
}

} // namespace

int64_t AmplifyRun(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, 32768); // every value stored must fit 16 bits
    if (L >= -FastGainLimit && L <= FastGainLimit && Clip > 0)
        return RunInTiles<int16_t>(
            In, Out, Count, L, Clip, 2, LoadNative<int16_t>,
            [&](const int16_t* Src, int16_t* Dst, uint8_t* Flag, int64_t Tiles) {
                return AmplifyTiles(Src, Dst, Flag, Tiles, static_cast<int32_t>(L), static_cast<int32_t>(Clip));
            },
            StoreNative<int16_t>, [&](const uint8_t* Src, int16_t* Dst) {
                if (!WideVectors) return false;
                return WidestVectors ? AmplifyChunkWidest(Src, Dst, static_cast<int32_t>(L), static_cast<int32_t>(Clip))
                                     : AmplifyChunkWide(Src, Dst, static_cast<int32_t>(L), static_cast<int32_t>(Clip));
            });
    return RunOneByOne<int16_t>(In, Out, Count, L, Clip);
}

int64_t AmplifyRun32(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, int64_t{1} << 31); // every value stored must fit 32 bits
    if (L >= -(int64_t{1} << 21) && L <= (int64_t{1} << 21) && Clip > 0)
        return RunInTiles<int32_t>(
            In, Out, Count, L, Clip, 4, LoadNative<int32_t>,
            [&](const int32_t* Src, int32_t* Dst, uint8_t* Flag, int64_t Tiles) { return Tiles32(Src, Dst, Flag, Tiles, L, Clip); },
            StoreNative<int32_t>);
    return RunOneByOne<int32_t>(In, Out, Count, L, Clip);
}

int64_t AmplifyRun24(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, int64_t{1} << 23); // every value stored must fit 24 bits
    int32_t Src[GainTile], Dst[GainTile];
    int64_t Done = 0;
    if (L >= -(int64_t{1} << 21) && L <= (int64_t{1} << 21) && Clip > 0) {
        const auto Tiles = [&](const uint8_t* From, uint8_t* To, int64_t N) {
            return RunInTiles<int32_t>(
                From, To, N, L, Clip, 3,
                [](const uint8_t* Bytes, int32_t* Values, int64_t K) { WideVectors ? Unpack24Wide(Bytes, Values, K) : Unpack24Body(Bytes, Values, K); },
                [&](const int32_t* S, int32_t* D, uint8_t* Flag, int64_t T) { return Tiles32(S, D, Flag, T, L, Clip); },
                [](const int32_t* Values, uint8_t* Bytes, int64_t K) { WideVectors ? Pack24Wide(Values, Bytes, K) : Pack24Body(Values, Bytes, K); });
        };
        if (!WideVectors) return Tiles(In, Out, Count);
        // whole chunks straight from their bytes, a short one padded with silence (never at a
        // limit, never a half); a chunk that reaches the limit goes to the tiles, which stop there
        uint8_t Padded[3 * GainChunk], Packed[3 * GainChunk];
        while (Done < Count) {
            const int64_t N = std::min(GainChunk, Count - Done);
            const uint8_t* From = In + 3 * Done;
            if (N < GainChunk) {
                std::memcpy(Padded, From, static_cast<size_t>(3 * N));
                std::memset(Padded + 3 * N, 0, static_cast<size_t>(3 * (GainChunk - N)));
                From = Padded;
            }
            if (WidestVectors ? AmplifyChunk24Widest(From, Packed, L, Clip) : AmplifyChunk24Wide(From, Packed, L, Clip)) {
                if (N == GainChunk)
                    CopyChunk(Out + 3 * Done, Packed, sizeof Packed);
                else
                    std::memcpy(Out + 3 * Done, Packed, static_cast<size_t>(3 * N));
            } else {
                const int64_t Run = Tiles(In + 3 * Done, Out + 3 * Done, N);
                if (Run < N) return Done + Run;
            }
            Done += N;
        }
        return Done;
    }
    // gains past the tiles' range, a tile's values at a time
    while (Done < Count) {
        const int64_t N = std::min(GainTile, Count - Done);
        Unpack24Body(In + 3 * Done, Src, N);
        const int64_t Run = RunOneByOne<int32_t>(reinterpret_cast<const uint8_t*>(Src), reinterpret_cast<uint8_t*>(Dst), N, L, Clip);
        Pack24Body(Dst, Out + 3 * Done, Run);
        Done += Run;
        if (Run < N) break;
    }
    return Done;
}

int64_t AmplifyRunFloat(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, double Clip) {
    return RunInTiles<double>(
        In, Out, Count, L, Clip, 8, LoadNative<double>,
        [&](const double* Src, double* Dst, uint8_t* Flag, int64_t Tiles) {
            return WideVectors ? AmplifyTilesFloatWide(Src, Dst, Flag, Tiles, L, Clip) : AmplifyTilesFloatBody(Src, Dst, Flag, Tiles, L, Clip);
        },
        StoreNative<double>);
}

int64_t AmplifyRunFloat32(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, double Clip) {
    return RunInTiles<float>(
        In, Out, Count, L, Clip, 4, LoadNative<float>,
        [&](const float* Src, float* Dst, uint8_t* Flag, int64_t Tiles) {
            return WideVectors ? AmplifyTilesFloat32Wide(Src, Dst, Flag, Tiles, L, Clip) : AmplifyTilesFloat32Body(Src, Dst, Flag, Tiles, L, Clip);
        },
        StoreNative<float>, [&](const uint8_t* Src, float* Dst) {
            if (!WideVectors) return false;
            return WidestVectors ? AmplifyChunkFloat32Widest(Src, Dst, L, Clip) : AmplifyChunkFloat32Wide(Src, Dst, L, Clip);
        });
}

int64_t SpanPeak24(const uint8_t* Bytes, int64_t Count) {
    if (!WideVectors) return SpanPeak24Body(Bytes, Count, Unpack24Body);
    return WidestVectors ? SpanPeak24Widest(Bytes, Count) : SpanPeak24Wide(Bytes, Count);
}

uint32_t SpanPeakFloat32Bits(const uint8_t* Values, int64_t Count) {
    if (!WideVectors) return SpanPeakFloat32Body(Values, Count);
    return WidestVectors ? SpanPeakFloat32Widest(Values, Count) : SpanPeakFloat32Wide(Values, Count);
}

int64_t SpanPeak32(const uint8_t* Values, int64_t Count) {
    return WideVectors ? SpanPeak32Wide(Values, Count) : SpanPeak32Body(Values, Count);
}

double SpanPeakFloat(const uint8_t* Values, int64_t Count) {
    return WideVectors ? SpanPeakFloatWide(Values, Count) : SpanPeakFloatBody(Values, Count);
}

} // namespace sonolift
