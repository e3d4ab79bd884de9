// The AVX2 build of the vectorised passes; this source alone is compiled with -mavx2 (on x86-64),
// and its functions run only where the processor has AVX2 (WideVectors). Exact halves are
// settled here eight lanes at a time instead of one by one. Elsewhere it builds the baseline
// passes under the same names, which are never picked.
#include "GainArithmetic.h"
#include "GainTiles.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace sonolift {

#if defined(__AVX2__)
namespace {

// Pow2Mod25Table as a plain array, copied when compiling, for whole-vector loads.
struct TPow2Table {
    alignas(32) int32_t V[24];
};
constexpr TPow2Table Pow2Mod25 = [] {
    TPow2Table T{};
    for (size_t I = 0; I < Pow2Mod25Table.size(); ++I) T.V[I] = Pow2Mod25Table[I];
    return T;
}();

// X mod 25 for 0 <= X < 2^20, lane by lane: the single-precision quotient is off by at most one.
inline __m256i Mod25(__m256i X) {
    const __m256i Q = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(X), _mm256_set1_ps(0.04f)));
    __m256i R = _mm256_sub_epi32(X, _mm256_mullo_epi32(Q, _mm256_set1_epi32(25)));
    R = _mm256_add_epi32(R, _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), R), _mm256_set1_epi32(25)));
    return _mm256_sub_epi32(R, _mm256_and_si256(_mm256_cmpgt_epi32(R, _mm256_set1_epi32(24)), _mm256_set1_epi32(25)));
}

// AmplifyTie on eight lanes at once, for lanes whose |s * L| is below 2^24 (others give some
// value, never used: their values reach any limit): the same rule, with the exponents read off
// single-precision values that hold the integers exactly.
inline __m256i AmplifyTies8(__m256i S, int32_t L) {
    const __m256i One = _mm256_set1_epi32(1);
    const __m256i Exponent = _mm256_set1_epi32(0x7F800000);
    const __m256i G = _mm256_set1_epi32(L < 0 ? -L : L);
    const __m256i A = _mm256_abs_epi32(S);
    const __m256i P = _mm256_mullo_epi32(A, G);
    // Q = (P - 50) / 100, an integer: P - 50 is exact in single precision, 0.01f errs by 2^-25.
    const __m256i Q = _mm256_cvtps_epi32(
        _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(P, _mm256_set1_epi32(50))), _mm256_set1_ps(0.01f)));
    // floor(log2 (Q + 1/2)) = floor(log2 (2 Q + 1)) - 1
    const __m256i Twice = _mm256_castps_si256(_mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_add_epi32(Q, Q), One)));
    const __m256i ExpProduct = _mm256_sub_epi32(_mm256_srli_epi32(Twice, 23), _mm256_set1_epi32(128));
    // floor(log2 (A / 100)) = b - 7, plus 1 where 16 A >= 25 * 2^b, b = floor(log2 A)
    const __m256 FA = _mm256_cvtepi32_ps(A);
    const __m256i BitsA = _mm256_castps_si256(FA);
    const __m256 Pow2B = _mm256_castsi256_ps(_mm256_and_si256(BitsA, Exponent));
    const __m256i Above = _mm256_castps_si256(
        _mm256_cmp_ps(_mm256_mul_ps(FA, _mm256_set1_ps(16.0f)), _mm256_mul_ps(Pow2B, _mm256_set1_ps(25.0f)), _CMP_GE_OQ));
    const __m256i ExpQuotient =
        _mm256_sub_epi32(_mm256_sub_epi32(_mm256_srli_epi32(BitsA, 23), _mm256_set1_epi32(127 + 7)), Above);
    // R = |s| * 2^(63 - E) mod 100
    const __m256i Index = _mm256_add_epi32(ExpQuotient, _mm256_set1_epi32(7));
    const __m256i Low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Pow2Mod25.V));
    const __m256i High = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Pow2Mod25.V + 8));
    const __m256i UseHigh = _mm256_cmpgt_epi32(Index, _mm256_set1_epi32(7));
    const __m256i Power = _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(Low, Index),
                                             _mm256_permutevar8x32_epi32(High, Index), UseHigh);
    const __m256i R = _mm256_slli_epi32(Mod25(_mm256_mullo_epi32(Mod25(A), Power)), 2);
    const __m256i Up = _mm256_cmpgt_epi32(R, _mm256_set1_epi32(50));
    const __m256i C = _mm256_min_epi32(R, _mm256_sub_epi32(_mm256_set1_epi32(100), R));
    const __m256i Limit = _mm256_sllv_epi32(_mm256_set1_epi32(50), _mm256_sub_epi32(ExpProduct, ExpQuotient));
    const __m256i Moved = _mm256_cmpgt_epi32(_mm256_mullo_epi32(C, G), Limit);
    const __m256i Bump = _mm256_blendv_epi8(_mm256_and_si256(Q, One), _mm256_and_si256(Up, One), Moved);
    const __m256i M = _mm256_sign_epi32(_mm256_add_epi32(Q, Bump), S);
    return L < 0 ? _mm256_sub_epi32(_mm256_setzero_si256(), M) : M;
}

// Settles the flagged exact halves of a tile in place where their value stays under Clip,
// and clears their flags; the rest stay flagged. Returns whether any flag is left.
inline bool SettleTies(const int16_t* In, int16_t* Out, uint8_t* Flag, int32_t L, int32_t Clip) {
    uint64_t Left = 0;
    for (int64_t K = 0; K < GainTile; K += 8) {
        uint64_t Flags;
        std::memcpy(&Flags, Flag + K, 8);
        if ((Flags & 0x0101010101010101u) != 0) {
            const __m256i S = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(In + K)));
            const __m256i F = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(Flag + K)));
            const __m256i M = AmplifyTies8(S, L);
            const __m256i Use = _mm256_and_si256(_mm256_cmpeq_epi32(F, _mm256_set1_epi32(TieFlag)),
                                                 _mm256_cmpgt_epi32(_mm256_set1_epi32(Clip), _mm256_abs_epi32(M)));
            const __m128i UseLanes =
                _mm_packs_epi32(_mm256_castsi256_si128(Use), _mm256_extracti128_si256(Use, 1));
            const __m128i Values = _mm_packs_epi32(_mm256_castsi256_si128(M), _mm256_extracti128_si256(M, 1));
            __m128i* Dst = reinterpret_cast<__m128i*>(Out + K);
            _mm_storeu_si128(Dst, _mm_blendv_epi8(_mm_loadu_si128(Dst), Values, UseLanes));
            const __m256i Kept = _mm256_andnot_si256(Use, F);
            const __m128i Words = _mm_packus_epi32(_mm256_castsi256_si128(Kept), _mm256_extracti128_si256(Kept, 1));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(Flag + K), _mm_packus_epi16(Words, Words));
            std::memcpy(&Flags, Flag + K, 8);
        }
        Left |= Flags;
    }
    return Left != 0;
}

} // namespace
#endif

int32_t SpanPeakWide(const uint8_t* Bytes, int64_t Count) { return SpanPeakBody(Bytes, Count); }
int64_t SpanPeak32Wide(const uint8_t* Values, int64_t Count) { return SpanPeak32Body(Values, Count); }
double SpanPeakFloatWide(const uint8_t* Values, int64_t Count) { return SpanPeakFloatBody(Values, Count); }
bool AmplifyTiles32Wide(const int32_t* In, int32_t* Out, uint8_t* Flag, int64_t Tiles, int64_t L, int64_t Clip) {
    return AmplifyTiles32Body(In, Out, Flag, Tiles, L, Clip);
}
bool AmplifyTilesFloatWide(const double* In, double* Out, uint8_t* Flag, int64_t Tiles, int64_t L, double Clip) {
    return AmplifyTilesFloatBody(In, Out, Flag, Tiles, L, Clip);
}

bool AmplifyTilesWide(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip) {
#if !defined(__AVX2__)
    return AmplifyTilesBody(In, Out, Flag, Tiles, L, Clip);
#else
    bool Any = false;
    for (int64_t T = 0; T < Tiles; ++T) {
        const int64_t K = GainTile * T;
        if (AmplifyTileBody<GainTile>(In + K, Out + K, Flag + K, L, Clip))
            Any |= SettleTies(In + K, Out + K, Flag + K, L, Clip);
    }
    return Any;
#endif
}

} // namespace sonolift
