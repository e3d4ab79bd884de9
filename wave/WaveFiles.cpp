#include "WaveFiles.h"

#include "ChunkReading.h"
#include "ForeignFiles.h"
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

// "RIFF", "WAVE", "fmt " and "data", in this order; then the tags of RF64 and BW64.
const char Tags[] = "RIFFWAVEfmt dataRF64ds64factBW64";
const char* const TagRiff = Tags;
const char* const TagWave = Tags + 4;
const char* const TagFmt = Tags + 8;
const char* const TagData = Tags + 12;
const char* const TagRf64 = Tags + 16;
const char* const TagDs64 = Tags + 20;
const char* const TagFact = Tags + 24;
const char* const TagBw64 = Tags + 28;

// A read of the stream under the object that fails, as every operation reports it.
const char* const ReadError = "Stream read error";

// Headers the walk reads ahead at most from one odd chunk, and in all, to choose a reading.
constexpr int LookSteps = 64;
constexpr int64_t LookBudget = 4096;

bool TagIs(const std::array<char, 4>& Tag, const char* Name) { return std::memcmp(Tag.data(), Name, 4) == 0; }

// A 64-bit size of a ds64 chunk, kept inside the signed range.
int64_t Size64(uint64_t V) { return static_cast<int64_t>(std::min<uint64_t>(V, Rf64Limit)); }

} // namespace

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
    FRf64 = FBw64 = false;
    FPosition = 0;
}

void TWaveIO::OpenWave() {
    if (!FStream.Open(FFileName, FMode != TWaveIOMode::wioRead))
        throw EvxError(errno == EINVAL ? "not a regular file" : std::strerror(errno));
    FLength = FStream.Length();
    uint8_t Head[16]{};
    const size_t Got = static_cast<size_t>(std::clamp<int64_t>(FLength, 0, sizeof Head));
    if (!FStream.ReadAt(Head, Got, 0)) throw EvxError(std::strerror(errno));
    FRf64 = std::memcmp(Head, TagRf64, 4) == 0;
    FBw64 = std::memcmp(Head, TagBw64, 4) == 0;
    FRf64 = FRf64 || FBw64;
    if (FLength < 12 || (!FRf64 && std::memcmp(Head, TagRiff, 4) != 0) || std::memcmp(Head + 8, TagWave, 4) != 0) {
        const TForeignKind Kind = ForeignKind(Head, Got, FLength);
        throw EvxError(Kind.What, Kind.Convertible ? ConversionHint : "");
    }
    TChunkEntry Riff{0, false, {}};
    std::memcpy(Riff.Header.Tag.data(), Head, 4);
    Riff.Header.Size = static_cast<uint32_t>(GetLE(Head + 4, 4));
    FChunks.push_back(Riff);
    FRiffChunk = 0;
    const int64_t Ds64DataSize = FRf64 ? ReadDs64() : -1;
    if (FLength != Entry(FRiffChunk).Header.Size + 8) FModified = true;
    try {
        ScanChunks(Ds64DataSize);
    } catch (const EvxError& E) {
        if (E.Message() != ReadError) throw;
        throw EvxError(std::string("cannot be read: ") + std::strerror(errno));
    }
}

// The RIFF and data sizes of an RF64 file, from its ds64 chunk (the first one): the data size,
// or -1 without the chunk, when the 32-bit fields stand as they are.
int64_t TWaveIO::ReadDs64() {
    uint8_t B[8 + Ds64Size];
    if (FLength < 20 || !FStream.ReadAt(B, 8, 12) || std::memcmp(B, TagDs64, 4) != 0 || GetLE(B + 4, 4) < Ds64Size) return -1;
    if (!FStream.ReadAt(B + 8, Ds64Size, 20)) throw EvxError("its ds64 chunk runs off the end of the file");
    Entry(FRiffChunk).Header.Size = Size64(GetLE(B + 8, 8));
    return Size64(GetLE(B + 16, 8));
}

// A RIFF size of 0 or 0xFFFFFFFF is a streaming writer's placeholder, and so is a ds64 RIFF size
// of 0 (a writer into a pipe fills the ds64 chunk with zeros): the file says where the chunks end.
TWaveIO::TWalkBounds TWaveIO::WalkBounds(int64_t Ds64DataSize) const {
    const int64_t RiffField = Entry(FRiffChunk).Header.Size;
    TWalkBounds B;
    B.Ds64Data = Ds64DataSize;
    B.Placeholder = RiffField == 0 || (RiffField == InDs64 && Ds64DataSize < 0);
    B.RiffEnd = B.Placeholder ? std::max(FLength, RiffField + 8) : RiffField + 8;
    return B;
}

void TWaveIO::ScanChunks(int64_t Ds64DataSize) {
    FChunks.resize(1);
    FFormatChunk = FDataChunk = FDs64Chunk = -1;
    FPosition = 0;
    FValid = true;
    FDataToEnd = false;
    FChunkNo = 0;
    FLookahead = LookBudget;
    const TWalkBounds B = WalkBounds(Ds64DataSize);
    if (B.Placeholder) { // a length set on release is the file's own
        Entry(FRiffChunk).Header.Size = FLength - 8;
        Entry(FRiffChunk).Dirty = true;
    }
    // A pad byte or two after the last chunk hold no header: the walk ends there.
    for (int64_t Walk = 12; Walk < std::min(FLength, B.RiffEnd) && FLength - Walk >= 8;) {
        ++FChunkNo;
        THeader H = ReadHeader(Walk, B);
        const int64_t Declared = H.Chunk.Header.Size;
        const bool Last = RepairSize(H, B);
        if (FWalked != nullptr) FWalked->push_back(H.Chunk);
        Classify(H.Chunk, Last);
        if (Last) break;
        Walk += 8 + Declared;
        if (Declared & 1) Walk = NextChunk(Walk, std::min(FLength, B.RiffEnd));
    }
}

TWaveIO::THeader TWaveIO::ReadHeader(int64_t At, const TWalkBounds& B) {
    uint8_t Raw[8];
    if (!FStream.ReadAt(Raw, 8, At)) throw EvxError(ReadError);
    THeader H{{At, false, {}}, static_cast<uint32_t>(GetLE(Raw + 4, 4))};
    std::memcpy(H.Chunk.Header.Tag.data(), Raw, 4);
    H.Chunk.Header.Size = H.Field;
    if (FRf64 && H.Field == InDs64 && B.Ds64Data >= 0 && TagIs(H.Chunk.Header.Tag, TagData)) H.Chunk.Header.Size = B.Ds64Data;
    return H;
}

bool TWaveIO::RepairSize(THeader& H, const TWalkBounds& B) {
    TChunkEntry& C = H.Chunk;
    const int64_t Start = C.Offset + 8;
    bool Last = C.Header.Size > B.RiffEnd - Start;
    if (TagIs(C.Header.Tag, TagData) && FDataChunk < 0) {
        if (DataRunsToEnd(H.Field, C.Header.Size, Start, B.Placeholder)) {
            C.Header.Size = FLength - Start;
            FDataToEnd = Last = true;
        }
        // Audio that lies in the file is never cut at a RIFF end inside it: the RIFF size,
        // not the data's, is what a writer forgot to update.
        if (Last) {
            TChunkEntry& Riff = Entry(FRiffChunk);
            Riff.Header.Size = std::max(Riff.Header.Size, Start + C.Header.Size - 8);
            Riff.Dirty = true;
            if (FDs64Chunk >= 0) Entry(FDs64Chunk).Dirty = true;
        }
    } else if (Last) {
        C.Header.Size = std::max<int64_t>(0, B.RiffEnd - Start);
    }
    if (Last) C.Dirty = FModified = true;
    return Last;
}

// A data chunk whose size is a placeholder of a writer that could not seek back, or that claims
// more than the file holds, runs to the end of the file.
bool TWaveIO::DataRunsToEnd(uint32_t Field, int64_t Size, int64_t Start, bool RiffPlaceholder) {
    if (Size > FLength - Start || (Field == InDs64 && Size == InDs64)) return true;
    if (Size != 0 || Start >= FLength) return false;
    if (RiffPlaceholder || FLength - Start < 8) return true;
    uint8_t Raw[8];
    if (!FStream.ReadAt(Raw, 8, Start)) throw EvxError(ReadError);
    return HeaderScore(Raw, Start, FLength) < 2;
}

void TWaveIO::Classify(const TChunkEntry& Chunk, bool Last) {
    const auto& Tag = Chunk.Header.Tag;
    if (TagIs(Tag, TagFmt)) {
        ReadFormat(Chunk);
        if (FFormatChunk >= 0)
            Note(Chunk, TNoteKind::nkSecondFormat);
        else
            FFormatChunk = Keep(Chunk);
    } else if (TagIs(Tag, TagData)) {
        if (FDataChunk >= 0)
            Note(Chunk, TNoteKind::nkSecondData);
        else
            FDataChunk = Keep(Chunk);
    } else if (FRf64 && FChunkNo == 1 && TagIs(Tag, TagDs64)) {
        FDs64Chunk = Keep(Chunk);
    } else {
        Note(Chunk, TNoteKind::nkUnused);
    }
    // A chunk cut at the RIFF end is kept, to be written back.
    if (Last && FChunks.back().Offset != Chunk.Offset) Keep(Chunk);
}

void TWaveIO::ReadFormat(const TChunkEntry& Chunk) {
    uint8_t Raw[16 + ExtensionSize]{};
    if (!FStream.ReadAt(Raw, 16, Chunk.Offset + 8)) throw EvxError("its format chunk runs off the end of the file");
    FFormat = DecodeFormat(Raw);
    FExtension = TWaveExtension{};
    if (FFormat.FormatTag == ExtensibleTag && Chunk.Header.Size >= 16 + ExtensionSize &&
        FStream.ReadAt(Raw + 16, ExtensionSize, Chunk.Offset + 24) && GetLE(Raw + 16, 2) >= ExtensionSize - 2) {
        FExtension.Present = true;
        FExtension.ValidBits = static_cast<uint16_t>(GetLE(Raw + 18, 2));
        FExtension.ChannelMask = static_cast<uint32_t>(GetLE(Raw + 20, 4));
        std::memcpy(FExtension.SubFormat.data(), Raw + 24, 16);
    }
}

void TWaveIO::Note(const TChunkEntry& Chunk, TNoteKind Kind) {
    ReportNote(TWaveNote{FChunkNo, Chunk.Header.Tag, Kind});
    FValid = false;
}

// Only the chunks the object can still use or write back are kept.
int64_t TWaveIO::Keep(const TChunkEntry& Chunk) {
    FChunks.push_back(Chunk);
    return static_cast<int64_t>(FChunks.size()) - 1;
}

// While the walk still lacks the fmt or the data chunk, a stray byte after an odd chunk may
// make two readings plausible: the one that reaches what is lacking wins; otherwise, or when
// both do, the pad rule decides.
int64_t TWaveIO::NextChunk(int64_t At, int64_t End) {
    std::string Wanted = FFormatChunk < 0 ? TagFmt : "";
    if (FDataChunk < 0) Wanted.append(TagData, 4);
    uint8_t First = 0;
    if (!Wanted.empty() && End - At >= 9 && FStream.ReadAt(&First, 1, At) && First != 0) {
        const bool Here = Reaches(FStream, At, End, Wanted, LookSteps, FLookahead);
        const bool Behind = Reaches(FStream, At + 1, End, Wanted, LookSteps, FLookahead);
        if (Here != Behind) return Behind ? At + 1 : At;
    }
    return PadRule(FStream, At, End);
}

void TWaveIO::WriteFailed(int Error) const { throw EvxError("cannot write " + FFileName + ": " + std::strerror(Error)); }

void TWaveIO::CreateWave() {
    auto Unable = [this](int Error) { return EvxError("cannot create " + FFileName + ": " + std::strerror(Error)); };
    if (!FStream.Open(FFileName, true, true)) throw Unable(errno == EINVAL ? EISDIR : errno);
    // RIFF, WAVE, a plain PCM format and an empty data chunk: 44 bytes
    const auto Head = FileHead(TagRiff, 36);
    const auto FmtHead = ChunkHead(TagFmt, 16, false), DataHead = ChunkHead(TagData, 0, false);
    const std::array<uint8_t, 16> Fmt = EncodeFormat(TWaveFormat{});
    const struct {
        const uint8_t* Bytes;
        size_t Count;
    } Parts[] = {{Head.data(), 12}, {FmtHead.data(), 8}, {Fmt.data(), 16}, {DataHead.data(), 8}};
    int64_t Offset = 0;
    for (const auto& Part : Parts) {
        if (!FStream.WriteDirect(Part.Bytes, Part.Count, Offset)) {
            const int Error = errno;
            CloseQuietly();
            throw Unable(Error);
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
    if (!FCreated || FDataChunk < 0 || DataSize() != 0 || FPosition != 0 || DataBytes < 0) WriteFailed(EINVAL);
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
        if (!FStream.WriteDirect(B.data(), B.size(), E.Offset)) WriteFailed(errno);
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
        WriteFailed(errno);
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
    if (Err != 0) WriteFailed(Err);
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
    if (!FStream.Flush()) WriteFailed(errno);
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
        WriteFailed(FMode == TWaveIOMode::wioRead ? EBADF : EINVAL);
    TChunkEntry& Data = Entry(FDataChunk);
    TChunkEntry& Riff = Entry(FRiffChunk);
    const int64_t NewPosition = FPosition + Count;
    const bool Grows = NewPosition > Data.Header.Size;
    if (Grows && (NewPosition > Limit() || Riff.Header.Size - Data.Header.Size > Limit() - NewPosition)) {
        FlushWindow();
        WriteFailed(EFBIG);
    }
    if (!FStream.WriteAt(Buffer, static_cast<size_t>(Count), DataStart() + FPosition)) WriteFailed(errno);
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
