// How a measured file reaches its loudness target under its true-peak ceiling: the one static
// gain where the gained peaks stay under the ceiling; otherwise the look-ahead limiter, with the
// static gain raised, by trial runs over the file (a few gains a run), until the limited output
// lands on the target; then the output made through the limiter and measured as it is made.
// Knows no switches and prints nothing.
#pragma once

#include "StaticGain.h"

#include <string>

namespace sonoloud {

// The static gain rises at most this far (dB) above the target's plain gain for the limiter.
inline constexpr double MostRaise = 24;

// How Input (measured as L, its Integrated finite) reaches Target LUFS with its true peak at or
// under Ceiling dBTP: with the limiter unless Static, which keeps one static gain, lowered for
// the ceiling. Reads the input once per trial run where the limiter is needed; writes nothing.
TGainPlan PlanTarget(wave::TWaveIO& Input, vx::TSampleEncoding E, const TLoudness& L, double Target, double Ceiling, bool Static);
// The output's audio by plan P, as a data chunk holds it, handed to Put a block at a time; P gets
// the loudness reached (measured on the way where the limiter made it) and the limiter's figures.
void FillTarget(wave::TWaveIO& Input, vx::TSampleEncoding E, TGainPlan& P, const TBytesSink& Put);
// Both, into OutFile made new with Input's format and layout. Window: the output's I/O window.
// Raises the wave layer's failures.
TGainPlan Normalise(wave::TWaveIO& Input, vx::TSampleEncoding E, const TLoudness& L, double Target, double Ceiling,
                    bool Static, const std::string& OutFile, size_t Window = wave::WaveIOWindow);

} // namespace sonoloud
