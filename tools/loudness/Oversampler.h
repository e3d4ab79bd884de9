// The interpolation that true peaks are found with (ITU-R BS.1770 Annex 2): 4x below 96 kHz, 2x
// below 192 kHz, none above, by libebur128's 49-tap windowed-sinc polyphase filter in its own
// arithmetic, so that a peak found here is bit for bit the one libebur128 measures.
#pragma once

#include <cstdint>
#include <vector>

namespace sonoloud {

class TOversampler {
public:
    explicit TOversampler(int64_t Rate);

    // Samples before and after an interval [n, n + 1) that its points depend on.
    int Behind() const { return FBehind; }
    int Ahead() const { return FAhead; }
    // The largest factor by which the filter lifts a stream's sample peak, with a little more for
    // rounding: no point of a stretch whose samples times Lift() stay at or under a level is
    // above that level.
    double Lift() const { return FLift; }
    // The bound of intervals [n, n + 1) with n in [0, Count): their samples' largest magnitude
    // (from X - Behind() to X + Count + Ahead()) times Lift(); none of their points is above it.
    double Bound(const double* X, int64_t Count) const;

    // For each interval [n, n + 1) with n in [0, Count): the largest magnitude of its points (the
    // sample itself and those between it and the next). The samples must be float values (the
    // reference rounds its input to float) and readable from X - Behind() to X + Count + Ahead().
    void IntervalPeaks(const double* X, int64_t Count, float* Peaks) const;
    // The largest of them (0 for none).
    double Largest(const double* X, int64_t Count) const;
    // For each interval [n, n + 1) with n in [0, Count): the largest finite point of any channel
    // of X, or 0 where a stretch of them has none above Level (none is worked out there).
    void PeaksOver(const std::vector<const double*>& X, int64_t Count, double Level, float* Peaks) const;

    // One phase of the filter: the point Phase / factor after sample n is the sum, in this order,
    // of Coeff[t] times the sample X[n + Ahead() - Index[t]].
    struct TPhase {
        int Taps = 0;
        int Index[24] = {};
        double Coeff[24] = {};
    };
    const std::vector<TPhase>& Phases() const { return FPhases; }

private:
    int FBehind = 0, FAhead = 0;
    double FLift = 1;
    std::vector<TPhase> FPhases;
    bool FWide = false;
};

// The largest of Count interval peaks, a NaN passed over (-infinity for none).
double LargestPeak(const float* Peaks, int64_t Count);

// The AVX2 build of IntervalPeaks (OversamplerAvx2.cpp), used where the processor has AVX2: the
// whole sixteens of intervals, At being X + Ahead(); returns how many it did.
int64_t IntervalPeaksWide(const TOversampler::TPhase* Phases, int PhaseCount, const double* At, int64_t Count, float* Peaks);

} // namespace sonoloud
