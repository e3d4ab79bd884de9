// What the loudness figures make of the K-weighted energy of a stream's 100 ms blocks: the
// gated integrated loudness and the loudness range, from histograms of the blocks' levels from
// -70 to +30 LUFS as libebur128 keeps them (bins of 0.1 LU by default, so the figures are its
// figures, in constant memory), and the loudest momentary (400 ms) and short-term (3 s)
// windows, each taken every 100 ms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonoloud {

// Bins per LU of the loudness a gain is aimed at: a hundredth of a LU.
inline constexpr int AimBins = 100;

class TGating {
public:
    // Bins: per LU; 10 as libebur128, AimBins where a gain is aimed at a loudness.
    explicit TGating(int Bins = 10);

    // The next 100 ms block: the sum over the channels of their weight times the sum of their
    // filtered samples' squares, and the block's frames.
    void Add(double WeightedSquares, int64_t Frames);

    // In LUFS or LU; -infinity where there is none (every block gated out, or none whole).
    double Integrated() const;
    double Range() const;
    double MaxMomentary() const;
    double MaxShortTerm() const;

private:
    std::array<double, 30> FLast{}; // the last 30 blocks' sums, FNext the oldest
    size_t FNext = 0;
    int64_t FBlocks = 0, FFrames = 0;
    double FMaxMomentary = 0, FMaxShortTerm = 0; // mean squares
    const struct THistogram* FLevels;
    std::vector<uint64_t> FBlock, FShort; // 400 ms blocks and 3 s windows by level
};

// The loudness of a mean square, as libebur128 computes it; -infinity for none.
double Lufs(double MeanSquare);

} // namespace sonoloud
