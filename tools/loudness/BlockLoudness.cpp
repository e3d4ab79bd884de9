#include "BlockLoudness.h"

#include <algorithm>

namespace sonoloud {

TBlockLoudness::TBlockLoudness(int64_t Rate, const std::vector<double>& Weights, int Bins)
    : FFilters(Weights.size(), TKWeighting(Rate)), FWeights(Weights), FSums(Weights.size(), 0.0), FBlock((Rate + 5) / 10),
      FGating(Bins) {}

void TBlockLoudness::Add(const double* Frames, int64_t Count) {
    const auto Channels = static_cast<int64_t>(FWeights.size());
    while (Count > 0) {
        const int64_t N = std::min(Count, FBlock - FInBlock);
        for (size_t C = 0; C < FWeights.size(); ++C) {
            if (FWeights[C] == 0) continue;
            if (C + 1 < FWeights.size() && FWeights[C + 1] != 0) { // two side by side
                double Sums[2];
                TKWeighting::SumOfSquares(FFilters[C], FFilters[C + 1], Frames + C, N, Channels, Sums);
                FSums[C] += Sums[0], FSums[C + 1] += Sums[1];
                ++C;
            } else {
                FSums[C] += FFilters[C].SumOfSquares(Frames + C, N, Channels);
            }
        }
        Frames += N * Channels, Count -= N, FInBlock += N;
        if (FInBlock < FBlock) break;
        double Sum = 0;
        for (size_t C = 0; C < FWeights.size(); ++C) Sum += FWeights[C] * FSums[C], FSums[C] = 0;
        FGating.Add(Sum, FBlock);
        FInBlock = 0;
    }
}

} // namespace sonoloud
