// The sample encodings the wave tools read: which one a file's format names, and the conversion of
// a block of a file's samples to the values the engine works on and back. Integer samples
// become int16 (8 and 16 bits) or int32 (24 and 32 bits) values, float samples doubles.
#pragma once

#include "WaveFiles.h"

#include <bit>
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
// float, valid bits below the container's, other sub-formats, an extensible chunk without its
// extension, samples that do not fit their frames. 16-bit samples under any other tag are read
// as integers, and their frames may be wider than the samples.
TSampleEncoding SampleEncoding(const wave::TWaveFormat& Format, const wave::TWaveExtension& Extension);
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

// A value in an overload line: plain decimal for integers; for floats the shortest text that
// reads back to the same value in the file's precision (single where Single is set).
std::string ValueText(int64_t V, bool Single = false);
std::string ValueText(double V, bool Single);

} // namespace vx
