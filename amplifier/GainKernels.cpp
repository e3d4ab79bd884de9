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

// The tables of the sets, each with whether the processor runs it; the portable passes are the
// baseline's, and a wider set's table starts as a copy of the one below it.
struct TKernelTables {
    TGainKernels Set[std::size(KernelSets)];
    bool Runs[std::size(KernelSets)];
};

TKernelTables FillTables() {
    TKernelTables T{};
    T.Set[0] = {.Peak16 = portable::Peak16,
                .Peak24 = portable::Peak24,
                .Peak32 = portable::Peak32,
                .PeakFloat64 = portable::PeakFloat64,
                .PeakFloat32 = portable::PeakFloat32,
                .Tiles16 = portable::Tiles16,
                .Tiles32 = portable::Tiles32,
                .TilesFloat64 = portable::TilesFloat64,
                .TilesFloat32 = portable::TilesFloat32,
                .Chunk16 = nullptr,
                .Chunk24 = nullptr,
                .ChunkFloat32 = nullptr,
                .Unpack24 = portable::Unpack24,
                .Pack24 = portable::Pack24};
    T.Runs[0] = true;
#if defined(SONOLIFT_KERNELS_X86_64)
    const auto Extend = [&](TKernelSet Set, void (*Init)(TGainKernels&)) {
        const auto I = static_cast<size_t>(Set);
        T.Set[I] = T.Set[I - 1];
        Init(T.Set[I]);
        T.Runs[I] = true;
    };
    __builtin_cpu_init(); // may run before main, from a static initialiser
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        Extend(TKernelSet::Avx2, InitGainKernelsAvx2);
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2"))
            Extend(TKernelSet::Avx512, InitGainKernelsAvx512);
    }
#endif
    return T;
}

const TKernelTables& Tables() {
    static const TKernelTables T = FillTables();
    return T;
}

// Amplify of Count values at In into Out up to the first value at Clip, a chunk of tiles at a
// time: Load takes the chunk's values out of their bytes, Tiles amplifies whole tiles and flags
// the values it cannot settle (exact halves, values at the limit, not numbers), which
// AmplifyValue then settles one by one, and Store puts the values done back as bytes. A last,
// short tile is padded with silence, which is never flagged. Each chunk goes first to
// WholeChunk (where it is not nullptr; on the values as bytes, a short chunk padded with
// silence), which amplifies it into Dst (or straight into Out) at once where no value reaches
// Clip, and leaves it to the tiles otherwise.
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
        // a whole chunk of values that are their own bytes goes to WholeChunk where it lies, and
        // into Out itself where that is not In and holds whole values where they lie (16-bit
        // frames may be of an odd size)
        const bool Direct = N == Chunk && Size == static_cast<int64_t>(sizeof(T));
        const bool Into = Direct && In != Out && reinterpret_cast<uintptr_t>(Out + Done * Size) % alignof(T) == 0;
        if (!Direct) Load(In + Done * Size, Src, N);
        if constexpr (!std::is_same_v<TChunk, std::nullptr_t>) {
            std::fill(Src + N, Src + Chunk, T{0});
            T* To = Into ? reinterpret_cast<T*>(Out + Done * Size) : Dst;
            if (WholeChunk(Direct ? In + Done * Size : reinterpret_cast<const uint8_t*>(Src), To)) {
                if (!Into) Store(Dst, Out + Done * Size, N);
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

// Bytes copied in vector pieces, the last overlapping the one before it where the length is not
// a multiple of the piece: GCC turns a copy of a chunk's length, or of a shorter one it can
// bound, into a string move, which costs several times as much for so short a copy on some
// processors. The asm barriers keep the loops from being seen as copies again.
using TPiece32 = uint8_t __attribute__((vector_size(32)));
template <class TPiece>
inline void CopyPiece(uint8_t* Dst, const uint8_t* Src) {
    TPiece P;
    std::memcpy(&P, Src, sizeof P);
    std::memcpy(Dst, &P, sizeof P);
}
template <class TPiece>
inline void CopyPieces(uint8_t* Dst, const uint8_t* Src, size_t Bytes) {
    for (size_t K = 0; K + sizeof(TPiece) < Bytes; K += sizeof(TPiece)) {
        CopyPiece<TPiece>(Dst + K, Src + K);
        __asm__("" : "+r"(K));
    }
    CopyPiece<TPiece>(Dst + Bytes - sizeof(TPiece), Src + Bytes - sizeof(TPiece));
}
inline void CopyShort(void* To, const void* From, size_t Bytes) {
    auto* Dst = static_cast<uint8_t*>(To);
    const auto* Src = static_cast<const uint8_t*>(From);
    if (Bytes >= 32) {
        CopyPieces<TPiece32>(Dst, Src, Bytes);
    } else if (Bytes >= 8) {
        CopyPieces<uint64_t>(Dst, Src, Bytes);
    } else {
        for (size_t K = 0; K < Bytes; ++K) {
            Dst[K] = Src[K];
            __asm__("" : "+r"(K));
        }
    }
}

// Values that are their own bytes.
template <class T>
void LoadNative(const uint8_t* Bytes, T* Values, int64_t N) {
    CopyShort(Values, Bytes, static_cast<size_t>(N) * sizeof(T));
}
template <class T>
void StoreNative(const T* Values, uint8_t* Bytes, int64_t N) {
    CopyShort(Bytes, Values, static_cast<size_t>(N) * sizeof(T));
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

} // namespace

const char* KernelSetName(TKernelSet Set) {
    constexpr const char* Names[] = {"baseline", "AVX2", "AVX-512"};
    return Names[static_cast<size_t>(Set)];
}

const TGainKernels* KernelTable(TKernelSet Set) {
    const TKernelTables& T = Tables();
    const auto I = static_cast<size_t>(Set);
    return T.Runs[I] ? &T.Set[I] : nullptr;
}

const TGainKernels& NativeKernels() {
    static const TGainKernels& Native = []() -> const TGainKernels& {
        const TKernelTables& T = Tables();
        size_t I = std::size(KernelSets) - 1;
        while (!T.Runs[I]) --I;
        return T.Set[I];
    }();
    return Native;
}

int64_t AmplifyRun16(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, 32768); // every value stored must fit 16 bits
    if (L >= -FastGainLimit && L <= FastGainLimit && Clip > 0) {
        const auto L32 = static_cast<int32_t>(L), Clip32 = static_cast<int32_t>(Clip);
        return RunInTiles<int16_t>(
            In, Out, Count, L, Clip, 2, LoadNative<int16_t>,
            [&](const int16_t* Src, int16_t* Dst, uint8_t* Flag, int64_t Tiles) { return K.Tiles16(Src, Dst, Flag, Tiles, L32, Clip32); },
            StoreNative<int16_t>, [&](const uint8_t* Src, int16_t* Dst) { return K.Chunk16 && K.Chunk16(Src, Dst, L32, Clip32); });
    }
    return RunOneByOne<int16_t>(In, Out, Count, L, Clip);
}

int64_t AmplifyRun32(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, int64_t{1} << 31); // every value stored must fit 32 bits
    if (L >= -(int64_t{1} << 21) && L <= (int64_t{1} << 21) && Clip > 0)
        return RunInTiles<int32_t>(
            In, Out, Count, L, Clip, 4, LoadNative<int32_t>,
            [&](const int32_t* Src, int32_t* Dst, uint8_t* Flag, int64_t Tiles) { return K.Tiles32(Src, Dst, Flag, Tiles, L, Clip); },
            StoreNative<int32_t>);
    return RunOneByOne<int32_t>(In, Out, Count, L, Clip);
}

int64_t AmplifyRun24(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip) {
    Clip = std::min<int64_t>(Clip, int64_t{1} << 23); // every value stored must fit 24 bits
    int32_t Src[GainTile], Dst[GainTile];
    int64_t Done = 0;
    if (L >= -(int64_t{1} << 21) && L <= (int64_t{1} << 21) && Clip > 0) {
        const auto Tiles = [&](const uint8_t* From, uint8_t* To, int64_t N) {
            return RunInTiles<int32_t>(
                From, To, N, L, Clip, 3, K.Unpack24,
                [&](const int32_t* S, int32_t* D, uint8_t* Flag, int64_t T) { return K.Tiles32(S, D, Flag, T, L, Clip); }, K.Pack24);
        };
        if (!K.Chunk24) return Tiles(In, Out, Count);
        // whole chunks straight from their bytes, a short one padded with silence (never at a
        // limit, never a half); a chunk that reaches the limit goes to the tiles, which stop there
        static constexpr uint8_t Silence[3 * GainChunk] = {};
        uint8_t Padded[3 * GainChunk], Packed[3 * GainChunk];
        while (Done < Count) {
            const int64_t N = std::min(GainChunk, Count - Done);
            const uint8_t* From = In + 3 * Done;
            if (N < GainChunk) {
                CopyShort(Padded, From, static_cast<size_t>(3 * N));
                CopyShort(Padded + 3 * N, Silence, static_cast<size_t>(3 * (GainChunk - N)));
                From = Padded;
            }
            // a whole chunk goes into Out itself where that is not In
            const bool Into = N == GainChunk && In != Out;
            if (K.Chunk24(From, Into ? Out + 3 * Done : Packed, L, Clip)) {
                if (!Into) CopyShort(Out + 3 * Done, Packed, static_cast<size_t>(3 * N));
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
        portable::Unpack24(In + 3 * Done, Src, N);
        const int64_t Run = RunOneByOne<int32_t>(reinterpret_cast<const uint8_t*>(Src), reinterpret_cast<uint8_t*>(Dst), N, L, Clip);
        portable::Pack24(Dst, Out + 3 * Done, Run);
        Done += Run;
        if (Run < N) break;
    }
    return Done;
}

int64_t AmplifyRunFloat64(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, double Clip) {
    return RunInTiles<double>(
        In, Out, Count, L, Clip, 8, LoadNative<double>,
        [&](const double* Src, double* Dst, uint8_t* Flag, int64_t Tiles) { return K.TilesFloat64(Src, Dst, Flag, Tiles, L, Clip); },
        StoreNative<double>);
}

int64_t AmplifyRunFloat32(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, double Clip) {
    return RunInTiles<float>(
        In, Out, Count, L, Clip, 4, LoadNative<float>,
        [&](const float* Src, float* Dst, uint8_t* Flag, int64_t Tiles) { return K.TilesFloat32(Src, Dst, Flag, Tiles, L, Clip); },
        StoreNative<float>, [&](const uint8_t* Src, float* Dst) { return K.ChunkFloat32 && K.ChunkFloat32(Src, Dst, L, Clip); });
}

} // namespace sonolift
