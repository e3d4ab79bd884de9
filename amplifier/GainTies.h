// The exact halves in vectors, for the sources compiled for AVX2 and wider: AmplifyTie on eight
// 32-bit lanes or four double lanes at once. Internal linkage, so that each source has its own
// copy built for its own instruction set.
#pragma once

#include "GainArithmetic.h"

#include <immintrin.h>

namespace sonolift {
namespace {

// Pow2Mod25Table as a plain array, copied when compiling, for whole-vector loads.
struct TPow2Table {
    alignas(32) int32_t V[32];
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

// The binary exponents of four doubles (positive, normal), as four 32-bit lanes.
inline __m128i Exponents4(__m256d X) {
    const __m256i E = _mm256_srli_epi64(_mm256_castpd_si256(X), 52);
    const __m256i Low = _mm256_permutevar8x32_epi32(E, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    return _mm_sub_epi32(_mm256_castsi256_si128(Low), _mm_set1_epi32(1023));
}

// AmplifyTie on four lanes at once, for |s| <= 2^31 and |L| <= 2^21, where s * L and every
// step below stay exact in double precision (the 16-bit lanes' rule with wider numbers); the
// values as doubles.
inline __m256d AmplifyTies4(__m128i S, int64_t L) {
    const __m256d SignBit = _mm256_set1_pd(-0.0);
    const __m256d Signed = _mm256_cvtepi32_pd(S);
    const __m256d A = _mm256_andnot_pd(SignBit, Signed);
    const auto G = static_cast<int32_t>(L < 0 ? -L : L);
    const __m256d P = _mm256_mul_pd(A, _mm256_set1_pd(G));
    // Q = (P - 50) / 100, an integer below 2^46: the product by 0.01 errs by far less than 1/2
    const __m256d Q = _mm256_round_pd(_mm256_mul_pd(_mm256_sub_pd(P, _mm256_set1_pd(50.0)), _mm256_set1_pd(0.01)),
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    // floor(log2 (Q + 1/2)) = floor(log2 (2 Q + 1)) - 1
    const __m128i ExpProduct =
        _mm_sub_epi32(Exponents4(_mm256_add_pd(_mm256_add_pd(Q, Q), _mm256_set1_pd(1.0))), _mm_set1_epi32(1));
    // floor(log2 (A / 100)) = b - 7, plus 1 where 16 A >= 25 * 2^b, b = floor(log2 A)
    const __m256d Pow2B = _mm256_and_pd(A, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FF0000000000000)));
    const __m256d Above =
        _mm256_cmp_pd(_mm256_mul_pd(A, _mm256_set1_pd(16.0)), _mm256_mul_pd(Pow2B, _mm256_set1_pd(25.0)), _CMP_GE_OQ);
    const __m128i AboveLanes = _mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(_mm256_castpd_si256(Above), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    const __m128i ExpQuotient = _mm_sub_epi32(_mm_sub_epi32(Exponents4(A), _mm_set1_epi32(7)), AboveLanes);
    // R = |s| * 2^(63 - E) mod 100 = 4 * (|s| mod 25 * 2^(61 - E) mod 25); |s| mod 25 exactly
    // in double, the small product's by 41 / 1024 for 1 / 25 (exact below 625)
    const __m256d Fifth = _mm256_round_pd(_mm256_mul_pd(A, _mm256_set1_pd(0.04)), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    __m128i Mod = _mm256_cvttpd_epi32(_mm256_fnmadd_pd(Fifth, _mm256_set1_pd(25.0), A));
    Mod = _mm_add_epi32(Mod, _mm_and_si128(_mm_cmplt_epi32(Mod, _mm_setzero_si128()), _mm_set1_epi32(25)));
    Mod = _mm_sub_epi32(Mod, _mm_and_si128(_mm_cmpgt_epi32(Mod, _mm_set1_epi32(24)), _mm_set1_epi32(25)));
    // (lanes that are no exact half may have any exponent: the index stays inside the table)
    const __m128i Index = _mm_min_epi32(_mm_max_epi32(_mm_add_epi32(ExpQuotient, _mm_set1_epi32(7)), _mm_setzero_si128()),
                                        _mm_set1_epi32(31));
    const __m128i Power = _mm_i32gather_epi32(Pow2Mod25.V, Index, 4);
    const __m128i X = _mm_mullo_epi32(Mod, Power);
    const __m128i Div = _mm_srli_epi32(_mm_mullo_epi32(X, _mm_set1_epi32(41)), 10);
    const __m128i R = _mm_slli_epi32(_mm_sub_epi32(X, _mm_mullo_epi32(Div, _mm_set1_epi32(25))), 2);
    const __m128i Up = _mm_cmpgt_epi32(R, _mm_set1_epi32(50));
    const __m128i C = _mm_min_epi32(R, _mm_sub_epi32(_mm_set1_epi32(100), R));
    const __m128i Limit = _mm_sllv_epi32(_mm_set1_epi32(50), _mm_sub_epi32(ExpProduct, ExpQuotient));
    const __m128i Moved = _mm_cmpgt_epi32(_mm_mullo_epi32(C, _mm_set1_epi32(G)), Limit);
    // the parity of Q from the low bits of Q + 2^52
    const __m256i QBits = _mm256_castpd_si256(_mm256_add_pd(Q, _mm256_set1_pd(4503599627370496.0)));
    const __m128i QLow = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(QBits, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    const __m128i One = _mm_set1_epi32(1);
    const __m128i Bump = _mm_blendv_epi8(_mm_and_si128(QLow, One), _mm_and_si128(Up, One), Moved);
    const __m256d M = _mm256_add_pd(Q, _mm256_cvtepi32_pd(Bump));
    // the sign of s, turned for a negative gain
    const __m256d Sign = _mm256_xor_pd(_mm256_and_pd(Signed, SignBit), L < 0 ? SignBit : _mm256_setzero_pd());
    return _mm256_or_pd(M, Sign);
}

} // namespace
} // namespace sonolift
