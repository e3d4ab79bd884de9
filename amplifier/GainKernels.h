// The engine's per-sample passes, vectorised: the peak of a stretch and the amplification of a
// run of samples up to the first value at the limit. Each instruction set the passes are built
// for (the baseline; AVX2 with FMA and AVX-512 on x86-64) fills one table of them, and the
// table of the widest set the processor runs is chosen once; callers call through a table.
#pragma once

#include <cstdint>

namespace sonolift {

// The passes of one instruction set. A set fills in what it does better and keeps the rest
// from the set below it.
struct TGainKernels {
    // The largest magnitude of Count samples: native int16, packed little-endian 24-bit, native
    // int32, native doubles, and native floats, whose peak is given as the bits of the
    // magnitude (0x7F800000 or more: one of them is not finite).
    int32_t (*Peak16)(const uint8_t* Values, int64_t Count);
    int64_t (*Peak24)(const uint8_t* Bytes, int64_t Count);
    int64_t (*Peak32)(const uint8_t* Values, int64_t Count);
    double (*PeakFloat64)(const uint8_t* Values, int64_t Count);
    uint32_t (*PeakFloat32)(const uint8_t* Values, int64_t Count);
    // Tiles of samples amplified with gain L; a value the pass cannot settle (an exact half of
    // an integer, a value whose magnitude reaches Clip, not a number) gets a flag, TieFlag or
    // ClipFlag, and some value; returns whether any flag is left. Tiles16 takes |L| <= 32767,
    // Tiles32 |L| <= 2^21.
    bool (*Tiles16)(const int16_t* In, int16_t* Out, uint8_t* Flag, int64_t Tiles, int32_t L, int32_t Clip);
    bool (*Tiles32)(const int32_t* In, int32_t* Out, uint8_t* Flag, int64_t Tiles, int64_t L, int64_t Clip);
    bool (*TilesFloat64)(const double* In, double* Out, uint8_t* Flag, int64_t Tiles, int64_t L, double Clip);
    bool (*TilesFloat32)(const float* In, float* Out, uint8_t* Flag, int64_t Tiles, int64_t L, double Clip);
    // A whole chunk of native int16 values, packed 24-bit samples (into packed bytes at Out,
    // not In) or native floats, amplified at once, every value settled, where every value is a
    // number under Clip; false, Out holding anything, for the other chunks. Empty in a set
    // without them. Chunk16 takes |L| <= 32767, Chunk24 |L| <= 2^21 and Clip at most 2^23.
    bool (*Chunk16)(const uint8_t* In, int16_t* Out, int32_t L, int32_t Clip);
    bool (*Chunk24)(const uint8_t* In, uint8_t* Out, int64_t L, int64_t Clip);
    bool (*ChunkFloat32)(const uint8_t* In, float* Out, int64_t L, double Clip);
    // Count packed little-endian 24-bit samples to int32 values, and back.
    void (*Unpack24)(const uint8_t* Bytes, int32_t* Values, int64_t Count);
    void (*Pack24)(const int32_t* Values, uint8_t* Bytes, int64_t Count);
};

// The instruction sets, each one's table extending the one before it.
enum class TKernelSet { Baseline, Avx2, Avx512 };
inline constexpr TKernelSet KernelSets[] = {TKernelSet::Baseline, TKernelSet::Avx2, TKernelSet::Avx512};
const char* KernelSetName(TKernelSet Set);
// The table of Set; nullptr where this processor does not run it (or the build has no such set).
const TGainKernels* KernelTable(TKernelSet Set);
// The table of the widest set the processor runs.
const TGainKernels& NativeKernels();

// Amplify of Count values at In into Out (Out is In, or does not overlap it) with gain L by the
// table's passes, up to the first value whose magnitude reaches Clip; returns the values done.
// Out past them is left as it was where it is In, and holds anything where it is not. Native
// int16 (Clip taken as at most 32768, so that every value stored fits), packed 24-bit integers
// (Clip at most 2^23), native int32 (Clip at most 2^31), native doubles amplified as s / 100 * L
// in double precision, and native floats amplified so in double precision, the run stopping
// also before one that is not finite.
int64_t AmplifyRun16(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip);
int64_t AmplifyRun24(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip);
int64_t AmplifyRun32(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, int64_t Clip);
int64_t AmplifyRunFloat64(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, double Clip);
int64_t AmplifyRunFloat32(const TGainKernels& K, const uint8_t* In, uint8_t* Out, int64_t Count, int64_t L, double Clip);

} // namespace sonolift
