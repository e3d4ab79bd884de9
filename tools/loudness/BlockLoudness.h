// The gated loudness of a stream of interleaved frames on one thread: each channel K-weighted,
// the weighted energies of every whole 100 ms block handed to the gating. What the limiter's
// trial runs and output are measured with.
#pragma once

#include "Gating.h"
#include "KWeighting.h"

#include <cstdint>
#include <vector>

namespace sonoloud {

class TBlockLoudness {
public:
    // Weights: each channel's weight in the sum (0 leaves it out); Bins: the gating's per LU.
    TBlockLoudness(int64_t Rate, const std::vector<double>& Weights, int Bins = 10);

    void Add(const double* Frames, int64_t Count);
    const TGating& Gating() const { return FGating; }

private:
    std::vector<TKWeighting> FFilters;
    std::vector<double> FWeights, FSums;
    int64_t FBlock, FInBlock = 0; // frames of a block (100 ms, rounded), and of the current one
    TGating FGating;
};

} // namespace sonoloud
