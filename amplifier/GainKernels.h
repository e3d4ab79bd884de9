// The engine's per-sample passes, vectorised: the peak of a stretch and the amplification of a
// run of samples up to the first value at the limit. The passes are built for the baseline
// instruction set and, on x86-64, for AVX2 (with FMA), and the processor picks at start-up.
#pragma once

#include <cstdint>

namespace sonolift {

// Whether the passes use AVX2 and FMA; set at start-up where the processor has them (tests
// clear it to check the baseline passes too).
extern bool WideVectors;
// Whether the 16-bit, 24-bit and float chunks and peaks use AVX-512 (with VBMI and VBMI2)
// besides, where WideVectors is set; set at start-up where the processor has them.
extern bool WidestVectors;

// The largest magnitude of Count values (native int16, int32 or double, as bytes).
int32_t SpanPeak(const uint8_t* Values, int64_t Count);
int64_t SpanPeak32(const uint8_t* Values, int64_t Count);
double SpanPeakFloat(const uint8_t* Values, int64_t Count);
// The same for Count samples as a file stores them: packed little-endian 24-bit integers, and
// native floats, whose peak is returned as its bits (0x7F800000 or more: one is not finite).
int64_t SpanPeak24(const uint8_t* Bytes, int64_t Count);
uint32_t SpanPeakFloat32Bits(const uint8_t* Values, int64_t Count);

// Amplify of Count values at In into Out (In may be Out) with gain L, up to the first value
// whose magnitude reaches Clip; returns the values done, and Out past them is left as it was.
// Native int16 (Clip taken as at most 32768, so that every value stored fits), native int32
// (Clip taken as at most 2^31) and native doubles amplified as s / 100 * L in double precision.
int64_t AmplifyRun(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip);
int64_t AmplifyRun32(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip);
int64_t AmplifyRunFloat(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, double Clip);
// The same for samples as a file stores them: packed 24-bit integers (Clip at most 2^23), and
// native floats amplified in double precision, the run stopping also before one that is not
// finite.
int64_t AmplifyRun24(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip);
int64_t AmplifyRunFloat32(const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, double Clip);

} // namespace sonolift
