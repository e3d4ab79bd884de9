#include "Oversampler.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonoloud {

namespace {

// libebur128's filter: 49 taps of a sinc windowed by a Hann window, the coefficients under a
// millionth left out, each phase taking every Factor-th tap.
constexpr int Taps = 49;
constexpr double AlmostZero = 0.000001;

// The largest magnitude of Count samples from P, a NaN passed over (0 for none).
double LargestMagnitude(const double* P, int64_t Count) {
    double Most = 0;
    int64_t I = 0;
#if defined(__SSE2__)
    // Four pairs at a time in chains of their own: one chain waits on each max. A NaN leaves
    // its lane as it was, so no chain ever holds one and the order of joining them is free.
    const __m128d Sign = _mm_set1_pd(-0.0);
    const auto Magnitude = [&](int64_t At) { return _mm_andnot_pd(Sign, _mm_loadu_pd(P + At)); };
    __m128d A = _mm_setzero_pd(), B = A, C = A, D = A;
    for (; I + 8 <= Count; I += 8) {
        A = _mm_max_pd(Magnitude(I), A), B = _mm_max_pd(Magnitude(I + 2), B);
        C = _mm_max_pd(Magnitude(I + 4), C), D = _mm_max_pd(Magnitude(I + 6), D);
    }
    for (; I + 2 <= Count; I += 2) A = _mm_max_pd(Magnitude(I), A);
    const __m128d Joined = _mm_max_pd(_mm_max_pd(A, B), _mm_max_pd(C, D));
    double Lanes[2];
    _mm_storeu_pd(Lanes, Joined);
    Most = std::max(Lanes[0], Lanes[1]);
#endif
    for (; I < Count; ++I) Most = std::max(Most, std::fabs(P[I]));
    return Most;
}

} // namespace

TOversampler::TOversampler(int64_t Rate) {
    const int Factor = Rate < 96000 ? 4 : Rate < 192000 ? 2 : 1;
    FPhases.resize(static_cast<size_t>(Factor));
    if (Factor == 1) {
        FPhases[0].Taps = 1, FPhases[0].Coeff[0] = 1; // the samples alone
    } else {
        for (int J = 0; J < Taps; ++J) {
            const double M = static_cast<double>(J) - static_cast<double>(Taps - 1) / 2.0;
            double C = 1.0;
            if (std::fabs(M) > AlmostZero) C = std::sin(M * M_PI / Factor) / (M * M_PI / Factor);
            C *= 0.5 * (1 - std::cos(2 * M_PI * J / (Taps - 1)));
            if (std::fabs(C) > AlmostZero) {
                TPhase& P = FPhases[static_cast<size_t>(J % Factor)];
                P.Index[P.Taps] = J / Factor, P.Coeff[P.Taps] = C;
                ++P.Taps;
            }
        }
        // The sample itself comes out Taps / 2 / Factor samples late: that is how far ahead an
        // interval's points reach.
        FAhead = (Taps - 1) / 2 / Factor;
    }
    double Lift = 0;
    for (const TPhase& P : FPhases) {
        double Sum = 0;
        for (int T = 0; T < P.Taps; ++T) {
            Sum += std::fabs(P.Coeff[T]);
            FBehind = std::max(FBehind, P.Index[T] - FAhead);
        }
        Lift = std::max(Lift, Sum);
    }
    FLift = Lift * (1 + 1e-6);
#if SONOLOUD_WIDE
    FWide = __builtin_cpu_supports("avx2");
#endif
}

double TOversampler::Bound(const double* X, int64_t Count) const { return LargestMagnitude(X - FBehind, Count + FBehind + FAhead) * FLift; }

void TOversampler::IntervalPeaks(const double* X, int64_t Count, float* Peaks) const {
    for (int64_t N = FWide ? IntervalPeaksWide(FPhases.data(), static_cast<int>(FPhases.size()), X + FAhead, Count, Peaks) : 0; N < Count; ++N) {
        float Peak = 0;
        for (const TPhase& P : FPhases) {
            double Acc = 0.0;
            for (int T = 0; T < P.Taps; ++T) Acc += X[N + FAhead - P.Index[T]] * P.Coeff[T];
            // A NaN point is passed over, as the reference passes it over.
            const float V = std::fabs(static_cast<float>(Acc));
            Peak = V > Peak ? V : Peak;
        }
        Peaks[N] = Peak;
    }
}

double LargestPeak(const float* Peaks, int64_t Count) {
    float Most = -HUGE_VALF;
    int64_t I = 0;
#if defined(__SSE2__)
    // In chains of their own, as above; the first operand is the one a NaN gives up.
    __m128 A = _mm_set1_ps(-HUGE_VALF), B = A;
    for (; I + 8 <= Count; I += 8) A = _mm_max_ps(_mm_loadu_ps(Peaks + I), A), B = _mm_max_ps(_mm_loadu_ps(Peaks + I + 4), B);
    float Lanes[4];
    _mm_storeu_ps(Lanes, _mm_max_ps(A, B));
    for (const float L : Lanes) Most = L > Most ? L : Most;
#endif
    for (; I < Count; ++I) Most = Peaks[I] > Most ? Peaks[I] : Most;
    return Most;
}

double TOversampler::Largest(const double* X, int64_t Count) const {
    constexpr int64_t Piece = 256;
    float Peaks[Piece];
    float Largest = 0;
    for (int64_t Done = 0; Done < Count; Done += Piece) {
        const int64_t N = std::min(Piece, Count - Done);
        IntervalPeaks(X + Done, N, Peaks);
        const double Most = LargestPeak(Peaks, N);
        Largest = Most > Largest ? static_cast<float>(Most) : Largest;
    }
    return Largest;
}

void TOversampler::PeaksOver(const std::vector<const double*>& X, int64_t Count, double Level, float* Peaks) const {
    constexpr int64_t Piece = 256;
    float Channel[Piece];
    for (int64_t J = 0; J < Count; J += Piece) {
        const int64_t N = std::min(Piece, Count - J);
        double Most = 0; // of the channels' bounds
        for (const double* C : X) Most = std::max(Most, Bound(C + J, N));
        std::fill(Peaks + J, Peaks + J + N, 0.0f);
        if (Most <= Level) continue;
        for (const double* C : X) {
            IntervalPeaks(C + J, N, Channel);
            for (int64_t I = 0; I < N; ++I)
                if (Channel[I] > Peaks[J + I] && Channel[I] <= FLT_MAX) Peaks[J + I] = Channel[I];
        }
    }
}

} // namespace sonoloud
