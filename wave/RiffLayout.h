// How a WAVE file lays out its header, RIFF or RF64: the size fields, the ds64 chunk, the fmt
// variants, the fact chunk, pad bytes and the 4 GiB limit of a RIFF file. The wave object
// writes its headers with it and the archive helper assembles its results with it.
#pragma once

#include "ByteOrder.h"

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

namespace wave {

// The 16-byte format record at the start of a "fmt " payload.
struct TWaveFormat {
    uint16_t FormatTag = 1;
    uint16_t Channels = 2;
    uint32_t SamplesPerSec = 44100;
    uint32_t AvgBytesPerSec = 176400;
    uint16_t BlockAlign = 4;
    uint16_t BitsPerSample = 16;
    bool operator==(const TWaveFormat&) const = default;
};

// The extension of an extensible format (tag 0xFFFE): the 24 bytes after the format record of a
// "fmt " chunk of 40 bytes or more whose cbSize is at least 22.
struct TWaveExtension {
    bool Present = false;
    uint16_t ValidBits = 0;
    uint32_t ChannelMask = 0;
    std::array<uint8_t, 16> SubFormat{};
    bool operator==(const TWaveExtension&) const = default;
};

inline constexpr uint16_t ExtensibleTag = 0xFFFE, FloatTag = 3;
// The largest RIFF size of a RIFF file (its size fields are 32 bits) and of an RF64 file.
inline constexpr int64_t RiffLimit = 0xFFFFFFFF, Rf64Limit = std::numeric_limits<int64_t>::max() / 2;
// The size field of a RIFF or data chunk whose size is in the ds64 chunk.
inline constexpr uint32_t InDs64 = 0xFFFFFFFF;
inline constexpr int64_t Ds64Size = 28, ExtensionSize = 24, FactSize = 4;

std::array<uint8_t, 16> EncodeFormat(const TWaveFormat& F);
TWaveFormat DecodeFormat(const uint8_t* P);

// Bytes a chunk of Size takes: its header, its payload and the pad byte after an odd payload.
inline int64_t ChunkSpan(int64_t Size) { return 8 + Size + (Size & 1); }
// A file whose RIFF size (the bytes after its size field) passes 4 GiB must be RF64.
inline bool NeedsRf64(int64_t RiffSize) { return RiffSize > RiffLimit; }

// The first 12 bytes: Form ("RIFF", or "RF64" or "BW64" whose size is in the ds64 chunk), the
// size field, "WAVE".
std::array<uint8_t, 12> FileHead(const char* Form, int64_t RiffSize);
// A chunk's header; in RF64 the size of the data chunk (SizeInDs64) is in the ds64 chunk.
std::array<uint8_t, 8> ChunkHead(const char* Tag, int64_t Size, bool SizeInDs64);
// The ds64 payload: the RIFF and data sizes, the frame count, no table.
std::array<uint8_t, Ds64Size> Ds64Payload(int64_t RiffSize, int64_t DataSize, uint16_t BlockAlign);
// The fact payload: the frame count (in RF64 it is in the ds64 chunk).
std::array<uint8_t, FactSize> FactPayload(bool Rf64, int64_t Frames);

// Float samples are not PCM, so their format has cbSize and a fact chunk (a 16-bit file tagged
// float is read, and written, as integers).
bool NeedsFact(const TWaveFormat& F, const TWaveExtension& E);
// The size of the fmt payload written for F: 40 extensible, 18 with cbSize, else 16.
int64_t FmtSize(const TWaveFormat& F, const TWaveExtension& E);
// The first bytes of a fmt payload of Size bytes: the record, cbSize 0 for 18, the extension
// for 40 and more when E is present.
std::vector<uint8_t> FmtPayload(const TWaveFormat& F, const TWaveExtension& E, int64_t Size);

} // namespace wave
