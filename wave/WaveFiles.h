// The wave file object: the only way to a RIFF/WAVE file. It opens and checks a file, walks and
// records its chunks, moves raw sample bytes inside the data chunk, and finishes the header and
// the length on release. It never decodes samples.
//
// Inconsistent headers, and what opening does with each:
//   | finding                                        | outcome                                   |
//   |------------------------------------------------|-------------------------------------------|
//   | missing, not a regular file, < 12 bytes,       | refused: "<name> is not a riff/wave file" |
//   |   no "RIFF" tag, no "WAVE" tag                 |                                           |
//   | a chunk header or the format runs off the file | refused: "<name> is severly corrupt"      |
//   | file length != RIFF size + 8                   | flagged: Modified                         |
//   | chunk size negative or past the RIFF end       | repaired: size cut to the RIFF end (never |
//   |                                                |   below 0), Modified; the walk stops      |
//   | second "fmt ", second "data", unknown tag      | flagged: diagnostic line, not Valid, so   |
//   |                                                |   headers are never written back          |
//   | odd chunk size                                 | walked as is: no pad byte expected        |
//   | fmt chunk shorter than 16 bytes                | its 16 format bytes are read past its end |
//   | a write that would pass 2147483647 bytes       | refused: "Stream write error"             |
#pragma once

#include "WaveStream.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#ifndef SONOLIFT_IO_WINDOW
#define SONOLIFT_IO_WINDOW 131072
#endif

namespace wave {

enum class TWaveIOMode : uint8_t { wioRead = 0, wioModify = 1, wioCreate = 2, wioRewrite = 3 };

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

struct TChunkHeader {
    std::array<char, 4> Tag{};
    int32_t Size = 0;
};

struct TChunkEntry {
    int64_t Offset = 0;
    bool Dirty = false;
    TChunkHeader Header;
};

// Bytes of the read-ahead (read mode) and write-behind (other modes) windows; 0 means one
// system call per request.
inline constexpr size_t WaveIOWindow = SONOLIFT_IO_WINDOW;

// Full scale of a sample of Bits bits: 2^(Bits-1) - 1. Raises "invalid sample bit size" for
// more than 64 bits or fewer than 1.
int64_t MaxSampleValue(int32_t Bits);

class TWaveIO {
public:
    // Opens (wioRead, wioModify) or creates and opens (wioCreate, wioRewrite) FileName. Raises
    // "<name> is not a riff/wave file", "<name> is severly corrupt" or
    // "unable to write wave file <name>".
    TWaveIO(const std::string& FileName, TWaveIOMode Mode, size_t Window = WaveIOWindow);
    // Closes quietly whatever is still open; never writes, never throws.
    ~TWaveIO();
    TWaveIO(const TWaveIO&) = delete;
    TWaveIO& operator=(const TWaveIO&) = delete;

    // Finishes the file: writes what the window holds, writes dirty headers back and sets the
    // length. Raises "Stream write error" or "i/o error #N while truncating file "<name>"".
    void Release();
    // Writes what the write-behind window holds now. Raises "Stream write error".
    void FlushWindow();

    // Reads Count bytes at Position of the data chunk; raises "Stream read error" when fewer
    // can be read or there is no data chunk, leaving Position unchanged.
    void ReadWaveData(void* Buffer, int32_t Count);
    // Writes Count bytes at Position, growing the data chunk when it passes its end; raises
    // "Stream write error" on failure or when a size would pass 2147483647.
    void WriteWaveData(const void* Buffer, int32_t Count);
    // Takes a new format; BlockAlign and AvgBytesPerSec are recomputed from it.
    void SetFormat(const TWaveFormat& Format);
    const TWaveFormat& Format() const { return FFormat; }

    const std::string& FileName() const { return FFileName; }
    int64_t FileSize() const;
    int64_t RiffSize() const;
    int64_t DataSize() const;
    bool Modified() const { return FModified; }
    double Duration() const;
    int64_t Position() const { return FDataChunk < 0 ? -1 : FPosition; }
    void SetPosition(int64_t Value) { FPosition = Value; }

    bool Valid() const { return FValid; }
    int64_t ChunkNo() const { return FChunkNo; }
    const std::vector<TChunkEntry>& Chunks() const { return FChunks; }
    // Bytes of the data chunk, from its start, that have reached the file in one unbroken run
    // of writes (the bytes a sequential writer can count as written).
    int64_t CommittedData() const;
    // True when Path names the open file itself (same device and inode, links followed).
    bool RefersTo(const std::string& Path) const;

private:
    void OpenWave();
    void ScanChunks();
    void CreateWave();
    void UpdateHeader();
    void Close();
    void Clear();
    void CloseQuietly() noexcept;

    int64_t DataStart() const;

    TWaveIOMode FMode;
    std::string FFileName;
    TWaveStream FStream;
    TWaveFormat FFormat;
    std::vector<TChunkEntry> FChunks;
    bool FValid = false;
    int64_t FChunkNo = -1;
    int64_t FRiffChunk = -1;
    int64_t FFormatChunk = -1;
    int64_t FDataChunk = -1;
    bool FModified = false;
    int64_t FPosition = 0;
    int64_t FLength = 0; // file length when opened
};

} // namespace wave
