// The engine's per-sample passes over 16-bit samples, vectorised: the peak of a stretch and the
// amplification of a run of samples up to the first value at the limit. Each pass is built for
// the baseline instruction set and, on x86-64, for AVX2, and the processor picks at start-up.
#pragma once

#include <cstdint>

namespace sonolift {

// Whether the passes use AVX2; set at start-up where the processor has it (tests clear it to
// check the baseline passes too).
extern bool WideVectors;

// The largest magnitude of Count little-endian 16-bit samples.
int32_t SpanPeak(const uint8_t* Bytes, int64_t Count);
// Amplify of In[0..Count) into Out with gain L, up to the first value whose magnitude reaches
// Clip (taken as at most 32768, so that every value stored fits); returns the values done.
// In and Out must not overlap; Out past the values done is left undefined.
int64_t AmplifyRun(const int16_t* In, int16_t* Out, int64_t Count, int64_t L, int64_t Clip);

} // namespace sonolift
