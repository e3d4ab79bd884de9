#include "WaveFiles.h"

#include "vxSysUtils.h"
#include "vxSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace wave {

namespace {

using vx::EvxError;

// "RIFF", "WAVE", "fmt " and "data", in this order.
const char Tags[] = "RIFFWAVEfmt data";
const char* const TagRiff = Tags;
const char* const TagWave = Tags + 4;
const char* const TagFmt = Tags + 8;
const char* const TagData = Tags + 12;

constexpr int64_t MaxSize = std::numeric_limits<int32_t>::max();

bool TagIs(const std::array<char, 4>& Tag, const char* Name) { return std::memcmp(Tag.data(), Name, 4) == 0; }

uint16_t Get16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | (P[1] << 8)); }
uint32_t Get32(const uint8_t* P) {
    return static_cast<uint32_t>(P[0]) | (static_cast<uint32_t>(P[1]) << 8) | (static_cast<uint32_t>(P[2]) << 16) |
           (static_cast<uint32_t>(P[3]) << 24);
}
void Put16(uint8_t* P, uint16_t V) {
    P[0] = static_cast<uint8_t>(V);
    P[1] = static_cast<uint8_t>(V >> 8);
}
void Put32(uint8_t* P, uint32_t V) {
    for (int I = 0; I < 4; ++I) P[I] = static_cast<uint8_t>(V >> (8 * I));
}

std::array<uint8_t, 8> EncodeHeader(const TChunkHeader& H) {
    std::array<uint8_t, 8> B{};
    std::memcpy(B.data(), H.Tag.data(), 4);
    Put32(B.data() + 4, static_cast<uint32_t>(H.Size));
    return B;
}

TChunkHeader DecodeHeader(const uint8_t* B) {
    TChunkHeader H;
    std::memcpy(H.Tag.data(), B, 4);
    H.Size = static_cast<int32_t>(Get32(B + 4));
    return H;
}

std::array<uint8_t, 16> EncodeFormat(const TWaveFormat& F) {
    std::array<uint8_t, 16> B{};
    Put16(B.data(), F.FormatTag);
    Put16(B.data() + 2, F.Channels);
    Put32(B.data() + 4, F.SamplesPerSec);
    Put32(B.data() + 8, F.AvgBytesPerSec);
    Put16(B.data() + 12, F.BlockAlign);
    Put16(B.data() + 14, F.BitsPerSample);
    return B;
}

TWaveFormat DecodeFormat(const uint8_t* B) {
    TWaveFormat F;
    F.FormatTag = Get16(B);
    F.Channels = Get16(B + 2);
    F.SamplesPerSec = Get32(B + 4);
    F.AvgBytesPerSec = Get32(B + 8);
    F.BlockAlign = Get16(B + 12);
    F.BitsPerSample = Get16(B + 14);
    return F;
}

} // namespace

int64_t MaxSampleValue(int32_t Bits) {
    if (Bits > 64 || Bits <= 0) throw EvxError("invalid sample bit size");
    return static_cast<int64_t>((uint64_t{1} << (Bits - 1)) - 1);
}

TWaveIO::TWaveIO(const std::string& FileName, TWaveIOMode Mode, size_t Window)
    : FMode(Mode), FFileName(FileName), FStream(Window) {
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
    FRiffChunk = FFormatChunk = FDataChunk = -1;
    FFormat = TWaveFormat{};
    FValid = false;
    FChunkNo = -1;
    FModified = false;
    FPosition = 0;
}

void TWaveIO::OpenWave() {
    const std::string NotWave = FFileName + " is not a riff/wave file";
    if (!FStream.Open(FFileName, FMode != TWaveIOMode::wioRead)) throw EvxError(NotWave);
    auto Refuse = [&]() {
        CloseQuietly();
        throw EvxError(NotWave);
    };
    FLength = FStream.Length();
    if (FLength < 12) Refuse();
    uint8_t Head[12];
    if (!FStream.ReadAt(Head, 12, 0)) Refuse();
    TChunkHeader Riff = DecodeHeader(Head);
    if (!TagIs(Riff.Tag, TagRiff)) Refuse();
    FChunks.push_back(TChunkEntry{0, false, Riff});
    FRiffChunk = 0;
    if (FLength != static_cast<int64_t>(Riff.Size) + 8) FModified = true;
    if (std::memcmp(Head + 8, TagWave, 4) != 0) Refuse();
    try {
        ScanChunks();
    } catch (...) {
        throw EvxError(FFileName + " is severly corrupt");
    }
}

void TWaveIO::ScanChunks() {
    FChunks.resize(1);
    FFormatChunk = FDataChunk = -1;
    FPosition = 0;
    FValid = true;
    FChunkNo = 0;
    const int64_t RiffEnd = static_cast<int64_t>(FChunks[0].Header.Size) + 8;
    int64_t Walk = 12;
    bool Last = false;
    while (!Last && Walk < FLength && Walk < RiffEnd) {
        ++FChunkNo;
        uint8_t Raw[8];
        if (!FStream.ReadAt(Raw, 8, Walk)) throw EvxError("Stream read error");
        TChunkEntry Entry{Walk, false, DecodeHeader(Raw)};
        const int32_t SizeAsRead = Entry.Header.Size;
        if (SizeAsRead < 0 || Walk + 8 + SizeAsRead > RiffEnd) {
            int64_t Cut = RiffEnd - (Walk + 8);
            Entry.Header.Size = static_cast<int32_t>(Cut < 0 ? 0 : Cut);
            Entry.Dirty = true;
            FModified = true;
            Last = true;
        }
        FChunks.push_back(Entry);
        const int64_t Index = static_cast<int64_t>(FChunks.size()) - 1;
        auto Diagnostic = [&](const char* Ending) {
            size_t Len = 0;
            while (Len < 4 && Entry.Header.Tag[Len] != '\0') ++Len;
            vx::WriteOut("error: chunk #" + std::to_string(FChunkNo) + " \"" +
                         std::string(Entry.Header.Tag.data(), Len) + "\"" + Ending + "\n");
            FValid = false;
        };
        if (TagIs(Entry.Header.Tag, TagFmt)) {
            uint8_t Raw16[16]{};
            FFormat = DecodeFormat(Raw16);
            if (!FStream.ReadAt(Raw16, 16, Walk + 8)) throw EvxError("Stream read error");
            FFormat = DecodeFormat(Raw16);
            if (FFormatChunk >= 0)
                Diagnostic(" to many format blocks");
            else
                FFormatChunk = Index;
        } else if (TagIs(Entry.Header.Tag, TagData)) {
            if (FDataChunk >= 0) {
                Diagnostic(" to many data blocks");
            } else {
                FDataChunk = Index;
                FPosition = 0;
            }
        } else {
            Diagnostic(" has unknown blocks");
        }
        Walk += 8 + static_cast<int64_t>(SizeAsRead);
    }
}

void TWaveIO::CreateWave() {
    const std::string Unable = "unable to write wave file " + FFileName;
    if (!FStream.Open(FFileName, true, true)) throw EvxError(Unable);
    TWaveFormat Default;
    std::array<uint8_t, 16> Fmt = EncodeFormat(Default);
    uint8_t Riff[8], Wave[4], FmtHead[8], DataHead[8];
    std::memcpy(Riff, TagRiff, 4);
    Put32(Riff + 4, 36);
    std::memcpy(Wave, TagWave, 4);
    std::memcpy(FmtHead, TagFmt, 4);
    Put32(FmtHead + 4, 16);
    std::memcpy(DataHead, TagData, 4);
    Put32(DataHead + 4, 0);
    const struct {
        const uint8_t* Bytes;
        size_t Count;
    } Parts[] = {{Riff, 8}, {Wave, 4}, {FmtHead, 8}, {Fmt.data(), 16}, {DataHead, 8}};
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
    TWaveIOMode Requested = FMode;
    FMode = TWaveIOMode::wioModify; // reopened for reading and writing
    OpenWave();
    FMode = Requested;
}

void TWaveIO::UpdateHeader() {
    if (FMode == TWaveIOMode::wioRead || !FModified || !FValid) return;
    for (TChunkEntry& Entry : FChunks) {
        if (!Entry.Dirty || Entry.Offset < 0) continue;
        std::array<uint8_t, 8> Head = EncodeHeader(Entry.Header);
        if (!FStream.WriteDirect(Head.data(), Head.size(), Entry.Offset))
            throw EvxError("Stream write error");
        if (TagIs(Entry.Header.Tag, TagFmt)) {
            std::array<uint8_t, 16> Fmt = EncodeFormat(FFormat);
            if (!FStream.WriteDirect(Fmt.data(), Fmt.size(), Entry.Offset + 8))
                throw EvxError("Stream write error");
        }
        Entry.Dirty = false;
    }
}

void TWaveIO::Close() {
    FlushWindow();
    const int64_t Length = FRiffChunk >= 0 ? static_cast<int64_t>(FChunks[static_cast<size_t>(FRiffChunk)].Header.Size) + 8 : 0;
    const bool SetLength = FMode != TWaveIOMode::wioRead && FModified;
    UpdateHeader();
    Clear();
    if (!FStream.Close() && SetLength) {
        // a failed close of the stream itself loses written data: report it like the length
        int Err = errno;
        throw EvxError("i/o error #" + std::to_string(Err) + " while truncating file \"" + FFileName + "\"");
    }
    if (!SetLength) return;
    int Err = 0;
    int Plain = ::open(FFileName.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (Plain < 0) {
        Err = errno;
    } else {
        if (::ftruncate(Plain, Length) != 0) Err = errno;
        if (::close(Plain) != 0 && Err == 0) Err = errno;
    }
    if (Err != 0)
        throw EvxError("i/o error #" + std::to_string(Err) + " while truncating file \"" + FFileName + "\"");
}

int64_t TWaveIO::DataStart() const {
    return FChunks[static_cast<size_t>(FDataChunk)].Offset + 8;
}

int64_t TWaveIO::FileSize() const { return FStream.Length(); }

int64_t TWaveIO::RiffSize() const {
    return FRiffChunk < 0 ? -1 : FChunks[static_cast<size_t>(FRiffChunk)].Header.Size;
}

int64_t TWaveIO::DataSize() const {
    return FDataChunk < 0 ? -1 : FChunks[static_cast<size_t>(FDataChunk)].Header.Size;
}

double TWaveIO::Duration() const {
    if (FDataChunk < 0) return 0;
    uint32_t Divisor = static_cast<uint32_t>(FFormat.BlockAlign) * FFormat.SamplesPerSec;
    if (Divisor == 0) return 0;
    return static_cast<double>(DataSize()) / static_cast<double>(Divisor);
}

int64_t TWaveIO::CommittedData() const {
    return FDataChunk < 0 ? 0 : std::max<int64_t>(0, FStream.CommittedEnd() - DataStart());
}

bool TWaveIO::RefersTo(const std::string& Path) const { return FStream.SameFileAs(Path); }

void TWaveIO::FlushWindow() {
    if (!FStream.Flush()) throw EvxError("Stream write error");
}

void TWaveIO::ReadWaveData(void* Buffer, int32_t Count) {
    if (FDataChunk < 0 || !FStream.IsOpen() || Count < 0 || FPosition < 0 || FPosition > MaxSize)
        throw EvxError("Stream read error");
    FlushWindow();
    if (!FStream.ReadAt(Buffer, static_cast<size_t>(Count), DataStart() + FPosition)) throw EvxError("Stream read error");
    FPosition += Count;
}

void TWaveIO::WriteWaveData(const void* Buffer, int32_t Count) {
    // A read-only file refuses at once (a window would otherwise take the bytes and fail only on
    // release); a Position past the size limit could not be advanced without overflow.
    if (FDataChunk < 0 || !FStream.IsOpen() || FMode == TWaveIOMode::wioRead || Count < 0 || FPosition < 0 ||
        FPosition > MaxSize)
        throw EvxError("Stream write error");
    TChunkEntry& Data = FChunks[static_cast<size_t>(FDataChunk)];
    TChunkEntry& Riff = FChunks[static_cast<size_t>(FRiffChunk)];
    const int64_t NewPosition = FPosition + Count;
    const bool Grows = NewPosition > Data.Header.Size;
    if (Grows && (NewPosition > MaxSize ||
                  static_cast<int64_t>(Riff.Header.Size) - Data.Header.Size + NewPosition > MaxSize)) {
        FlushWindow();
        throw EvxError("Stream write error");
    }
    if (!FStream.WriteAt(Buffer, static_cast<size_t>(Count), DataStart() + FPosition)) throw EvxError("Stream write error");
    FPosition = NewPosition;
    if (Grows) {
        Riff.Header.Size = static_cast<int32_t>(Riff.Header.Size - Data.Header.Size);
        Data.Header.Size = static_cast<int32_t>(NewPosition);
        Riff.Header.Size = static_cast<int32_t>(Riff.Header.Size + Data.Header.Size);
        Riff.Dirty = Data.Dirty = true;
        FModified = true;
    }
}

void TWaveIO::SetFormat(const TWaveFormat& Format) {
    if (Format == FFormat) return;
    FFormat = Format;
    const double Bytes = static_cast<double>(static_cast<uint32_t>(Format.Channels) * Format.BitsPerSample) / 8.0;
    FFormat.BlockAlign = static_cast<uint16_t>(static_cast<uint64_t>(vx::RoundUp(Bytes)));
    FFormat.AvgBytesPerSec = static_cast<uint32_t>(static_cast<uint64_t>(FFormat.BlockAlign) * FFormat.SamplesPerSec);
    if (FFormatChunk >= 0) FChunks[static_cast<size_t>(FFormatChunk)].Dirty = true;
    FModified = true;
}

} // namespace wave
