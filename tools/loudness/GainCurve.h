// The gain of the look-ahead limiter, one value per frame, from what each sample interval
// requires: held at an interval's requirement over every sample its points depend on, reached
// by a straight ramp over the attack before it, left by the same ramp and then a slower
// exponential release, and exactly 1 wherever nothing is required near.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonoloud {

// The limiter's timing (documented in the README and the man page).
inline constexpr double AttackSeconds = 0.002; // the ramp down, and the look-ahead
inline constexpr double ReleaseSeconds = 0.050; // time constant of the way back up
// Below this shortfall the release snaps back to a gain of exactly 1: -0.0009 dB.
inline constexpr double SnapShortfall = 1e-4;

// The settings as a record names them: "true-peak limiter: look-ahead 5 ms; release 80 ms".
std::string LimiterSettings();

class TGainCurve {
public:
    // Behind and Ahead: the samples before and after an interval that its points depend on.
    TGainCurve(int64_t Rate, int Behind, int Ahead);

    // Frames of the attack ramp.
    int64_t Attack() const { return FAttack; }
    // Requirements before and after a frame that its gain depends on.
    int64_t Before() const { return FAttack - 1 + FAhead; }
    int64_t After() const { return FAttack - 1 + FBehind; }

    // Gain[n] for n in [0, Count) from Require[j], the largest gain the points of interval j
    // allow (1 where they allow any), readable for j in [-Before(), Count + After()); Previous is
    // the gain of the frame before. Returns the smallest gain.
    double Compute(const double* Require, int64_t Count, double Previous, double* Gain);
    // The gain that follows Previous where nothing is required near: the release, or 1.
    double Released(double Previous) const;

private:
    int64_t FAttack;
    int FBehind, FAhead;
    double FRelease; // the part of the shortfall left after one frame
    std::vector<int64_t> FLow, FSum; // scratch: the window's lowest requirements, their sums
};

} // namespace sonoloud
