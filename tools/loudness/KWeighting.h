// The K-weighting of BS.1770 for one channel: the high shelf and the high-pass as libebur128
// combines them into one fourth-order filter, with its coefficients for any rate. What a meter
// needs of the filtered samples is the sum of their squares over a block.
#pragma once

#include <cstdint>

namespace sonoloud {

class TKWeighting {
public:
    explicit TKWeighting(int64_t Rate);

    // Filters the Count samples X[0], X[Stride], ... after those of earlier calls and returns the
    // sum of the squares of what comes out.
    double SumOfSquares(const double* X, int64_t Count, int64_t Stride = 1);
    // Two filters side by side on two channels next to each other in interleaved frames (A on
    // X[0], X[Stride], ..., B on X[1], X[Stride + 1], ...): each sum is what the filter's own
    // SumOfSquares gives, bit for bit, for about the cost of one.
    static void SumOfSquares(TKWeighting& A, TKWeighting& B, const double* X, int64_t Count, int64_t Stride, double Sums[2]);
    // Filters the Count samples X[0...] into Y[0...].
    void Filter(const double* X, int64_t Count, double* Y);
    // True where the filter, fed silence, gives nothing that counts any more (its state under a
    // ten-billionth of full scale); it then starts again from silence.
    bool Settle();

private:
    // Filters the samples into Y where Y is given, else returns the sum of their squares.
    double Run(const double* X, int64_t Count, int64_t Stride, double* Y);

    double FB[5], FA[5];
    double FV[5] = {}; // the filter's state: FV[1..4] the last values
};

} // namespace sonoloud
