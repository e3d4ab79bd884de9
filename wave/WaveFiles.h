// The wave file object: the only way to a RIFF/WAVE (or RF64, BW64) file. It opens and checks a
// file, walks and records its chunks, moves raw sample bytes inside the data chunk, and finishes
// the header and the length on release. It never decodes samples.
//
// Sizes are held in 64 bits and every 32-bit size field is unsigned; an RF64 or BW64 file
// ("RF64"/"BW64" for "RIFF") takes the RIFF and data sizes from its ds64 chunk. Inconsistent
// headers, and what opening does with each:
//   | finding                                        | outcome                                   |
//   |------------------------------------------------|-------------------------------------------|
//   | missing, not a regular file, unreadable        | refused: the system's reason              |
//   | < 12 bytes, no "RIFF"/"RF64"/"BW64" and "WAVE" | refused: what the file is (ForeignFiles)  |
//   | the format (or ds64) runs off the file         | refused: "its ... chunk runs off the end" |
//   | fewer than 8 bytes left for a chunk header     | the walk ends there (a pad byte, a stray  |
//   |                                                |   byte or two)                            |
//   | file length != RIFF size + 8                   | flagged: Modified                         |
//   | RIFF size 0 or 0xFFFFFFFF (a streaming writer; | the walk goes to the end of the file      |
//   |   in RF64 a ds64 RIFF size of 0)               |                                           |
//   | data size 0xFFFFFFFF, past the end of the file,| the data runs to the end of the file:     |
//   |   or 0 with no chunk header after it (or a     |   Modified, DataToEnd; the walk stops     |
//   |   placeholder RIFF size)                       |                                           |
//   | a data chunk that fits in the file but runs    | read whole, the RIFF size repaired to     |
//   |   past the RIFF end                            |   cover it: Modified; the walk stops      |
//   | other chunk size past the RIFF end             | repaired: size cut to the RIFF end,       |
//   |                                                |   Modified; the walk stops                |
//   | second "fmt ", second "data", unknown tag      | noted (TWaveNote), not Valid, so headers  |
//   |                                                |   are never written back                  |
//   | odd chunk size                                 | ChunkReading's pad rule; while the walk   |
//   |                                                |   lacks the fmt or data chunk, a reading  |
//   |                                                |   that reaches it wins over one that does |
//   |                                                |   not                                     |
//   | fmt chunk shorter than 16 bytes                | its 16 format bytes are read past its end |
//   | a write that would pass the size limit         | refused: "cannot write <name>: File too   |
//   |                                                |   large" (4 GiB for RIFF, none for RF64)  |
// Of the chunks walked only those the object can still use or write back are kept (RIFF, ds64,
// the format and data chunks, a chunk cut at the RIFF end), so a file of many small chunks
// takes no more memory than any other.
#pragma once

#include "RiffLayout.h"
#include "WaveNotes.h"
#include "WaveStream.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace wave {

enum class TWaveIOMode : uint8_t { wioRead = 0, wioModify = 1, wioCreate = 2, wioRewrite = 3 };

struct TChunkHeader {
    std::array<char, 4> Tag{};
    int64_t Size = 0;
};

struct TChunkEntry {
    int64_t Offset = 0;
    bool Dirty = false;
    TChunkHeader Header;
};

// The programs' bytes of the read-ahead (read mode) and write-behind (other modes) windows; a
// window is a setting of each object, and 0 means one system call per request. For reading,
// 128 KiB runs as fast as 256 KiB and keeps the resident memory lower (sonolift gives its
// output two buffers half as large again, which write faster).
inline constexpr size_t WaveIOWindow = 131072;


// Full scale of a sample of Bits bits: 2^(Bits-1) - 1. Raises "invalid sample bit size" for
// more than 64 bits or fewer than 1.
int64_t MaxSampleValue(int32_t Bits);

class TWaveIO {
public:
    // Opens (wioRead, wioModify) or creates and opens (wioCreate, wioRewrite) FileName. Raises
    // why a file cannot be opened, without its name (the system's reason, what the file is
    // instead, with a hint where audio can be converted, "its format chunk runs off the end of
    // the file"), or "cannot create <name>: <reason>". Walked, when given, receives every
    // chunk walked.
    TWaveIO(const std::string& FileName, TWaveIOMode Mode, size_t Window = WaveIOWindow,
            std::vector<TChunkEntry>* Walked = nullptr);
    // Closes quietly whatever is still open; never writes, never throws.
    ~TWaveIO();
    TWaveIO(const TWaveIO&) = delete;
    TWaveIO& operator=(const TWaveIO&) = delete;

    // Finishes the file: writes what the window holds, writes dirty headers back and sets the
    // length. Raises "cannot write <name>: <reason>".
    void Release();
    // Writes what the write-behind window holds now. Raises "cannot write <name>: <reason>".
    void FlushWindow();

    // Reads Count bytes at Position of the data chunk; raises "Stream read error" when fewer
    // can be read or there is no data chunk, leaving Position unchanged.
    void ReadWaveData(void* Buffer, int32_t Count);
    // Reads Count bytes at Offset of the file itself (any chunk's, header included); raises
    // "Stream read error" when fewer can be read.
    void ReadFileBytes(int64_t Offset, void* Buffer, size_t Count);
    // Writes Count bytes at Position, growing the data chunk when it passes its end; raises
    // "cannot write <name>: <reason>" on failure or when a size would pass the limit.
    void WriteWaveData(const void* Buffer, int32_t Count);
    // Takes a new format; BlockAlign and AvgBytesPerSec are recomputed from it.
    void SetFormat(const TWaveFormat& Format);
    const TWaveFormat& Format() const { return FFormat; }
    const TWaveExtension& Extension() const { return FExtension; }
    // For a file this object created and has written no sample to: an extensible format chunk
    // of 40 bytes with Extension, and room for DataBytes of samples, as RF64 when they would
    // pass the 4 GiB of a RIFF file. Raises "cannot write <name>: ..." once samples are written.
    void SetLayout(const TWaveExtension& Extension, int64_t DataBytes);

    const std::string& FileName() const { return FFileName; }
    int64_t FileSize() const;
    int64_t RiffSize() const;
    int64_t DataSize() const;
    bool Modified() const { return FModified; }
    // True when the data chunk's size was a placeholder or claimed more than the file holds,
    // so its audio was taken to the end of the file.
    bool DataToEnd() const { return FDataToEnd; }
    // An RF64 file, or a BW64 one (read as RF64 is read).
    bool Rf64() const { return FRf64; }
    bool Bw64() const { return FBw64; }
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
    // Where the walk's chunks end by the RIFF size, and whether that size is a placeholder.
    struct TWalkBounds {
        int64_t RiffEnd = 0;
        bool Placeholder = false;
        int64_t Ds64Data = -1; // the ds64 chunk's data size; -1 without one
    };
    // One header as read: the chunk with its declared size, and the 32-bit size field.
    struct THeader {
        TChunkEntry Chunk;
        uint32_t Field = 0;
    };

    void OpenWave();
    int64_t ReadDs64();
    // The walk: a dispatcher over the steps below, one concern each.
    void ScanChunks(int64_t Ds64DataSize);
    TWalkBounds WalkBounds(int64_t Ds64DataSize) const;
    THeader ReadHeader(int64_t At, const TWalkBounds& B);
    // Repairs the size of a chunk that runs past the RIFF end or the file; true when the walk
    // ends with it.
    bool RepairSize(THeader& H, const TWalkBounds& B);
    bool DataRunsToEnd(uint32_t Field, int64_t Size, int64_t Start, bool RiffPlaceholder);
    // Reads the format of a fmt chunk, keeps the chunks the object uses and notes the others.
    void Classify(const TChunkEntry& Chunk, bool Last);
    void ReadFormat(const TChunkEntry& Chunk);
    void Note(const TChunkEntry& Chunk, TNoteKind Kind);
    int64_t Keep(const TChunkEntry& Chunk);
    // Where the chunk after an odd-sized one starts (At is the byte after it; End bounds the walk).
    int64_t NextChunk(int64_t At, int64_t End);
    [[noreturn]] void WriteFailed(int Error) const;
    void CreateWave();
    void UpdateHeader();
    void Close();
    void Clear();
    void CloseQuietly() noexcept;

    int64_t DataStart() const;
    int64_t Limit() const;
    TChunkEntry& Entry(int64_t Index) { return FChunks[static_cast<size_t>(Index)]; }
    const TChunkEntry& Entry(int64_t Index) const { return FChunks[static_cast<size_t>(Index)]; }

    TWaveIOMode FMode;
    std::string FFileName;
    TWaveStream FStream;
    TWaveFormat FFormat;
    TWaveExtension FExtension;
    std::vector<TChunkEntry> FChunks;
    std::vector<TChunkEntry>* FWalked;
    bool FValid = false;
    int64_t FChunkNo = -1;
    int64_t FRiffChunk = -1;
    int64_t FFormatChunk = -1;
    int64_t FDataChunk = -1;
    int64_t FDs64Chunk = -1;
    int64_t FFactChunk = -1; // written by this object only
    bool FModified = false;
    bool FDataToEnd = false;
    bool FRf64 = false;
    bool FBw64 = false;
    int64_t FLookahead = 0; // headers the walk may still read ahead to choose between readings
    bool FCreated = false; // created by this object, so its layout may still change
    int64_t FPosition = 0;
    int64_t FLength = 0; // file length when opened
};

} // namespace wave
