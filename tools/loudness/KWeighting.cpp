#include "KWeighting.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonoloud {

namespace {

// Results too small for a normal double are flushed to zero while a filter runs, as libebur128
// does: a filter fed silence after sound would otherwise spend hundreds of cycles on each.
class TFlushToZero {
public:
#if defined(__SSE2__)
    TFlushToZero() : FSaved(_mm_getcsr()) { _mm_setcsr(FSaved | _MM_FLUSH_ZERO_ON); }
    ~TFlushToZero() { _mm_setcsr(FSaved); }

private:
    unsigned FSaved;
#endif
};

} // namespace

TKWeighting::TKWeighting(int64_t Rate) {
    // libebur128's coefficients: a high shelf (f0, gain G, quality Q) and a high-pass, each a
    // biquad by the bilinear transform, multiplied out.
    const double R = static_cast<double>(Rate);
    double F0 = 1681.974450955533, G = 3.999843853973347, Q = 0.7071752369554196;
    double K = std::tan(M_PI * F0 / R);
    const double Vh = std::pow(10.0, G / 20.0), Vb = std::pow(Vh, 0.4996667741545416);
    double Pb[3] = {0.0, 0.0, 0.0}, Pa[3] = {1.0, 0.0, 0.0};
    const double Rb[3] = {1.0, -2.0, 1.0};
    double Ra[3] = {1.0, 0.0, 0.0};
    const double A0 = 1.0 + K / Q + K * K;
    Pb[0] = (Vh + Vb * K / Q + K * K) / A0;
    Pb[1] = 2.0 * (K * K - Vh) / A0;
    Pb[2] = (Vh - Vb * K / Q + K * K) / A0;
    Pa[1] = 2.0 * (K * K - 1.0) / A0;
    Pa[2] = (1.0 - K / Q + K * K) / A0;
    F0 = 38.13547087602444, Q = 0.5003270373238773;
    K = std::tan(M_PI * F0 / R);
    Ra[1] = 2.0 * (K * K - 1.0) / (1.0 + K / Q + K * K);
    Ra[2] = (1.0 - K / Q + K * K) / (1.0 + K / Q + K * K);
    FB[0] = Pb[0] * Rb[0];
    FB[1] = Pb[0] * Rb[1] + Pb[1] * Rb[0];
    FB[2] = Pb[0] * Rb[2] + Pb[1] * Rb[1] + Pb[2] * Rb[0];
    FB[3] = Pb[1] * Rb[2] + Pb[2] * Rb[1];
    FB[4] = Pb[2] * Rb[2];
    FA[0] = Pa[0] * Ra[0];
    FA[1] = Pa[0] * Ra[1] + Pa[1] * Ra[0];
    FA[2] = Pa[0] * Ra[2] + Pa[1] * Ra[1] + Pa[2] * Ra[0];
    FA[3] = Pa[1] * Ra[2] + Pa[2] * Ra[1];
    FA[4] = Pa[2] * Ra[2];
}

double TKWeighting::Run(const double* X, int64_t Count, int64_t Stride, double* Y) {
    const TFlushToZero Flush;
    // Locals, so that neither the coefficients nor the sum go through memory on each sample.
    const double A1 = FA[1], A2 = FA[2], A3 = FA[3], A4 = FA[4];
    const double B0 = FB[0], B1 = FB[1], B2 = FB[2], B3 = FB[3], B4 = FB[4];
    double V1 = FV[1], V2 = FV[2], V3 = FV[3], V4 = FV[4], Sum = 0;
    for (int64_t I = 0; I < Count; ++I) {
        // The last value's term comes last: the only one each sample waits for.
        const double V0 = X[I * Stride] - A4 * V4 - A3 * V3 - A2 * V2 - A1 * V1;
        const double Out = B0 * V0 + B1 * V1 + B2 * V2 + B3 * V3 + B4 * V4;
        if (Y != nullptr)
            Y[I] = Out;
        else
            Sum += Out * Out;
        V4 = V3, V3 = V2, V2 = V1, V1 = V0;
    }
    FV[1] = V1, FV[2] = V2, FV[3] = V3, FV[4] = V4;
    return Sum;
}

double TKWeighting::SumOfSquares(const double* X, int64_t Count, int64_t Stride) { return Run(X, Count, Stride, nullptr); }

void TKWeighting::Filter(const double* X, int64_t Count, double* Y) { Run(X, Count, 1, Y); }

void TKWeighting::SumOfSquares(TKWeighting& A, TKWeighting& B, const double* X, int64_t Count, int64_t Stride, double Sums[2]) {
#if defined(__SSE2__)
    // Lane 0 is A, lane 1 is B; each lane does Run's operations in Run's order, no more.
    const TFlushToZero Flush;
    const auto Pair = [](double Low, double High) { return _mm_set_pd(High, Low); };
    const __m128d A1 = Pair(A.FA[1], B.FA[1]), A2 = Pair(A.FA[2], B.FA[2]), A3 = Pair(A.FA[3], B.FA[3]), A4 = Pair(A.FA[4], B.FA[4]);
    const __m128d B0 = Pair(A.FB[0], B.FB[0]), B1 = Pair(A.FB[1], B.FB[1]), B2 = Pair(A.FB[2], B.FB[2]),
                  B3 = Pair(A.FB[3], B.FB[3]), B4 = Pair(A.FB[4], B.FB[4]);
    __m128d V1 = Pair(A.FV[1], B.FV[1]), V2 = Pair(A.FV[2], B.FV[2]), V3 = Pair(A.FV[3], B.FV[3]), V4 = Pair(A.FV[4], B.FV[4]);
    __m128d Sum = _mm_setzero_pd();
    for (int64_t I = 0; I < Count; ++I) {
        __m128d V0 = _mm_sub_pd(_mm_loadu_pd(X + I * Stride), _mm_mul_pd(A4, V4));
        V0 = _mm_sub_pd(_mm_sub_pd(_mm_sub_pd(V0, _mm_mul_pd(A3, V3)), _mm_mul_pd(A2, V2)), _mm_mul_pd(A1, V1));
        __m128d Out = _mm_add_pd(_mm_mul_pd(B0, V0), _mm_mul_pd(B1, V1));
        Out = _mm_add_pd(_mm_add_pd(_mm_add_pd(Out, _mm_mul_pd(B2, V2)), _mm_mul_pd(B3, V3)), _mm_mul_pd(B4, V4));
        Sum = _mm_add_pd(Sum, _mm_mul_pd(Out, Out));
        V4 = V3, V3 = V2, V2 = V1, V1 = V0;
    }
    const auto Split = [&](__m128d V, int Index) {
        _mm_storel_pd(&A.FV[Index], V);
        _mm_storeh_pd(&B.FV[Index], V);
    };
    Split(V1, 1), Split(V2, 2), Split(V3, 3), Split(V4, 4);
    _mm_storel_pd(&Sums[0], Sum);
    _mm_storeh_pd(&Sums[1], Sum);
#else
    Sums[0] = A.SumOfSquares(X, Count, Stride), Sums[1] = B.SumOfSquares(X + 1, Count, Stride);
#endif
}

bool TKWeighting::Settle() {
    for (double V : FV)
        if (std::fabs(V) >= 1e-10) return false;
    for (double& V : FV) V = 0;
    return true;
}

} // namespace sonoloud
