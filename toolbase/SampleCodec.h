// The sample encodings the wave tools read: which one a file's format names, and the conversion of
// a block of a file's samples to the values the engine works on and back. Integer samples
// become int16 (8 and 16 bits) or int32 (24 and 32 bits) values, float samples doubles.
#pragma once

#include "WaveFiles.h"
#include "vxSystem.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

namespace vx {

// Samples are stored little-endian and used in place on machines of that order; others take
// each sample byte by byte. Bytewise takes that rule on any machine, so the tests run it on the
// machines they run on.
constexpr bool SamplesInPlace(bool Bytewise) { return !Bytewise && std::endian::native == std::endian::little; }

enum class TSampleEncoding : uint8_t { seNone, sePcm8, sePcm16, sePcm24, sePcm32, seFloat32, seFloat64 };

// The encoding of the samples of Format (with Extension for the extensible tag), or seNone when
// the engine cannot read them: bits other than 8, 16, 24 and 32 for integers or 32 and 64 for
// float, float valid bits below the container's, other sub-formats, an extensible chunk
// without its extension, samples that do not fit their frames. Integers whose valid bits lie
// below their container's are read at the container's width. 16-bit samples under any other
// tag are read as integers, and their frames may be wider than the samples.
TSampleEncoding SampleEncoding(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension);
// Why SampleEncoding gives seNone, such as "A-law (format 6) is not PCM", with a hint where a
// converter can make PCM of the samples; empty for an encoding that is read.
vx::EvxError EncodingTrouble(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension);
// The encoding of a file that the tools can read: raises EncodingTrouble's failure, or "no data
// chunk: no audio" for a walk that found none (an empty output is no result).
TSampleEncoding ReadableEncoding(const wave::TWaveIO& File);
// Bits of an integer sample's container below its valid bits (an extensible format's
// wValidBitsPerSample): 8 for 24 valid bits in 32, 0 where all bits are valid.
int UnusedBits(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension);
// V rounded, half to even, to a multiple of 2^Unused: a sample brought to its valid bits.
double RoundToValidBits(double V, int Unused);
// Bytes of one sample in the file.
int SampleBytes(TSampleEncoding E);
bool IsFloat(TSampleEncoding E);
// Bytes of one value in the engine (2 for int16, 4 for int32, 8 for double).
int ValueBytes(TSampleEncoding E);

// Count samples of Bytes to the engine's values at Values, and back. Floats that are not
// numbers become 0, infinities full scale with their sign; integers are the format's own
// signed values (8-bit: the stored byte minus 128). Encoding takes values that fit. Bytewise:
// as SamplesInPlace.
void DecodeSamples(TSampleEncoding E, const uint8_t* Bytes, int64_t Count, uint8_t* Values, bool Bytewise = false);
void EncodeSamples(TSampleEncoding E, const uint8_t* Values, int64_t Count, uint8_t* Bytes, bool Bytewise = false);

// Not a number is 0, an infinity full scale with its sign: how the tools read float samples.
inline double Finite(double V) {
    const double Clamped = V == HUGE_VAL ? 1.0 : V == -HUGE_VAL ? -1.0 : V;
    return V == V ? Clamped : 0.0;
}

// A value in an overload line: plain decimal for integers; for floats the shortest text that
// reads back to the same value in the file's precision (single where Single is set).
std::string ValueText(int64_t V, bool Single = false);
std::string ValueText(double V, bool Single);

} // namespace vx
