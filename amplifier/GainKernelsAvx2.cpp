// The AVX2 table of the passes; this source alone is compiled with -mavx2 -mfma, on x86-64 only,
// and its passes run only where the processor has both. Exact halves are settled here four or
// eight lanes at a time instead of one by one, 24-bit samples are unpacked and packed eight at a
// time, and the float quotient s / 100 takes no division.
#include "GainTies.h"
#include "GainTiles.h"

#include <immintrin.h>

namespace sonolift {
namespace {

// Four lanes' mask as four bytes of 0 or 1, and four lanes' flags from their masks of exact
// halves (low four bits) and of values at the limit (high four).
struct TLaneWords {
    uint32_t Bytes[16], Flags[256];
};
constexpr TLaneWords LaneWords = [] {
    TLaneWords T{};
    for (uint32_t M = 0; M < 16; ++M)
        for (uint32_t J = 0; J < 4; ++J) T.Bytes[M] |= ((M >> J) & 1) << (8 * J);
    for (uint32_t M = 0; M < 256; ++M) T.Flags[M] = T.Bytes[M & 15] * TieFlag | T.Bytes[M >> 4] * ClipFlag;
    return T;
}();

// The exact halves of a chunk, one bit each in TieBits, side by side: the value of each
// (Value of its place) and its place, in order, padded with silence to whole vectors of Lanes
// (Samples holds GainChunk + Lanes values); returns how many there are.
template <int64_t Lanes, class TValue>
inline int64_t GatherHalves(const uint64_t (&TieBits)[GainChunk / 64], int32_t* Samples, int16_t* At, TValue&& Value) {
    int64_t Count = 0;
    for (int64_t W = 0; W < GainChunk / 64; ++W) {
        for (uint64_t Bits = TieBits[W]; Bits != 0; Bits &= Bits - 1) {
            const int64_t K = 64 * W + __builtin_ctzll(Bits);
            Samples[Count] = Value(K);
            At[Count++] = static_cast<int16_t>(K);
        }
    }
    // a whole vector of silence after the last, stored at once (a loop of a few became a call)
    constexpr int32_t Silence[Lanes] = {};
    std::memcpy(Samples + Count, Silence, sizeof Silence);
    return Count;
}

// The 32-bit lanes' SettleTies: four at a time, each value settled where it stays under Clip.
inline bool SettleTies32(const int32_t* In, int32_t* Out, uint8_t* Flag, int64_t L, int64_t Clip) {
    uint64_t Left = 0;
    const __m256d ClipD = _mm256_set1_pd(static_cast<double>(Clip));
    for (int64_t K = 0; K < GainTile; K += 4) {
        uint32_t Flags;
        std::memcpy(&Flags, Flag + K, 4);
        if ((Flags & 0x01010101u) != 0) {
            const __m256d M = AmplifyTies4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(In + K)), L);
            const int Under = _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), M), ClipD, _CMP_LT_OQ));
            alignas(16) int32_t Values[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(Values), _mm256_cvttpd_epi32(M));
            for (int J = 0; J < 4; ++J) {
                if (Flag[K + J] == TieFlag && (Under >> J & 1) != 0) {
                    Out[K + J] = Values[J];
                    Flag[K + J] = 0;
                }
            }
            std::memcpy(&Flags, Flag + K, 4);
        }
        Left |= Flags;
    }
    return Left != 0;
}

// Eight packed 24-bit samples (24 bytes, read from two overlapping 16-byte loads) to int32 lanes
// as 256 times their values, and as their values.
inline __m256i Spread8(const uint8_t* P) {
    const __m256i Bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(P))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(P + 8)), 1);
    const __m256i Spread = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, //
                                            -1, 4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15);
    return _mm256_shuffle_epi8(Bytes, Spread);
}
inline __m256i Unpack8(const uint8_t* P) { return _mm256_srai_epi32(Spread8(P), 8); }
// Eight int32 lanes packed into the first 24 bytes of a vector: the low three bytes of each
// lane, then the two halves' twelve bytes joined; and those 24 bytes stored at P.
inline __m256i Packed8(__m256i V) {
    const __m256i Gather = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, //
                                            0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    return _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(V, Gather), _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
}
inline void Pack8(__m256i V, uint8_t* P) {
    const __m256i Packed = Packed8(V);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(P), _mm256_castsi256_si128(Packed));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(P + 16), _mm256_extracti128_si256(Packed, 1));
}

// The portable Tiles32 four lanes at a time: the same operations in the same order.
bool Tiles32(const int32_t* In, int32_t* Out, uint8_t* Flag, int64_t Tiles, int64_t L, int64_t Clip) {
    const int64_t A = WholeHundreds(L);
    const __m256d FA = _mm256_set1_pd(static_cast<double>(A)), FB = _mm256_set1_pd(static_cast<double>(L - 100 * A));
    const __m256d FClip = _mm256_set1_pd(static_cast<double>(Clip)), Hundredth = _mm256_set1_pd(0.01);
    const __m256d Shift = _mm256_set1_pd(6755399441055744.0), Half = _mm256_set1_pd(0.495), SignBit = _mm256_set1_pd(-0.0);
    bool Any = false;
    for (int64_t T = 0; T < Tiles; ++T) {
        const int64_t Tile = GainTile * T;
        int Flagged = 0;
        for (int64_t K = Tile; K < Tile + GainTile; K += 4) {
            const __m256d S = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(In + K)));
            const __m256d Hundredths = _mm256_mul_pd(_mm256_mul_pd(S, FB), Hundredth);
            const __m256d Rounded = _mm256_sub_pd(_mm256_add_pd(Hundredths, Shift), Shift);
            const __m256d V = _mm256_add_pd(_mm256_mul_pd(S, FA), Rounded);
            const int Tie = _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(SignBit, _mm256_sub_pd(Hundredths, Rounded)), Half, _CMP_GT_OQ));
            const int Over = _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(SignBit, V), FClip, _CMP_GE_OQ));
            // a value that does not fit is flagged, and never used
            _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + K), _mm256_cvttpd_epi32(V));
            const uint32_t Word = LaneWords.Flags[Tie | Over << 4];
            std::memcpy(Flag + K, &Word, 4);
            Flagged |= Tie | Over;
        }
        if (Flagged != 0) Any |= SettleTies32(In + Tile, Out + Tile, Flag + Tile, L, Clip);
    }
    return Any;
}

// A whole chunk of packed 24-bit samples, eight at a time from their bytes into packed bytes,
// without flags, exact halves settled after (as in Chunk16). s * L / 100 is a whole number of
// hundredths below 2^38; s times L / 100 in double precision errs by less than 2^-14, so
// rounding it to the nearest integer is exact except at an exact half, which leaves the
// rounded value 0.4999 or more away.
bool Chunk24(const uint8_t* In, uint8_t* Out, int64_t L, int64_t Clip) {
    const __m256d Gain = _mm256_set1_pd(static_cast<double>(L) * 0.01);
    const __m256d Half = _mm256_set1_pd(0.495), SignBit = _mm256_set1_pd(-0.0);
    uint64_t TieBits[GainChunk / 64] = {};
    // a value past the 32-bit range converts to INT32_MIN, which is past any limit too
    __m256i High = _mm256_setzero_si256(), Low = _mm256_setzero_si256();
    for (int64_t W = 0; W < GainChunk / 64; ++W) {
        uint64_t Bits = 0;
#pragma GCC unroll 8
        for (int64_t J = 0; J < 64; J += 8) {
            const int64_t K = 64 * W + J;
            const __m256i Samples = Unpack8(In + 3 * K);
            __m128i Values[2];
            int Ties = 0;
            for (int H = 0; H < 2; ++H) {
                const __m256d S = _mm256_cvtepi32_pd(H == 0 ? _mm256_castsi256_si128(Samples) : _mm256_extracti128_si256(Samples, 1));
                const __m256d Product = _mm256_mul_pd(S, Gain);
                const __m256d V = _mm256_round_pd(Product, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
                const __m256d Tie = _mm256_cmp_pd(_mm256_andnot_pd(SignBit, _mm256_sub_pd(Product, V)), Half, _CMP_GT_OQ);
                Ties |= _mm256_movemask_pd(Tie) << (4 * H);
                Values[H] = _mm256_cvttpd_epi32(V);
            }
            Bits |= static_cast<uint64_t>(Ties) << J;
            const __m256i Eight = _mm256_set_m128i(Values[1], Values[0]);
            High = _mm256_max_epi32(High, Eight);
            Low = _mm256_min_epi32(Low, Eight);
            // the 8 bytes a whole vector writes past the group are the next group's, written after
            if (K + 8 < GainChunk)
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out + 3 * K), Packed8(Eight));
            else
                Pack8(Eight, Out + 3 * K);
        }
        TieBits[W] = Bits;
    }
    const __m256i Reach = _mm256_or_si256(_mm256_cmpgt_epi32(High, _mm256_set1_epi32(static_cast<int32_t>(Clip - 1))),
                                          _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(1 - Clip)), Low));
    if (!_mm256_testz_si256(Reach, Reach)) return false;
    // the halves side by side, padded to whole vectors with silence, settled four at a time
    alignas(16) int32_t Samples[GainChunk + 4], Settled[GainChunk + 4];
    int16_t At[GainChunk];
    const int64_t Count = GatherHalves<4>(TieBits, Samples, At, [&](int64_t K) {
        int32_t S;
        portable::Unpack24(In + 3 * K, &S, 1);
        return S;
    });
    const __m256d ClipD = _mm256_set1_pd(static_cast<double>(Clip));
    int Over = 0;
    for (int64_t J = 0; J < Count; J += 4) {
        const __m256d M = AmplifyTies4(_mm_load_si128(reinterpret_cast<const __m128i*>(Samples + J)), L);
        Over |= _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(SignBit, M), ClipD, _CMP_GE_OQ));
        _mm_store_si128(reinterpret_cast<__m128i*>(Settled + J), _mm256_cvttpd_epi32(M));
    }
    for (int64_t J = 0; J < Count; ++J) portable::Pack24(Settled + J, Out + 3 * At[J], 1);
    return Over == 0;
}

// The quotient s / 100 as q0 = s * 0.01 corrected by its remainder s - 100 q0 (exact by FMA):
// for every value of at most 24 significant bits this is the rounded quotient itself (a test
// checks the same operations over all of them), and its sign is that of s, also for -0.
bool TilesFloat32(const float* In, float* Out, uint8_t* Flag, int64_t Tiles, int64_t L, double Clip) {
    const __m256d Hundredth = _mm256_set1_pd(0.01), Hundred = _mm256_set1_pd(100.0), SignBit = _mm256_set1_pd(-0.0);
    const __m256d Gain = _mm256_set1_pd(static_cast<double>(L)), ClipD = _mm256_set1_pd(Clip);
    int Any = 0;
    for (int64_t K = 0; K < Tiles * GainTile; K += 4) {
        const __m256d S = _mm256_cvtps_pd(_mm_loadu_ps(In + K));
        const __m256d Q0 = _mm256_mul_pd(S, Hundredth);
        const __m256d Q1 = _mm256_fmadd_pd(_mm256_fnmadd_pd(Q0, Hundred, S), Hundredth, Q0);
        const __m256d Q = _mm256_or_pd(_mm256_andnot_pd(SignBit, Q1), _mm256_and_pd(SignBit, S));
        const __m256d V = _mm256_mul_pd(Q, Gain);
        _mm_storeu_ps(Out + K, _mm256_cvtpd_ps(V));
        const int Over = _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(SignBit, V), ClipD, _CMP_NLT_UQ));
        const uint32_t Word = LaneWords.Bytes[Over] * ClipFlag;
        std::memcpy(Flag + K, &Word, 4);
        Any |= Over;
    }
    return Any != 0;
}

// TilesFloat32 on a whole chunk, without flags.
bool ChunkFloat32(const uint8_t* In, float* Out, int64_t L, double Clip) {
    const __m256d Hundredth = _mm256_set1_pd(0.01), Hundred = _mm256_set1_pd(100.0), SignBit = _mm256_set1_pd(-0.0);
    const __m256d Gain = _mm256_set1_pd(static_cast<double>(L)), ClipD = _mm256_set1_pd(Clip);
    __m256d Over = _mm256_setzero_pd();
    for (int64_t K = 0; K < GainChunk; K += 4) {
        const __m256d S = _mm256_cvtps_pd(_mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(In + 4 * K))));
        const __m256d Q0 = _mm256_mul_pd(S, Hundredth);
        const __m256d Q1 = _mm256_fmadd_pd(_mm256_fnmadd_pd(Q0, Hundred, S), Hundredth, Q0);
        const __m256d Q = _mm256_or_pd(_mm256_andnot_pd(SignBit, Q1), _mm256_and_pd(SignBit, S));
        const __m256d V = _mm256_mul_pd(Q, Gain);
        _mm_storeu_ps(Out + K, _mm256_cvtpd_ps(V));
        Over = _mm256_or_pd(Over, _mm256_cmp_pd(_mm256_andnot_pd(SignBit, V), ClipD, _CMP_NLT_UQ));
    }
    return _mm256_testz_pd(Over, Over) != 0;
}

void Unpack24(const uint8_t* Bytes, int32_t* Values, int64_t Count) {
    int64_t K = 0;
    for (; K + 8 <= Count; K += 8) _mm256_storeu_si256(reinterpret_cast<__m256i*>(Values + K), Unpack8(Bytes + 3 * K));
    portable::Unpack24(Bytes + 3 * K, Values + K, Count - K);
}

void Pack24(const int32_t* Values, uint8_t* Bytes, int64_t Count) {
    int64_t K = 0;
    for (; K + 8 <= Count; K += 8) Pack8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(Values + K)), Bytes + 3 * K);
    portable::Pack24(Values + K, Bytes + 3 * K, Count - K);
}

int64_t Peak24(const uint8_t* Bytes, int64_t Count) {
    // the extremes of the values times 256, which order alike, sixteen values a round
    __m256i High = _mm256_setzero_si256(), Low = _mm256_setzero_si256(), High2 = High, Low2 = Low;
    int64_t K = 0;
    for (; K + 16 <= Count; K += 16) {
        const __m256i V = Spread8(Bytes + 3 * K), V2 = Spread8(Bytes + 3 * K + 24);
        High = _mm256_max_epi32(High, V);
        Low = _mm256_min_epi32(Low, V);
        High2 = _mm256_max_epi32(High2, V2);
        Low2 = _mm256_min_epi32(Low2, V2);
    }
    High = _mm256_max_epi32(High, High2);
    Low = _mm256_min_epi32(Low, Low2);
    for (; K + 8 <= Count; K += 8) {
        const __m256i V = Spread8(Bytes + 3 * K);
        High = _mm256_max_epi32(High, V);
        Low = _mm256_min_epi32(Low, V);
    }
    alignas(32) int32_t H[8], L[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(H), _mm256_srai_epi32(High, 8));
    _mm256_store_si256(reinterpret_cast<__m256i*>(L), _mm256_srai_epi32(Low, 8));
    // the last few one by one (the baseline pass would take a whole block for them)
    int64_t Peak = 0;
    for (; K < Count; ++K) {
        int32_t V;
        portable::Unpack24(Bytes + 3 * K, &V, 1);
        const int64_t M = V < 0 ? -int64_t{V} : V;
        Peak = M > Peak ? M : Peak;
    }
    for (int J = 0; J < 8; ++J) {
        const int64_t Top = H[J], Bottom = -int64_t{L[J]};
        Peak = Top > Peak ? Top : Peak;
        Peak = Bottom > Peak ? Bottom : Peak;
    }
    return Peak;
}

// The bits of the magnitudes kept eight lanes at a time (a copy into a block first, as the
// portable loop does, costs more than the comparisons).
uint32_t PeakFloat32(const uint8_t* Values, int64_t Count) {
    const __m256i Magnitude = _mm256_set1_epi32(0x7FFFFFFF);
    __m256i Peak = _mm256_setzero_si256();
    int64_t K = 0;
    for (; K + 8 <= Count; K += 8)
        Peak = _mm256_max_epu32(Peak, _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(Values + 4 * K)), Magnitude));
    alignas(32) uint32_t Words[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(Words), Peak);
    uint32_t Bits = 0; // the last few one by one (the baseline pass would take a whole block for them)
    for (; K < Count; ++K) {
        uint32_t V;
        std::memcpy(&V, Values + 4 * K, 4);
        V &= 0x7FFFFFFFu;
        Bits = V > Bits ? V : Bits;
    }
    for (const uint32_t Lane : Words) Bits = Lane > Bits ? Lane : Bits;
    return Bits;
}

// A whole chunk of 16-bit values at the 16-bit tile's rule, for the chunks that reach no limit:
// no flags are kept (the tiles take any chunk that reaches Clip). Exact halves are scattered
// (a few in a hundred samples at most gains): they are gathered from the chunk and settled
// eight at a time.
bool Chunk16(const uint8_t* In, int16_t* Out, int32_t L, int32_t Clip) {
    // the limit is checked on the stored values, whose saturation only reaches 32767
    if (Clip > 32767) return false;
    const int32_t A = WholeHundreds(L);
    const __m256 FA = _mm256_set1_ps(static_cast<float>(A));
    const __m256 FB = _mm256_set1_ps(static_cast<float>(L - 100 * A) * 0.01f);
    const __m256 Shift = _mm256_set1_ps(12582912.0f), Half = _mm256_set1_ps(0.495f), SignBit = _mm256_set1_ps(-0.0f);
    // the exact halves, a bit per value
    uint64_t TieBits[GainChunk / 64] = {};
    __m256i High = _mm256_setzero_si256(), Low = _mm256_setzero_si256();
    for (int64_t W = 0; W < GainChunk / 64; ++W) {
        uint64_t Bits = 0;
        for (int64_t J = 0; J < 64; J += 16) {
            const int64_t K = 64 * W + J;
            const __m256i Words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(In + 2 * K));
            __m256i Values[2];
            for (int H = 0; H < 2; ++H) {
                const __m128i Eight = H == 0 ? _mm256_castsi256_si128(Words) : _mm256_extracti128_si256(Words, 1);
                const __m256 S = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(Eight));
                const __m256 Hundredths = _mm256_mul_ps(S, FB);
                const __m256 Rounded = _mm256_sub_ps(_mm256_add_ps(Hundredths, Shift), Shift);
                // s * A is exact, so one rounding of the sum is the sum's
                const __m256 V = _mm256_fmadd_ps(S, FA, Rounded);
                const __m256 Tie = _mm256_cmp_ps(_mm256_andnot_ps(SignBit, _mm256_sub_ps(Hundredths, Rounded)), Half, _CMP_GT_OQ);
                Values[H] = _mm256_cvttps_epi32(V);
                Bits |= static_cast<uint64_t>(_mm256_movemask_ps(Tie)) << (J + 8 * H);
            }
            // the pack works within 128-bit halves; the permute puts the lanes back in order
            const __m256i Packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(Values[0], Values[1]), 0xD8);
            High = _mm256_max_epi16(High, Packed);
            Low = _mm256_min_epi16(Low, Packed);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out + K), Packed);
        }
        TieBits[W] = Bits;
    }
    const __m256i Reach = _mm256_or_si256(_mm256_cmpgt_epi16(High, _mm256_set1_epi16(static_cast<int16_t>(Clip - 1))),
                                          _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<int16_t>(1 - Clip)), Low));
    if (!_mm256_testz_si256(Reach, Reach)) return false;
    // the halves side by side, padded to whole vectors with silence (never stored)
    alignas(32) int32_t Samples[GainChunk + 8], Settled[GainChunk + 8];
    int16_t At[GainChunk];
    const int64_t Count = GatherHalves<8>(TieBits, Samples, At, [&](int64_t K) {
        int16_t S;
        std::memcpy(&S, In + 2 * K, 2);
        return int32_t{S};
    });
    for (int64_t J = 0; J < Count; J += 8)
        _mm256_store_si256(reinterpret_cast<__m256i*>(Settled + J),
                           AmplifyTies8(_mm256_load_si256(reinterpret_cast<const __m256i*>(Samples + J)), L));
    bool Under = true;
    for (int64_t J = 0; J < Count; ++J) {
        Under = Under && Settled[J] < Clip && Settled[J] > -Clip;
        Out[At[J]] = static_cast<int16_t>(Settled[J]);
    }
    return Under;
}

} // namespace

void InitGainKernelsAvx2(TGainKernels& Table) {
    // the portable passes too, built here for AVX2: the compiler's vectors are twice as wide
    Table.Peak16 = portable::Peak16;
    Table.Peak32 = portable::Peak32;
    Table.PeakFloat64 = portable::PeakFloat64;
    Table.Tiles16 = portable::Tiles16;
    Table.TilesFloat64 = portable::TilesFloat64;
    Table.Peak24 = Peak24;
    Table.PeakFloat32 = PeakFloat32;
    Table.Tiles32 = Tiles32;
    Table.TilesFloat32 = TilesFloat32;
    Table.Chunk16 = Chunk16;
    Table.Chunk24 = Chunk24;
    Table.ChunkFloat32 = ChunkFloat32;
    Table.Unpack24 = Unpack24;
    Table.Pack24 = Pack24;
}

} // namespace sonolift
