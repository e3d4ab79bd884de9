// The AVX2 build of the oversampler's interval peaks: whole sixteens of intervals, each lane doing
// exactly the scalar sums in their order (a multiply, then an add: no fused multiply-add), so
// the peaks are the same bits. This source alone is compiled with -mavx2 (on x86-64); elsewhere
// it does nothing. No inline function of a header is called here, so that
// no copy of one built for AVX2 can stand in for the baseline's.
#include "Oversampler.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace sonoloud {

#if defined(__AVX2__)

int64_t IntervalPeaksWide(const TOversampler::TPhase* Phases, int PhaseCount, const double* At, int64_t Count, float* Peaks) {
    const __m128 Magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    int64_t N = 0;
    // Sixteen intervals at a time: four sums in flight per phase hide the adds' latency.
    for (; N + 16 <= Count; N += 16) {
        __m128 P0 = _mm_setzero_ps(), P1 = P0, P2 = P0, P3 = P0;
        for (const TOversampler::TPhase* P = Phases; P < Phases + PhaseCount; ++P) {
            __m256d A0 = _mm256_setzero_pd(), A1 = A0, A2 = A0, A3 = A0;
            for (int T = 0; T < P->Taps; ++T) {
                const __m256d C = _mm256_set1_pd(P->Coeff[T]);
                const double* From = At + N - P->Index[T];
                A0 = _mm256_add_pd(A0, _mm256_mul_pd(_mm256_loadu_pd(From), C));
                A1 = _mm256_add_pd(A1, _mm256_mul_pd(_mm256_loadu_pd(From + 4), C));
                A2 = _mm256_add_pd(A2, _mm256_mul_pd(_mm256_loadu_pd(From + 8), C));
                A3 = _mm256_add_pd(A3, _mm256_mul_pd(_mm256_loadu_pd(From + 12), C));
            }
            // max takes its second operand where the first is NaN: a NaN point is passed over.
            P0 = _mm_max_ps(_mm_and_ps(_mm256_cvtpd_ps(A0), Magnitude), P0);
            P1 = _mm_max_ps(_mm_and_ps(_mm256_cvtpd_ps(A1), Magnitude), P1);
            P2 = _mm_max_ps(_mm_and_ps(_mm256_cvtpd_ps(A2), Magnitude), P2);
            P3 = _mm_max_ps(_mm_and_ps(_mm256_cvtpd_ps(A3), Magnitude), P3);
        }
        _mm_storeu_ps(Peaks + N, P0);
        _mm_storeu_ps(Peaks + N + 4, P1);
        _mm_storeu_ps(Peaks + N + 8, P2);
        _mm_storeu_ps(Peaks + N + 12, P3);
    }
    return N;
}

#else

int64_t IntervalPeaksWide(const TOversampler::TPhase*, int, const double*, int64_t, float*) { return 0; }

#endif

} // namespace sonoloud
