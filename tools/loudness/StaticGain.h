// The one static gain that brings a measured file to a loudness target under a true-peak
// ceiling, and the pass that reads a file's samples in blocks, as the meter takes them or
// scaled into another file. Knows no switches and prints nothing.
#pragma once

#include "LoudnessMeter.h"
#include "SampleCodec.h"
#include "WaveFiles.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sonoloud {

struct TGainPlan {
    double Db = 0;       // the static gain applied, in dB
    double Factor = 1;   // the same as a factor
    bool Limited = false; // lowered below the target's gain by the ceiling or by full scale
    // With the limiter: its largest reduction (dB, positive) and the share of the frames whose
    // gain it lowered.
    bool Limiter = false;
    double Reduction = 0, Share = 0;
    double Target = 0, Ceiling = 0; // LUFS, dBTP
    double Reached = 0;  // the output's integrated loudness, LUFS
    bool OverCeiling = false; // the limiter left true peaks above the ceiling
    bool Missed = false; // further from the target than it promises (MissedBy), or over the ceiling
};

// How far from its target an output may land and still be called normalised, in LU.
inline constexpr double MissedBy = 0.1;

// Full scale of an encoding's values: 2^(bits - 1) for integers (so -32768 is -1.0), 1 for floats.
double FullScale(vx::TSampleEncoding E);

// The gain from L (whose Integrated must be finite) to Target, lowered so that the true peak
// stays at or below Ceiling and, for integers, so that no rounded sample passes full scale
// (samples rounded to multiples of 2^Unused: their valid bits).
TGainPlan PlanGain(const TLoudness& L, double Target, double Ceiling, vx::TSampleEncoding E, int Unused = 0);

// Count samples of a file's bytes as doubles at Out, full scale 1.0 (floats as
// vx::DecodeSamples reads them).
void BytesToDoubles(vx::TSampleEncoding E, const uint8_t* Bytes, int64_t Count, double* Out);
// Frames of a file's bytes (Channels samples each) into Meter, decoded straight into its room.
void MeasureBytes(TLoudnessMeter& Meter, vx::TSampleEncoding E, int Channels, const uint8_t* Bytes, int64_t Frames);

// Reads every whole frame of Input's data chunk in blocks of bounded size and hands each block
// to Use as interleaved doubles (full scale 1.0). Raises the wave layer's read failures.
void ReadFrames(wave::TWaveIO& Input, vx::TSampleEncoding E,
                const std::function<void(const double* Frames, int64_t Count)>& Use);

// The encoding of Input's samples; raises why there is none (vx::ReadableEncoding), or that
// its frames are wider than their samples (their padding is no audio).
vx::TSampleEncoding MeasurableEncoding(const wave::TWaveIO& Input);
// The figures of Input's whole frames. Raises as ReadFrames and the meter do.
TLoudness MeasureWave(wave::TWaveIO& Input, vx::TSampleEncoding E);
// OutFile made new: Input's format and layout (RF64 past 4 GiB), its frames times Factor.
void WriteNormalised(wave::TWaveIO& Input, const std::string& OutFile, vx::TSampleEncoding E, double Factor,
                     size_t Window = wave::WaveIOWindow);
// OutFile created with Input's format and layout, for Input's frames; raises the wave object's failures.
std::unique_ptr<wave::TWaveIO> CreateLike(const wave::TWaveIO& Input, const std::string& OutFile, size_t Window);

// Takes the bytes of a file's audio, a block at a time.
using TBytesSink = std::function<void(const uint8_t* Bytes, size_t Count)>;
// Input's whole frames times Factor, as WriteScaled writes them, handed to Put a block at a time.
void ScaleFrames(wave::TWaveIO& Input, vx::TSampleEncoding E, double Factor, const TBytesSink& Put);
// Count interleaved frames of Channels values with full scale 1.0, each already a value the
// encoding holds, as a file's bytes, handed to Put a block at a time.
void EncodeFrames(vx::TSampleEncoding E, int Channels, const double* Frames, int64_t Count, const TBytesSink& Put);
// Writes Input's whole frames times Factor into Output, whose format and layout are set:
// integers rounded half to even at their valid bits (PlanGain keeps them within full scale;
// the bounds are clamped all the same), floats in double precision. Raises the wave layer's
// failures.
void WriteScaled(wave::TWaveIO& Input, wave::TWaveIO& Output, vx::TSampleEncoding E, double Factor);

} // namespace sonoloud
