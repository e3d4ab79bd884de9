// The look-ahead true-peak limiter of a normalising pass: the static gain, lowered smoothly (one
// gain for all channels) around the points where the gained signal, 4x oversampled, would pass
// the ceiling; every output value rounded as it will be written and its true peak checked the
// way libebur128 measures it, the gain lowered again where a point still passes the ceiling.
// Samples away from any limiting are exactly the static gain's.
#pragma once

#include "GainCurve.h"
#include "Oversampler.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace sonoloud {

struct TLimitSettings {
    double Factor = 1;  // the static gain
    double Ceiling = 1; // the highest true peak of the output, linear
    double Full = 0;    // integer outputs: their values are whole multiples of 1 / Full; 0 for floats
    bool Float32 = false; // float outputs: rounded to single precision
};

// A frame counts as limited where its gain is this far below 1 (0.1 dB) or further.
inline constexpr double LimitedBy = 0.9885530946569389; // 10^(-0.1 / 20)

struct TLimitFigures {
    double Lowest = 1;   // the smallest gain, 1 where nothing was limited
    int64_t Limited = 0; // frames whose gain was LimitedBy or lower
    int64_t Frames = 0;
    int64_t Over = 0;    // stretches left over the ceiling: no gain could bring a point of them under
};

class TPeakLimiter {
public:
    using TSink = std::function<void(const double* Frames, int64_t Count)>;

    TPeakLimiter(int Channels, int64_t Rate, const TLimitSettings& S);

    // Takes Count interleaved frames (full scale 1.0, before the gain) and hands the frames that
    // are final to Out: interleaved, full scale 1.0, each as it will be written.
    void Add(const double* Frames, int64_t Count, const TSink& Out);
    // The last frames, after the end of the input.
    void Finish(const TSink& Out);
    const TLimitFigures& Figures() const { return FFigures; }

    // The level the limiter holds the gained signal's points to: the ceiling (under full scale
    // for integers) less what rounding the output to the format and to float may add.
    static double Level(const TLimitSettings& S, int64_t Rate);

private:
    void Append(const double* Frames, int64_t Count);
    void Advance(int64_t Known, const TSink& Out);
    void Envelope(int64_t To);
    void Gains(int64_t From, int64_t To);
    bool Verify(int64_t To);
    void Emit(int64_t To, const TSink& Out);
    void Compact();
    void Round(const double* In, const double* Gain, int64_t Count, double* Written, double* Checked) const;
    size_t At(int64_t Frame) const { return static_cast<size_t>(Frame - FBase); }

    int FChannels;
    TLimitSettings FSettings;
    TOversampler FOver;
    TGainCurve FCurve;
    double FTarget; // the level the requirements aim at: the ceiling less what rounding may add
    double FCeiling; // the level checked: the ceiling, and under full scale for integers
    // The window of frames from FBase on; frame n of channel c at FInput[c][n - FBase].
    int64_t FBase;
    std::vector<std::vector<double>> FInput, FOutput, FChecked; // gained, as written, as measured
    std::vector<double> FRequire, FGain;
    std::vector<float> FPeaks; // scratch of Envelope
    // Frames taken in, intervals with requirements, frames with gains, intervals checked, frames
    // handed out.
    int64_t FIn = 0, FReq, FGained = 0, FVerified, FOut = 0;
    int64_t FRetried = -1; // the interval checked again last, and how often
    int FRetries = 0;
    int64_t FGivenUp = -1; // the last point no gain could bring under the ceiling; checks pass it
    TLimitFigures FFigures;
    std::vector<double> FInterleaved; // scratch for Emit
};

} // namespace sonoloud
