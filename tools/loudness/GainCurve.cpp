#include "GainCurve.h"

#include <algorithm>
#include <cmath>

namespace sonoloud {

namespace {

// Requirements are summed over the attack in fixed point, so that a window of ones sums to
// exactly its length and the gain away from any peak is exactly 1 whatever came before.
constexpr double Unit = 281474976710656.0; // 2^48

} // namespace

std::string LimiterSettings() {
    return "true-peak limiter: look-ahead " + std::to_string(std::lround(AttackSeconds * 1000)) + " ms; release " +
           std::to_string(std::lround(ReleaseSeconds * 1000)) + " ms";
}

TGainCurve::TGainCurve(int64_t Rate, int Behind, int Ahead)
    : FAttack(std::max<int64_t>(1, std::llround(AttackSeconds * static_cast<double>(Rate)))), FBehind(Behind),
      FAhead(Ahead), FRelease(std::exp(-1 / (ReleaseSeconds * static_cast<double>(Rate)))) {}

double TGainCurve::Released(double Previous) const {
    const double Shortfall = (1 - Previous) * FRelease;
    return Shortfall < SnapShortfall ? 1.0 : 1 - Shortfall;
}

double TGainCurve::Compute(const double* Require, int64_t Count, double Previous, double* Gain) {
    double Lowest = 1;
    if (std::all_of(Require - Before(), Require + Count + After(), [](double R) { return R >= 1; })) {
        for (int64_t N = 0; N < Count; ++N) Lowest = std::min(Lowest, Gain[N] = Previous = Released(Previous));
        return Lowest;
    }
    // The lowest requirement of each window of the attack plus an interval's reach (a queue of
    // the places of ever higher requirements), for the frames the ramps of [0, Count) average.
    const int64_t First = -Before(), Span = Count + After() - First, Width = FAttack + FAhead + FBehind;
    FLow.resize(static_cast<size_t>(Span));
    FSum.assign(static_cast<size_t>(Count + FAttack), 0);
    int64_t Head = 0, Tail = 0, Next = 0; // the queue in FLow[Head, Tail): places relative to First
    for (int64_t U = 1 - FAttack; U < Count; ++U) {
        for (; Next < U - First + Width - FAhead; ++Next) { // take in up to U + Attack - 1 + Behind
            while (Tail > Head && Require[First + FLow[static_cast<size_t>(Tail - 1)]] >= Require[First + Next]) --Tail;
            FLow[static_cast<size_t>(Tail++)] = Next;
        }
        while (First + FLow[static_cast<size_t>(Head)] < U - FAhead) ++Head;
        const double Low = std::min(1.0, Require[First + FLow[static_cast<size_t>(Head)]]);
        // Never below one part in 2^48, so that a ramp still moves.
        const auto Fixed = std::max<int64_t>(1, static_cast<int64_t>(Low * Unit));
        const size_t At = static_cast<size_t>(U + FAttack - 1);
        FSum[At] = (At > 0 ? FSum[At - 1] : 0) + Fixed;
    }
    // The ramp: the mean of the lowest requirements of the attack's frames before each frame.
    const double Whole = Unit * static_cast<double>(FAttack);
    for (int64_t N = 0; N < Count; ++N) {
        const size_t At = static_cast<size_t>(N + FAttack - 1);
        const int64_t Sum = FSum[At] - (N > 0 ? FSum[static_cast<size_t>(N - 1)] : 0);
        Gain[N] = Previous = std::min(static_cast<double>(Sum) / Whole, Released(Previous));
        Lowest = std::min(Lowest, Previous);
    }
    return Lowest;
}

} // namespace sonoloud
