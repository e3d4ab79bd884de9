// The engine's per-sample passes, vectorised: the peak of a stretch and the amplification of a
// run of samples up to the first value at the limit. The 16-bit passes are built for the
// baseline instruction set and, on x86-64, for AVX2, and the processor picks at start-up.
#pragma once

#include <cstdint>

namespace sonolift {

// Whether the passes use AVX2; set at start-up where the processor has it (tests clear it to
// check the baseline passes too).
extern bool WideVectors;

// The largest magnitude of Count values (native int16, int32 or double, as bytes).
int32_t SpanPeak(const uint8_t* Values, int64_t Count);
int64_t SpanPeak32(const uint8_t* Values, int64_t Count);
double SpanPeakFloat(const uint8_t* Values, int64_t Count);
// Amplify of In[0..Count) into Out with gain L, up to the first value whose magnitude reaches
// Clip (taken as at most 32768, so that every value stored fits); returns the values done.
// In and Out must not overlap; Out past the values done is left undefined.
int64_t AmplifyRun(const int16_t* In, int16_t* Out, int64_t Count, int64_t L, int64_t Clip);
// The same for 32-bit values (Clip taken as at most 2^31), and for float values amplified as
// s / 100 * L in double precision.
int64_t AmplifyRun32(const int32_t* In, int32_t* Out, int64_t Count, int64_t L, int64_t Clip);
int64_t AmplifyRunFloat(const double* In, double* Out, int64_t Count, int64_t L, double Clip);

} // namespace sonolift
