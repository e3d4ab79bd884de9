#include "WaveFiles.h"

#include "vxSysUtils.h"
#include "vxSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <utility>
#include <unistd.h>

namespace wave {

namespace {

using vx::EvxError;

// "RIFF", "WAVE", "fmt " and "data", in this order; then the tags of RF64.
const char Tags[] = "RIFFWAVEfmt dataRF64ds64fact";
const char* const TagRiff = Tags;
const char* const TagWave = Tags + 4;
const char* const TagFmt = Tags + 8;
const char* const TagData = Tags + 12;
const char* const TagRf64 = Tags + 16;
const char* const TagDs64 = Tags + 20;
const char* const TagFact = Tags + 24;

// The failures of the stream under the object, as every operation reports them.
const char* const ReadError = "Stream read error";
const char* const WriteError = "Stream write error";

bool TagIs(const std::array<char, 4>& Tag, const char* Name) { return std::memcmp(Tag.data(), Name, 4) == 0; }

// A 64-bit size of a ds64 chunk, kept inside the signed range.
int64_t Size64(uint64_t V) { return static_cast<int64_t>(std::min<uint64_t>(V, Rf64Limit)); }

TWaveNoteSink NoteSink;

} // namespace

TWaveNoteSink SetWaveNoteSink(TWaveNoteSink Sink) { return std::exchange(NoteSink, std::move(Sink)); }

int64_t MaxSampleValue(int32_t Bits) {
    if (Bits > 64 || Bits <= 0) throw EvxError("invalid sample bit size");
    return static_cast<int64_t>((uint64_t{1} << (Bits - 1)) - 1);
}

TWaveIO::TWaveIO(const std::string& FileName, TWaveIOMode Mode, size_t Window, std::vector<TChunkEntry>* Walked)
    : FMode(Mode), FFileName(FileName), FStream(Window), FWalked(Walked) {
    Clear();
    try {
        if (FMode == TWaveIOMode::wioRead || FMode == TWaveIOMode::wioModify)
            OpenWave();
        else
            CreateWave();
    } catch (...) {
        // A refused file is closed without writing: its header or length written back would
        // change a file that the caller was told is corrupt (zeroed format, cut sizes).
        CloseQuietly();
        throw;
    }
}

TWaveIO::~TWaveIO() { CloseQuietly(); }

void TWaveIO::CloseQuietly() noexcept { FStream.CloseQuietly(); }

void TWaveIO::Release() {
    if (FStream.IsOpen()) Close();
}

void TWaveIO::Clear() {
    FChunks.clear();
    FRiffChunk = FFormatChunk = FDataChunk = FDs64Chunk = FFactChunk = -1;
    FFormat = TWaveFormat{};
    FExtension = TWaveExtension{};
    FValid = false;
    FChunkNo = -1;
    FModified = false;
    FDataToEnd = false;
    FRf64 = false;
    FPosition = 0;
}

void TWaveIO::OpenWave() {
    const std::string NotWave = FFileName + " is not a riff/wave file";
    if (!FStream.Open(FFileName, FMode != TWaveIOMode::wioRead)) throw EvxError(NotWave);
    auto Refuse = [&]() { throw EvxError(NotWave); }; // the constructor closes the file
    FLength = FStream.Length();
    uint8_t Head[12];
    if (FLength < 12 || !FStream.ReadAt(Head, 12, 0)) Refuse();
    FRf64 = std::memcmp(Head, TagRf64, 4) == 0;
    if ((!FRf64 && std::memcmp(Head, TagRiff, 4) != 0) || std::memcmp(Head + 8, TagWave, 4) != 0) Refuse();
    const uint32_t Field = static_cast<uint32_t>(GetLE(Head + 4, 4));
    TChunkEntry Riff{0, false, {}};
    std::memcpy(Riff.Header.Tag.data(), Head, 4);
    Riff.Header.Size = Field;
    FChunks.push_back(Riff);
    FRiffChunk = 0;
    try {
        int64_t Ds64DataSize = -1;
        if (FRf64) ReadDs64(Ds64DataSize);
        if (FLength != Entry(FRiffChunk).Header.Size + 8) FModified = true;
        ScanChunks(Ds64DataSize);
    } catch (...) {
        throw EvxError(FFileName + " is severly corrupt");
    }
}

// The RIFF and data sizes of an RF64 file, from its ds64 chunk (the first one); without it the
// 32-bit fields stand as they are.
void TWaveIO::ReadDs64(int64_t& DataSize) {
    uint8_t B[8 + Ds64Size];
    if (FLength < 20 || !FStream.ReadAt(B, 8, 12) || std::memcmp(B, TagDs64, 4) != 0 || GetLE(B + 4, 4) < Ds64Size) return;
    if (!FStream.ReadAt(B + 8, Ds64Size, 20)) throw EvxError(ReadError);
    Entry(FRiffChunk).Header.Size = Size64(GetLE(B + 8, 8));
    DataSize = Size64(GetLE(B + 16, 8));
}

namespace {

// How much a chunk header looks like one: 0 when its tag is not printable text, one more when
// its size fits within End, one more for a tag that writers are known to put in a WAVE file.
int HeaderScore(const uint8_t* Raw, int64_t At, int64_t End) {
    static const char Known[] = "fmt dataLISTbextiXMLfactcue JUNKPAD PEAKcart_PMXds64smplinstaxmlid3 ID3 umidlabllevl";
    for (int I = 0; I < 4; ++I)
        if (Raw[I] < 0x20 || Raw[I] > 0x7E || (I == 0 && Raw[I] == ' ')) return 0;
    bool IsKnown = false;
    for (size_t K = 0; K + 4 < sizeof Known && !IsKnown; K += 4) IsKnown = std::memcmp(Raw, Known + K, 4) == 0;
    return 1 + (static_cast<int64_t>(GetLE(Raw + 4, 4)) <= End - (At + 8)) + IsKnown;
}

} // namespace

// After an odd-sized chunk RIFF writers put a pad byte, some writers none. A zero byte there is
// a pad (no tag starts with one); another byte is passed over only when the header after it
// looks more like one than the header at it.
int64_t TWaveIO::NextChunk(int64_t At, int64_t End) {
    if (End - At < 9) return At; // no header either way
    uint8_t Raw[9];
    if (!FStream.ReadAt(Raw, 9, At)) throw EvxError(ReadError);
    if (Raw[0] == 0 || HeaderScore(Raw + 1, At + 1, End) > HeaderScore(Raw, At, End)) return At + 1;
    return At;
}

// A data chunk whose size is a placeholder of a writer that could not seek back, or that claims
// more than the file holds, runs to the end of the file.
bool TWaveIO::DataRunsToEnd(uint32_t Field, int64_t Size, int64_t Start, bool RiffPlaceholder) {
    if (Size > FLength - Start || (Field == InDs64 && Size == InDs64)) return true;
    if (Field != 0 || Start >= FLength) return false;
    if (RiffPlaceholder || FLength - Start < 8) return true;
    uint8_t Raw[8];
    if (!FStream.ReadAt(Raw, 8, Start)) throw EvxError(ReadError);
    return HeaderScore(Raw, Start, FLength) < 2;
}

void TWaveIO::ScanChunks(int64_t Ds64DataSize) {
    FChunks.resize(1);
    FFormatChunk = FDataChunk = FDs64Chunk = -1;
    FPosition = 0;
    FValid = true;
    FDataToEnd = false;
    FChunkNo = 0;
    // A RIFF size of 0 or 0xFFFFFFFF is a streaming writer's placeholder: the file says where
    // the chunks end.
    const int64_t RiffField = Entry(FRiffChunk).Header.Size;
    const bool RiffPlaceholder = !FRf64 ? RiffField == 0 || RiffField == InDs64 : RiffField == InDs64 && Ds64DataSize < 0;
    const int64_t RiffEnd = RiffPlaceholder ? std::max(FLength, RiffField + 8) : RiffField + 8;
    for (int64_t Walk = 12; Walk < FLength && Walk < RiffEnd;) {
        // A pad byte or two after the last chunk hold no header: the walk ends there.
        if (FLength - Walk < 8) break;
        ++FChunkNo;
        uint8_t Raw[8];
        if (!FStream.ReadAt(Raw, 8, Walk)) throw EvxError(ReadError);
        TChunkEntry Chunk{Walk, false, {}};
        std::memcpy(Chunk.Header.Tag.data(), Raw, 4);
        const uint32_t Field = static_cast<uint32_t>(GetLE(Raw + 4, 4));
        const bool IsData = TagIs(Chunk.Header.Tag, TagData);
        int64_t SizeAsRead = Field;
        if (FRf64 && Field == InDs64 && IsData && Ds64DataSize >= 0) SizeAsRead = Ds64DataSize;
        Chunk.Header.Size = SizeAsRead;
        bool Last = SizeAsRead > RiffEnd - (Walk + 8);
        if (IsData && FDataChunk < 0 && DataRunsToEnd(Field, SizeAsRead, Walk + 8, RiffPlaceholder)) {
            Chunk.Header.Size = FLength - (Walk + 8);
            FDataToEnd = Last = true;
        } else if (Last) {
            Chunk.Header.Size = std::max<int64_t>(0, RiffEnd - (Walk + 8));
        }
        if (Last) Chunk.Dirty = FModified = true;
        if (FWalked != nullptr) FWalked->push_back(Chunk);
        auto Diagnostic = [&](const char* Ending) {
            size_t Len = 0;
            while (Len < 4 && Chunk.Header.Tag[Len] != '\0') ++Len;
            if (NoteSink)
                NoteSink("error: chunk #" + std::to_string(FChunkNo) + " \"" + std::string(Chunk.Header.Tag.data(), Len) + "\"" +
                         Ending + "\n");
            FValid = false;
        };
        // Only the chunks the object can still use or write back are kept.
        auto Keep = [&]() {
            FChunks.push_back(Chunk);
            return static_cast<int64_t>(FChunks.size()) - 1;
        };
        if (TagIs(Chunk.Header.Tag, TagFmt)) {
            uint8_t Raw16[16 + ExtensionSize]{};
            if (!FStream.ReadAt(Raw16, 16, Walk + 8)) throw EvxError(ReadError);
            FFormat = DecodeFormat(Raw16);
            FExtension = TWaveExtension{};
            if (FFormat.FormatTag == ExtensibleTag && Chunk.Header.Size >= 16 + ExtensionSize &&
                FStream.ReadAt(Raw16 + 16, ExtensionSize, Walk + 24) && GetLE(Raw16 + 16, 2) >= ExtensionSize - 2) {
                FExtension.Present = true;
                FExtension.ValidBits = static_cast<uint16_t>(GetLE(Raw16 + 18, 2));
                FExtension.ChannelMask = static_cast<uint32_t>(GetLE(Raw16 + 20, 4));
                std::memcpy(FExtension.SubFormat.data(), Raw16 + 24, 16);
            }
            if (FFormatChunk >= 0)
                Diagnostic(" to many format blocks");
            else
                FFormatChunk = Keep();
        } else if (IsData) {
            if (FDataChunk >= 0) {
                Diagnostic(" to many data blocks");
            } else {
                FDataChunk = Keep();
                FPosition = 0;
            }
        } else if (FRf64 && FChunkNo == 1 && TagIs(Chunk.Header.Tag, TagDs64)) {
            FDs64Chunk = Keep();
        } else {
            Diagnostic(" has unknown blocks");
        }
        if (Last) {
            if (FChunks.back().Offset != Walk) Keep();
            break;
        }
        Walk += 8 + SizeAsRead;
        if (SizeAsRead & 1) Walk = NextChunk(Walk, std::min(FLength, RiffEnd));
    }
}

void TWaveIO::CreateWave() {
    const std::string Unable = "unable to write wave file " + FFileName;
    if (!FStream.Open(FFileName, true, true)) throw EvxError(Unable);
    // RIFF, WAVE, a plain PCM format and an empty data chunk: 44 bytes
    const auto Head = FileHead(false, 36);
    const auto FmtHead = ChunkHead(TagFmt, 16, false), DataHead = ChunkHead(TagData, 0, false);
    const std::array<uint8_t, 16> Fmt = EncodeFormat(TWaveFormat{});
    const struct {
        const uint8_t* Bytes;
        size_t Count;
    } Parts[] = {{Head.data(), 12}, {FmtHead.data(), 8}, {Fmt.data(), 16}, {DataHead.data(), 8}};
    int64_t Offset = 0;
    for (const auto& Part : Parts) {
        if (!FStream.WriteDirect(Part.Bytes, Part.Count, Offset)) {
            CloseQuietly();
            throw EvxError(Unable);
        }
        Offset += static_cast<int64_t>(Part.Count);
    }
    CloseQuietly();
    Clear();
    const TWaveIOMode Requested = FMode;
    FMode = TWaveIOMode::wioModify; // reopened for reading and writing
    OpenWave();
    FMode = Requested;
    FCreated = true;
}

void TWaveIO::SetLayout(const TWaveExtension& Extension, int64_t DataBytes) {
    if (!FCreated || FDataChunk < 0 || DataSize() != 0 || FPosition != 0 || DataBytes < 0) throw EvxError(WriteError);
    FExtension = Extension;
    const bool Fact = NeedsFact(FFormat, Extension);
    const int64_t Fmt = FmtSize(FFormat, Extension);
    FRf64 = NeedsRf64(4 + ChunkSpan(Fmt) + (Fact ? ChunkSpan(FactSize) : 0) + 8 + DataBytes);
    TChunkEntry Riff{0, true, {}};
    std::memcpy(Riff.Header.Tag.data(), FRf64 ? TagRf64 : TagRiff, 4);
    FChunks = {Riff};
    auto Add = [&](const char* Tag, int64_t Size) {
        TChunkEntry E{FChunks.back().Offset + (FChunks.size() == 1 ? 12 : 8 + FChunks.back().Header.Size), true, {}};
        std::memcpy(E.Header.Tag.data(), Tag, 4);
        E.Header.Size = Size;
        FChunks.push_back(E);
        return static_cast<int64_t>(FChunks.size()) - 1;
    };
    FDs64Chunk = FRf64 ? Add(TagDs64, Ds64Size) : -1;
    FFormatChunk = Add(TagFmt, Fmt);
    FFactChunk = Fact ? Add(TagFact, FactSize) : -1;
    FDataChunk = Add(TagData, 0);
    Entry(FRiffChunk).Header.Size = Entry(FDataChunk).Offset;
    FModified = true;
}

void TWaveIO::UpdateHeader() {
    if (FMode == TWaveIOMode::wioRead || !FModified || !FValid) return;
    for (int64_t I = 0; I < static_cast<int64_t>(FChunks.size()); ++I) {
        TChunkEntry& E = Entry(I);
        if (!E.Dirty || E.Offset < 0) continue;
        const auto Head = ChunkHead(E.Header.Tag.data(), E.Header.Size, FRf64 && (I == FRiffChunk || I == FDataChunk));
        std::vector<uint8_t> B(Head.begin(), Head.end());
        auto Append = [&B](const auto& Payload) { B.insert(B.end(), Payload.begin(), Payload.end()); };
        if (I == FFormatChunk || TagIs(E.Header.Tag, TagFmt)) {
            Append(FmtPayload(FFormat, FExtension, E.Header.Size));
        } else if (I == FDs64Chunk) {
            Append(Ds64Payload(Entry(FRiffChunk).Header.Size, DataSize(), FFormat.BlockAlign));
        } else if (I == FFactChunk) {
            const int64_t Frames = FFormat.BlockAlign == 0 ? 0 : std::max<int64_t>(DataSize(), 0) / FFormat.BlockAlign;
            Append(FactPayload(FRf64, Frames));
        }
        if (!FStream.WriteDirect(B.data(), B.size(), E.Offset)) throw EvxError(WriteError);
        E.Dirty = false;
    }
}

void TWaveIO::Close() {
    FlushWindow();
    const int64_t Length = FRiffChunk >= 0 ? Entry(FRiffChunk).Header.Size + 8 : 0;
    const bool SetLength = FMode != TWaveIOMode::wioRead && FModified;
    UpdateHeader();
    Clear();
    if (!FStream.Close() && SetLength) {
        // a failed close of the stream itself loses written data: report it like the length
        const int Err = errno;
        throw EvxError("i/o error #" + std::to_string(Err) + " while truncating file \"" + FFileName + "\"");
    }
    if (!SetLength) return;
    int Err = 0;
    const int Plain = ::open(FFileName.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (Plain < 0) {
        Err = errno;
    } else {
        if (::ftruncate(Plain, Length) != 0) Err = errno;
        if (::close(Plain) != 0 && Err == 0) Err = errno;
    }
    if (Err != 0) throw EvxError("i/o error #" + std::to_string(Err) + " while truncating file \"" + FFileName + "\"");
}

void TWaveIO::ReadFileBytes(int64_t Offset, void* Buffer, size_t Count) {
    if (!FStream.ReadAt(Buffer, Count, Offset)) throw EvxError(ReadError);
}

int64_t TWaveIO::DataStart() const { return Entry(FDataChunk).Offset + 8; }

int64_t TWaveIO::Limit() const { return FRf64 ? Rf64Limit : RiffLimit; }

int64_t TWaveIO::FileSize() const { return FStream.Length(); }

int64_t TWaveIO::RiffSize() const { return FRiffChunk < 0 ? -1 : Entry(FRiffChunk).Header.Size; }

int64_t TWaveIO::DataSize() const { return FDataChunk < 0 ? -1 : Entry(FDataChunk).Header.Size; }

double TWaveIO::Duration() const {
    if (FDataChunk < 0) return 0;
    const uint32_t Divisor = static_cast<uint32_t>(FFormat.BlockAlign) * FFormat.SamplesPerSec;
    if (Divisor == 0) return 0;
    return static_cast<double>(DataSize()) / static_cast<double>(Divisor);
}

int64_t TWaveIO::CommittedData() const {
    return FDataChunk < 0 ? 0 : std::max<int64_t>(0, FStream.CommittedEnd() - DataStart());
}

bool TWaveIO::RefersTo(const std::string& Path) const { return FStream.SameFileAs(Path); }

void TWaveIO::FlushWindow() {
    if (!FStream.Flush()) throw EvxError(WriteError);
}

void TWaveIO::ReadWaveData(void* Buffer, int32_t Count) {
    if (FDataChunk < 0 || !FStream.IsOpen() || Count < 0 || FPosition < 0 || FPosition > Limit())
        throw EvxError(ReadError);
    FlushWindow();
    if (!FStream.ReadAt(Buffer, static_cast<size_t>(Count), DataStart() + FPosition)) throw EvxError(ReadError);
    FPosition += Count;
}

void TWaveIO::WriteWaveData(const void* Buffer, int32_t Count) {
    // A read-only file refuses at once (a window would otherwise take the bytes and fail only on
    // release); a Position past the size limit could not be advanced without overflow.
    if (FDataChunk < 0 || !FStream.IsOpen() || FMode == TWaveIOMode::wioRead || Count < 0 || FPosition < 0 ||
        FPosition > Limit())
        throw EvxError(WriteError);
    TChunkEntry& Data = Entry(FDataChunk);
    TChunkEntry& Riff = Entry(FRiffChunk);
    const int64_t NewPosition = FPosition + Count;
    const bool Grows = NewPosition > Data.Header.Size;
    if (Grows && (NewPosition > Limit() || Riff.Header.Size - Data.Header.Size > Limit() - NewPosition)) {
        FlushWindow();
        throw EvxError(WriteError);
    }
    if (!FStream.WriteAt(Buffer, static_cast<size_t>(Count), DataStart() + FPosition)) throw EvxError(WriteError);
    FPosition = NewPosition;
    if (Grows) {
        Riff.Header.Size += NewPosition - Data.Header.Size;
        Data.Header.Size = NewPosition;
        Riff.Dirty = Data.Dirty = true;
        if (FDs64Chunk >= 0) Entry(FDs64Chunk).Dirty = true;
        if (FFactChunk >= 0) Entry(FFactChunk).Dirty = true;
        FModified = true;
    }
}

void TWaveIO::SetFormat(const TWaveFormat& Format) {
    if (Format == FFormat) return;
    FFormat = Format;
    const double Bytes = static_cast<double>(static_cast<uint32_t>(Format.Channels) * Format.BitsPerSample) / 8.0;
    FFormat.BlockAlign = static_cast<uint16_t>(static_cast<uint64_t>(vx::RoundUp(Bytes)));
    FFormat.AvgBytesPerSec = static_cast<uint32_t>(static_cast<uint64_t>(FFormat.BlockAlign) * FFormat.SamplesPerSec);
    if (FFormatChunk >= 0) Entry(FFormatChunk).Dirty = true;
    FModified = true;
}

} // namespace wave
