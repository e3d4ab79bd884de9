#include "KWeighting.h"

#include <cmath>

#if defined(__SSE2__)
#include <xmmintrin.h>
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

template <class TUse>
void TKWeighting::Run(const double* X, int64_t Count, int64_t Stride, TUse&& Use) {
    const TFlushToZero Flush;
    double V1 = FV[1], V2 = FV[2], V3 = FV[3], V4 = FV[4];
    for (int64_t I = 0; I < Count; ++I) {
        // The last value's term comes last: the only one each sample waits for.
        const double V0 = X[I * Stride] - FA[4] * V4 - FA[3] * V3 - FA[2] * V2 - FA[1] * V1;
        Use(I, FB[0] * V0 + FB[1] * V1 + FB[2] * V2 + FB[3] * V3 + FB[4] * V4);
        V4 = V3, V3 = V2, V2 = V1, V1 = V0;
    }
    FV[1] = V1, FV[2] = V2, FV[3] = V3, FV[4] = V4;
}

double TKWeighting::SumOfSquares(const double* X, int64_t Count, int64_t Stride) {
    double Sum = 0;
    Run(X, Count, Stride, [&](int64_t, double Y) { Sum += Y * Y; });
    return Sum;
}

void TKWeighting::Filter(const double* X, int64_t Count, double* Y) {
    Run(X, Count, 1, [&](int64_t I, double V) { Y[I] = V; });
}

bool TKWeighting::Settle() {
    for (double V : FV)
        if (std::fabs(V) >= 1e-10) return false;
    for (double& V : FV) V = 0;
    return true;
}

} // namespace sonoloud
