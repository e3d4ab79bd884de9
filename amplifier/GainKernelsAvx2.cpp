// The AVX2 build of the vectorised passes; this source alone is compiled with -mavx2 -mfma (on
// x86-64), and its functions run only where the processor has both (WideVectors). Exact halves
// are settled here four or eight lanes at a time instead of one by one, 24-bit samples are
// unpacked and packed eight at a time, and the float quotient s / 100 takes no division.
// Elsewhere it builds the baseline passes under the same names, which are never picked.
#include "GainArithmetic.h"
#include "GainTiles.h"

#include <algorithm>
#include <bit>

#if defined(__AVX2__) && defined(__FMA__)
#define SONOLIFT_WIDE 1
#include <immintrin.h>
#endif

namespace sonolift {

#if SONOLIFT_WIDE
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

// Four lanes' mask as four bytes of 0 or 1.
constexpr std::array<uint32_t, 16> LaneBytes = [] {
    std::array<uint32_t, 16> T{};
    for (uint32_t M = 0; M < 16; ++M)
        for (uint32_t J = 0; J < 4; ++J) T[M] |= ((M >> J) & 1) << (8 * J);
    return T;
}();

// Four lanes' flags from their masks of exact halves (low four bits) and of values at the
// limit (high four).
constexpr std::array<uint32_t, 256> LaneFlags = [] {
    std::array<uint32_t, 256> T{};
    for (uint32_t M = 0; M < 256; ++M) T[M] = LaneBytes[M & 15] * TieFlag | LaneBytes[M >> 4] * ClipFlag;
    return T;
}();

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

} // namespace
#endif

int32_t SpanPeakWide(const uint8_t* Bytes, int64_t Count) { return SpanPeakBody(Bytes, Count); }
int64_t SpanPeak32Wide(const uint8_t* Values, int64_t Count) { return SpanPeak32Body(Values, Count); }
double SpanPeakFloatWide(const uint8_t* Values, int64_t Count) { return SpanPeakFloatBody(Values, Count); }
bool AmplifyTilesFloatWide(const double* In, double* Out, uint8_t* Flag, int64_t Tiles, int64_t L, double Clip) {
    return AmplifyTilesFloatBody(In, Out, Flag, Tiles, L, Clip);
}

// AmplifyTiles32Body four lanes at a time: the same operations in the same order.
bool AmplifyTiles32Wide(const int32_t* In, int32_t* Out, uint8_t* Flag, int64_t Tiles, int64_t L, int64_t Clip) {
#if !SONOLIFT_WIDE
    return AmplifyTiles32Body(In, Out, Flag, Tiles, L, Clip);
#else
    const int64_t A = L >= 0 ? L / 100 : -((99 - L) / 100);
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
            const uint32_t Word = LaneFlags[static_cast<size_t>(Tie | Over << 4)];
            std::memcpy(Flag + K, &Word, 4);
            Flagged |= Tie | Over;
        }
        if (Flagged != 0) Any |= SettleTies32(In + Tile, Out + Tile, Flag + Tile, L, Clip);
    }
    return Any;
#endif
}

// The quotient s / 100 as q0 = s * 0.01 corrected by its remainder s - 100 q0 (exact by FMA):
// for every value of at most 24 significant bits this is the rounded quotient itself (checked
// over all of them), and its sign is that of s, also for -0.
bool AmplifyTilesFloat32Wide(const float* In, float* Out, uint8_t* Flag, int64_t Tiles, int64_t L, double Clip) {
#if !SONOLIFT_WIDE
    return AmplifyTilesFloat32Body(In, Out, Flag, Tiles, L, Clip);
#else
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
        const uint32_t Word = LaneBytes[static_cast<size_t>(Over)] * ClipFlag;
        std::memcpy(Flag + K, &Word, 4);
        Any |= Over;
    }
    return Any != 0;
#endif
}

void Unpack24Wide(const uint8_t* Bytes, int32_t* Values, int64_t Count) {
    int64_t K = 0;
#if SONOLIFT_WIDE
    for (; K + 8 <= Count; K += 8) _mm256_storeu_si256(reinterpret_cast<__m256i*>(Values + K), Unpack8(Bytes + 3 * K));
#endif
    Unpack24Body(Bytes + 3 * K, Values + K, Count - K);
}

void Pack24Wide(const int32_t* Values, uint8_t* Bytes, int64_t Count) {
    int64_t K = 0;
#if SONOLIFT_WIDE
    // the low three bytes of each lane, then the two halves' twelve bytes joined
    const __m256i Gather = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, //
                                            0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i Join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    for (; K + 8 <= Count; K += 8) {
        const __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Values + K));
        const __m256i Packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(V, Gather), Join);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Bytes + 3 * K), _mm256_castsi256_si128(Packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(Bytes + 3 * K + 16), _mm256_extracti128_si256(Packed, 1));
    }
#endif
    Pack24Body(Values + K, Bytes + 3 * K, Count - K);
}

int64_t SpanPeak24Wide(const uint8_t* Bytes, int64_t Count) {
#if !SONOLIFT_WIDE
    return SpanPeak24Body(Bytes, Count, Unpack24Body);
#else
    // the extremes of the values times 256, which order alike
    __m256i High = _mm256_setzero_si256(), Low = _mm256_setzero_si256();
    int64_t K = 0;
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
        Unpack24Body(Bytes + 3 * K, &V, 1);
        Peak = std::max(Peak, V < 0 ? -int64_t{V} : int64_t{V});
    }
    for (int J = 0; J < 8; ++J) Peak = std::max({Peak, int64_t{H[J]}, -int64_t{L[J]}});
    return Peak;
#endif
}

// The bits of the magnitudes kept eight lanes at a time (a copy into a block first, as the
// baseline loop does, costs more than the comparisons).
uint32_t SpanPeakFloat32Wide(const uint8_t* Values, int64_t Count) {
#if !SONOLIFT_WIDE
    return SpanPeakFloat32Body(Values, Count);
#else
    const __m256i Magnitude = _mm256_set1_epi32(0x7FFFFFFF);
    __m256i Peak = _mm256_setzero_si256();
    int64_t K = 0;
    for (; K + 8 <= Count; K += 8)
        Peak = _mm256_max_epu32(Peak, _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(Values + 4 * K)), Magnitude));
    alignas(32) uint32_t Lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(Lanes), Peak);
    uint32_t Bits = 0; // the last few one by one (the baseline pass would take a whole block for them)
    for (; K < Count; ++K) {
        uint32_t V;
        std::memcpy(&V, Values + 4 * K, 4);
        Bits = std::max(Bits, V & 0x7FFFFFFFu);
    }
    for (const uint32_t Lane : Lanes) Bits = std::max(Bits, Lane);
    return Bits;
#endif
}

bool AmplifyTilesWide(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip) {
    return AmplifyTilesBody(In, Out, Flag, Tiles, L, Clip);
}

// A whole chunk of 16-bit values at the 16-bit tile's rule, for the chunks that reach no limit:
// no flags are kept (the tiles take any chunk that reaches Clip). Exact halves are scattered
// (a few in a hundred samples at most gains): they are gathered from the chunk and settled
// eight at a time.
bool AmplifyChunkWide(const uint8_t* In, int16_t* Out, int32_t L, int32_t Clip) {
#if !SONOLIFT_WIDE
    (void)In, (void)Out, (void)L, (void)Clip;
    return false;
#else
    const int32_t A = L >= 0 ? L / 100 : -((99 - L) / 100);
    const __m256 FA = _mm256_set1_ps(static_cast<float>(A)), FB = _mm256_set1_ps(static_cast<float>(L - 100 * A));
    const __m256 FClip = _mm256_set1_ps(static_cast<float>(Clip)), Hundredth = _mm256_set1_ps(0.01f);
    const __m256 Shift = _mm256_set1_ps(12582912.0f), Half = _mm256_set1_ps(0.495f), SignBit = _mm256_set1_ps(-0.0f);
    // the exact halves, a bit per value
    uint64_t TieBits[GainChunk / 64] = {};
    __m256 Reach = _mm256_setzero_ps();
    for (int64_t W = 0; W < GainChunk / 64; ++W) {
        uint64_t Bits = 0;
        for (int64_t J = 0; J < 64; J += 16) {
            const int64_t K = 64 * W + J;
            const __m256i Words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(In + 2 * K));
            __m256i Values[2];
            for (int H = 0; H < 2; ++H) {
                const __m128i Eight = H == 0 ? _mm256_castsi256_si128(Words) : _mm256_extracti128_si256(Words, 1);
                const __m256 S = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(Eight));
                const __m256 Hundredths = _mm256_mul_ps(_mm256_mul_ps(S, FB), Hundredth);
                const __m256 Rounded = _mm256_sub_ps(_mm256_add_ps(Hundredths, Shift), Shift);
                const __m256 V = _mm256_add_ps(_mm256_mul_ps(S, FA), Rounded);
                const __m256 Tie = _mm256_cmp_ps(_mm256_andnot_ps(SignBit, _mm256_sub_ps(Hundredths, Rounded)), Half, _CMP_GT_OQ);
                Reach = _mm256_or_ps(Reach, _mm256_cmp_ps(_mm256_andnot_ps(SignBit, V), FClip, _CMP_GE_OQ));
                Values[H] = _mm256_cvttps_epi32(V);
                Bits |= static_cast<uint64_t>(_mm256_movemask_ps(Tie)) << (J + 8 * H);
            }
            // the pack works within 128-bit halves; the permute puts the lanes back in order
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out + K),
                                _mm256_permute4x64_epi64(_mm256_packs_epi32(Values[0], Values[1]), 0xD8));
        }
        TieBits[W] = Bits;
    }
    if (_mm256_movemask_ps(Reach) != 0) return false;
    // the halves side by side, padded to whole vectors with silence (never stored)
    alignas(32) int32_t Samples[GainChunk + 8], Settled[GainChunk + 8];
    int16_t At[GainChunk];
    int64_t Count = 0;
    for (int64_t W = 0; W < GainChunk / 64; ++W) {
        for (uint64_t Bits = TieBits[W]; Bits != 0; Bits &= Bits - 1) {
            const int64_t K = 64 * W + std::countr_zero(Bits);
            int16_t S;
            std::memcpy(&S, In + 2 * K, 2);
            At[Count] = static_cast<int16_t>(K);
            Samples[Count++] = S;
        }
    }
    for (int64_t J = Count; J < (Count + 7) / 8 * 8; ++J) Samples[J] = 0;
    for (int64_t J = 0; J < Count; J += 8)
        _mm256_store_si256(reinterpret_cast<__m256i*>(Settled + J),
                           AmplifyTies8(_mm256_load_si256(reinterpret_cast<const __m256i*>(Samples + J)), L));
    bool Under = true;
    for (int64_t J = 0; J < Count; ++J) {
        Under = Under && Settled[J] < Clip && Settled[J] > -Clip;
        Out[At[J]] = static_cast<int16_t>(Settled[J]);
    }
    return Under;
#endif
}

} // namespace sonolift
