// The integrated loudness the limiter's output would have at each of several static gains, from
// one reading of the input: the input's oversampled peaks and its K-weighting are worked out
// once, and each gain adds only the K-weighting of what its limiter takes away, where it takes
// something away. Rounding to the format and the limiter's checks are left out: they move the
// loudness by far less than a hundredth of a LU.
#pragma once

#include "GainCurve.h"
#include "Gating.h"
#include "KWeighting.h"
#include "Oversampler.h"

#include <cstdint>
#include <vector>

namespace sonoloud {

class TLimiterTrial {
public:
    // Weights: each channel's weight in the loudness; Level: the limiter's level (linear);
    // Factors: the static gains tried.
    TLimiterTrial(int64_t Rate, const std::vector<double>& Weights, double Level, const std::vector<double>& Factors);

    // Takes Count interleaved frames (full scale 1.0).
    void Add(const double* Frames, int64_t Count);
    // After the last frame: the integrated loudness (LUFS) at each gain.
    std::vector<double> Finish();

private:
    struct TTry {
        double Factor;
        double Last = 1;                  // the gain of the frame before
        std::vector<TKWeighting> Taken;   // what the limiter takes away, per channel, K-weighted
        double Change = 0;                // of the block's energy, at unit gain
        TGating Gating;
    };
    void Append(const double* Frames, int64_t Count);
    void Advance(int64_t Known, int64_t End);
    void Segment(int64_t From, int64_t To);
    void Limit(TTry& T, int64_t From, int64_t To);
    void Compact();
    size_t At(int64_t Frame) const { return static_cast<size_t>(Frame - FBase); }

    std::vector<double> FWeights;
    double FLevel;
    TOversampler FOver;
    TGainCurve FCurve;
    std::vector<TKWeighting> FFilters;
    std::vector<TTry> FTries;
    // The window from frame FBase on: the input, its K-weighting (per channel) and its peaks.
    int64_t FBase;
    std::vector<std::vector<double>> FInput, FWeighted;
    std::vector<float> FPeaks;
    int64_t FIn = 0, FPeaked, FDone = 0;
    int64_t FBlock, FInBlock = 0; // frames of a 100 ms block, and of the current one
    double FEnergy = 0;           // of the current block, at unit gain, nothing taken away
    std::vector<double> FRequire, FGain, FTaken, FTakenWeighted; // scratch
};

} // namespace sonoloud
