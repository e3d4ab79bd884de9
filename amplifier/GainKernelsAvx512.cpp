// The AVX-512 table: the whole-chunk passes for 16-bit, packed 24-bit and float samples and
// their peak passes, over the AVX2 table; this source alone is compiled for AVX-512 with VBMI and
// VBMI2, on x86-64 only, and its passes run only where the processor has them. The rule and the
// order of operations are the AVX2 chunks', with twice the lanes; the exact halves are picked
// out by compression instead of a bit at a time.
#include "GainTies.h"
#include "GainTiles.h"

#include <immintrin.h>

namespace sonolift {
namespace {

// The positions 0 .. 31 as 16-bit lanes, and 0 .. 15 as 32-bit lanes.
inline __m512i Positions16() {
    return _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, //
                            15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
}
inline __m512i Positions32() { return _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0); }

// Byte I of sixteen packed 24-bit samples (48 bytes) to byte I + 1 + I / 3 of sixteen 32-bit
// lanes (the lowest byte of each zeroed by a mask), and back.
struct TByteIndex {
    alignas(64) int8_t V[64];
};
constexpr TByteIndex SpreadIndex = [] {
    TByteIndex T{};
    for (int I = 0; I < 16; ++I)
        for (int J = 0; J < 3; ++J) T.V[4 * I + 1 + J] = static_cast<int8_t>(3 * I + J);
    return T;
}();
constexpr TByteIndex GatherIndex = [] {
    TByteIndex T{};
    for (int I = 0; I < 16; ++I)
        for (int J = 0; J < 3; ++J) T.V[3 * I + J] = static_cast<int8_t>(4 * I + J);
    return T;
}();
constexpr __mmask64 Bytes48 = 0x0000FFFFFFFFFFFFull;
constexpr __mmask64 HighThree = 0xEEEEEEEEEEEEEEEEull;

bool Chunk16(const uint8_t* In, int16_t* Out, int32_t L, int32_t Clip) {
    if (Clip > 32767) return false; // checked on the stored values, as in the AVX2 chunk
    const int32_t A = WholeHundreds(L);
    const __m512 FA = _mm512_set1_ps(static_cast<float>(A));
    const __m512 FB = _mm512_set1_ps(static_cast<float>(L - 100 * A) * 0.01f);
    const __m512 Shift = _mm512_set1_ps(12582912.0f), Half = _mm512_set1_ps(0.495f);
    const __m512i Order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    __m512i High = _mm512_setzero_si512(), Low = _mm512_setzero_si512();
    __mmask32 Ties[GainChunk / 32];
    for (int64_t G = 0; G < GainChunk / 32; ++G) {
        const __m512i Words = _mm512_loadu_si512(In + 64 * G);
        __m512i Values[2];
        __mmask32 Tie = 0;
        for (int H = 0; H < 2; ++H) {
            const __m256i Sixteen = H == 0 ? _mm512_castsi512_si256(Words) : _mm512_extracti64x4_epi64(Words, 1);
            const __m512 S = _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(Sixteen));
            const __m512 Hundredths = _mm512_mul_ps(S, FB);
            const __m512 Rounded = _mm512_sub_ps(_mm512_add_ps(Hundredths, Shift), Shift);
            const __m512 V = _mm512_fmadd_ps(S, FA, Rounded);
            Tie |= static_cast<__mmask32>(_mm512_cmp_ps_mask(_mm512_abs_ps(_mm512_sub_ps(Hundredths, Rounded)), Half, _CMP_GT_OQ))
                   << (16 * H);
            Values[H] = _mm512_cvttps_epi32(V);
        }
        // the pack works within 128-bit quarters; the permute puts the lanes back in order
        const __m512i Packed = _mm512_permutexvar_epi64(Order, _mm512_packs_epi32(Values[0], Values[1]));
        High = _mm512_max_epi16(High, Packed);
        Low = _mm512_min_epi16(Low, Packed);
        _mm512_storeu_si512(Out + 32 * G, Packed);
        Ties[G] = Tie;
    }
    if ((_mm512_cmpgt_epi16_mask(High, _mm512_set1_epi16(static_cast<int16_t>(Clip - 1))) |
         _mm512_cmpgt_epi16_mask(_mm512_set1_epi16(static_cast<int16_t>(1 - Clip)), Low)) != 0)
        return false;
    // the halves and their places side by side, padded to whole vectors with silence (never over)
    alignas(64) int16_t Samples[GainChunk + 32], At[GainChunk + 32];
    int64_t Count = 0;
    for (int64_t G = 0; G < GainChunk / 32; ++G) {
        if (Ties[G] == 0) continue;
        const __m512i Words = _mm512_loadu_si512(In + 64 * G);
        const __m512i Places = _mm512_add_epi16(Positions16(), _mm512_set1_epi16(static_cast<int16_t>(32 * G)));
        _mm512_storeu_si512(Samples + Count, _mm512_maskz_compress_epi16(Ties[G], Words));
        _mm512_storeu_si512(At + Count, _mm512_maskz_compress_epi16(Ties[G], Places));
        Count += __builtin_popcount(Ties[G]);
    }
    for (int64_t J = Count; J < (Count + 7) / 8 * 8; ++J) Samples[J] = 0;
    alignas(32) int32_t Settled[GainChunk + 8];
    __m256i Over = _mm256_setzero_si256();
    for (int64_t J = 0; J < Count; J += 8) {
        const __m256i M = AmplifyTies8(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Samples + J))), L);
        Over = _mm256_or_si256(Over, _mm256_cmpgt_epi32(_mm256_abs_epi32(M), _mm256_set1_epi32(Clip - 1)));
        _mm256_store_si256(reinterpret_cast<__m256i*>(Settled + J), M);
    }
    for (int64_t J = 0; J < Count; ++J) Out[At[J]] = static_cast<int16_t>(Settled[J]);
    return _mm256_testz_si256(Over, Over) != 0;
}

bool Chunk24(const uint8_t* In, uint8_t* Out, int64_t L, int64_t Clip) {
    const int64_t A = WholeHundreds(L);
    const __m512d FA = _mm512_set1_pd(static_cast<double>(A)), FB = _mm512_set1_pd(static_cast<double>(L - 100 * A) * 0.01);
    const __m512d Shift = _mm512_set1_pd(6755399441055744.0), Half = _mm512_set1_pd(0.495);
    const __m512i Spread = _mm512_load_si512(SpreadIndex.V), Gather = _mm512_load_si512(GatherIndex.V);
    // a value past the 32-bit range converts to INT32_MIN, which is past any limit too
    __m512i High = _mm512_setzero_si512(), Low = _mm512_setzero_si512();
    __mmask16 Ties[GainChunk / 16];
    for (int64_t G = 0; G < GainChunk / 16; ++G) {
        const __m512i Bytes = _mm512_maskz_loadu_epi8(Bytes48, In + 48 * G);
        const __m512i Samples = _mm512_srai_epi32(_mm512_maskz_permutexvar_epi8(HighThree, Spread, Bytes), 8);
        __m256i Values[2];
        __mmask16 Tie = 0;
        for (int H = 0; H < 2; ++H) {
            const __m256i Eight = H == 0 ? _mm512_castsi512_si256(Samples) : _mm512_extracti64x4_epi64(Samples, 1);
            const __m512d S = _mm512_cvtepi32_pd(Eight);
            const __m512d Hundredths = _mm512_mul_pd(S, FB);
            const __m512d Rounded = _mm512_sub_pd(_mm512_add_pd(Hundredths, Shift), Shift);
            const __m512d V = _mm512_fmadd_pd(S, FA, Rounded);
            const __mmask8 Halves = _mm512_cmp_pd_mask(_mm512_abs_pd(_mm512_sub_pd(Hundredths, Rounded)), Half, _CMP_GT_OQ);
            Tie |= static_cast<__mmask16>(Halves << (8 * H));
            Values[H] = _mm512_cvttpd_epi32(V);
        }
        const __m512i Sixteen = _mm512_inserti64x4(_mm512_castsi256_si512(Values[0]), Values[1], 1);
        High = _mm512_max_epi32(High, Sixteen);
        Low = _mm512_min_epi32(Low, Sixteen);
        _mm512_mask_storeu_epi8(Out + 48 * G, Bytes48, _mm512_permutexvar_epi8(Gather, Sixteen));
        Ties[G] = Tie;
    }
    if ((_mm512_cmpgt_epi32_mask(High, _mm512_set1_epi32(static_cast<int32_t>(Clip - 1))) |
         _mm512_cmpgt_epi32_mask(_mm512_set1_epi32(static_cast<int32_t>(1 - Clip)), Low)) != 0)
        return false;
    alignas(64) int32_t Samples[GainChunk + 16], At[GainChunk + 16], Settled[GainChunk + 16];
    int64_t Count = 0;
    for (int64_t G = 0; G < GainChunk / 16; ++G) {
        if (Ties[G] == 0) continue;
        const __m512i Bytes = _mm512_maskz_loadu_epi8(Bytes48, In + 48 * G);
        const __m512i Values = _mm512_srai_epi32(_mm512_maskz_permutexvar_epi8(HighThree, Spread, Bytes), 8);
        const __m512i Places = _mm512_add_epi32(Positions32(), _mm512_set1_epi32(static_cast<int32_t>(16 * G)));
        _mm512_storeu_si512(Samples + Count, _mm512_maskz_compress_epi32(Ties[G], Values));
        _mm512_storeu_si512(At + Count, _mm512_maskz_compress_epi32(Ties[G], Places));
        Count += __builtin_popcount(Ties[G]);
    }
    for (int64_t J = Count; J < (Count + 3) / 4 * 4; ++J) Samples[J] = 0;
    const __m256d ClipD = _mm256_set1_pd(static_cast<double>(Clip));
    int Over = 0;
    for (int64_t J = 0; J < Count; J += 4) {
        const __m256d M = AmplifyTies4(_mm_load_si128(reinterpret_cast<const __m128i*>(Samples + J)), L);
        Over |= _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), M), ClipD, _CMP_GE_OQ));
        _mm_store_si128(reinterpret_cast<__m128i*>(Settled + J), _mm256_cvttpd_epi32(M));
    }
    for (int64_t J = 0; J < Count; ++J) portable::Pack24(Settled + J, Out + 3 * At[J], 1);
    return Over == 0;
}

bool ChunkFloat32(const uint8_t* In, float* Out, int64_t L, double Clip) {
    const __m512d Hundredth = _mm512_set1_pd(0.01), Hundred = _mm512_set1_pd(100.0);
    const __m512d Gain = _mm512_set1_pd(static_cast<double>(L)), ClipD = _mm512_set1_pd(Clip);
    const __m512d SignBit = _mm512_set1_pd(-0.0);
    __mmask8 Over = 0;
    for (int64_t K = 0; K < GainChunk; K += 8) {
        const __m512d S = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(In + 4 * K))));
        const __m512d Q0 = _mm512_mul_pd(S, Hundredth);
        const __m512d Q1 = _mm512_fmadd_pd(_mm512_fnmadd_pd(Q0, Hundred, S), Hundredth, Q0);
        const __m512d Q = _mm512_or_pd(_mm512_andnot_pd(SignBit, Q1), _mm512_and_pd(SignBit, S));
        const __m512d V = _mm512_mul_pd(Q, Gain);
        _mm256_storeu_ps(Out + K, _mm512_cvtpd_ps(V));
        Over |= _mm512_cmp_pd_mask(_mm512_abs_pd(V), ClipD, _CMP_NLT_UQ);
    }
    return Over == 0;
}

// The peak passes, sixteen or thirty-two lanes at a time; the last values are read through a
// mask, so that no byte past the stretch is touched and the lanes left out count as silence.
int32_t Peak16(const uint8_t* Bytes, int64_t Count) {
    __m512i High = _mm512_setzero_si512(), Low = _mm512_setzero_si512();
    for (int64_t K = 0; K < Count; K += 32) {
        const __mmask32 Lanes = Count - K >= 32 ? ~__mmask32{0} : (__mmask32{1} << (Count - K)) - 1;
        const __m512i V = _mm512_maskz_loadu_epi16(Lanes, Bytes + 2 * K);
        High = _mm512_max_epi16(High, V);
        Low = _mm512_min_epi16(Low, V);
    }
    const auto Widen = [](__m512i X, int H) {
        return _mm512_cvtepi16_epi32(H == 0 ? _mm512_castsi512_si256(X) : _mm512_extracti64x4_epi64(X, 1));
    };
    const int32_t Top = _mm512_reduce_max_epi32(_mm512_max_epi32(Widen(High, 0), Widen(High, 1)));
    const int32_t Bottom = -_mm512_reduce_min_epi32(_mm512_min_epi32(Widen(Low, 0), Widen(Low, 1)));
    return Top > Bottom ? Top : Bottom;
}

int64_t Peak24(const uint8_t* Bytes, int64_t Count) {
    // the extremes of the values times 256, which order alike
    const __m512i Spread = _mm512_load_si512(SpreadIndex.V);
    __m512i High = _mm512_setzero_si512(), Low = _mm512_setzero_si512();
    for (int64_t K = 0; K < Count; K += 16) {
        const __mmask64 Lanes = Count - K >= 16 ? Bytes48 : (__mmask64{1} << (3 * (Count - K))) - 1;
        const __m512i V = _mm512_maskz_permutexvar_epi8(HighThree, Spread, _mm512_maskz_loadu_epi8(Lanes, Bytes + 3 * K));
        High = _mm512_max_epi32(High, V);
        Low = _mm512_min_epi32(Low, V);
    }
    const int64_t Top = _mm512_reduce_max_epi32(High) >> 8, Bottom = -static_cast<int64_t>(_mm512_reduce_min_epi32(Low) >> 8);
    return Top > Bottom ? Top : Bottom;
}

uint32_t PeakFloat32(const uint8_t* Values, int64_t Count) {
    const __m512i Magnitude = _mm512_set1_epi32(0x7FFFFFFF);
    __m512i Peak = _mm512_setzero_si512();
    for (int64_t K = 0; K < Count; K += 16) {
        const __mmask16 Lanes = Count - K >= 16 ? __mmask16{0xFFFF} : static_cast<__mmask16>((1u << (Count - K)) - 1);
        Peak = _mm512_max_epu32(Peak, _mm512_and_si512(_mm512_maskz_loadu_epi32(Lanes, Values + 4 * K), Magnitude));
    }
    return _mm512_reduce_max_epu32(Peak);
}

} // namespace

void InitGainKernelsAvx512(TGainKernels& Table) {
    Table.Peak16 = Peak16;
    Table.Peak24 = Peak24;
    Table.PeakFloat32 = PeakFloat32;
    Table.Chunk16 = Chunk16;
    Table.Chunk24 = Chunk24;
    Table.ChunkFloat32 = ChunkFloat32;
}

} // namespace sonolift
