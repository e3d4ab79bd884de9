// The wave file object on files written byte by byte: opening refusals, the chunk walk with its
// flags and diagnostic lines, positioned reads and writes, sizes in memory and on disk, the
// length rule, and the windowed object against the plain one.
#include "WaveFiles.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tuple>

namespace {

using namespace testsupport;
using wave::TWaveFormat;
using wave::TWaveIO;
using wave::TWaveIOMode;

constexpr TWaveIOMode Read = TWaveIOMode::wioRead;
constexpr TWaveIOMode Modify = TWaveIOMode::wioModify;
constexpr TWaveIOMode Rewrite = TWaveIOMode::wioRewrite;
constexpr int64_t Int32Max = std::numeric_limits<int32_t>::max();

// The message of what F raises; empty when it raises nothing.
std::string ErrorOf(const std::function<void()>& F) {
    try {
        F();
    } catch (const std::exception& E) {
        return E.what();
    }
    return "";
}

uint32_t Le32(const Bytes& B, size_t At) {
    return static_cast<uint32_t>(B.at(At)) | static_cast<uint32_t>(B.at(At + 1)) << 8 |
           static_cast<uint32_t>(B.at(At + 2)) << 16 | static_cast<uint32_t>(B.at(At + 3)) << 24;
}

void Set32(Bytes& B, size_t At, uint32_t V) {
    for (size_t I = 0; I < 4; ++I) B.at(At + I) = static_cast<uint8_t>(V >> (8 * I));
}

Bytes Plus(Bytes A, const Bytes& B) {
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

Bytes Slice(const Bytes& B, size_t From, size_t Count) {
    return Bytes(B.begin() + static_cast<std::ptrdiff_t>(From), B.begin() + static_cast<std::ptrdiff_t>(From + Count));
}

// Bytes without a period of 256, so a read or write at a wrong offset shows.
Bytes Pattern(size_t N, unsigned Seed = 1) {
    Bytes B(N);
    for (size_t I = 0; I < N; ++I) B[I] = static_cast<uint8_t>((I * 7 + (I >> 8) * 13 + Seed) & 0xFF);
    return B;
}

Bytes FmtPayload(uint16_t Channels, uint32_t Rate, uint16_t Bits) {
    const uint16_t Align = static_cast<uint16_t>((Channels * Bits + 7) / 8);
    Bytes P;
    Put16(P, 1);
    Put16(P, Channels);
    Put32(P, Rate);
    Put32(P, Align * Rate);
    Put16(P, Align);
    Put16(P, Bits);
    return P;
}

// 16-bit stereo at 44100 Hz (the default format): the fmt chunk at 12, the next chunk at 36.
WaveBuilder Stereo() {
    WaveBuilder B;
    B.Fmt(2, 44100, 16);
    return B;
}

// A new file as the object creates it.
Bytes Empty44() { return Stereo().Chunk("data", {}).Build(); }

struct Opened {
    std::unique_ptr<TWaveIO> Wave;
    std::string Out;   // what opening printed on standard output
    std::string Error; // what opening raised
};

size_t OpenDescriptors() {
    size_t N = 0;
    for ([[maybe_unused]] const auto& Entry : std::filesystem::directory_iterator("/proc/self/fd")) ++N;
    return N;
}

Opened OpenCapturing(const std::string& Path, TWaveIOMode Mode, size_t Window = wave::WaveIOWindow) {
    Opened R;
    testing::internal::CaptureStdout();
    R.Error = ErrorOf([&] { R.Wave = std::make_unique<TWaveIO>(Path, Mode, Window); });
    R.Out = testing::internal::GetCapturedStdout();
    return R;
}

// ---------------------------------------------------------------------------------------------
// Refusals

TEST(WaveOpenTest, RefusesWhatIsNotRiffWave) {
    TempDir Dir;
    Bytes Rifx = PcmWave({1, 2});
    Rifx[3] = 'X';
    Bytes Wavx = PcmWave({1, 2});
    Wavx[11] = 'X';
    WriteFile(Dir / "empty", {});
    WriteFile(Dir / "eleven", Slice(WaveBuilder().Build(), 0, 11));
    WriteFile(Dir / "rifx", Rifx);
    WriteFile(Dir / "wavx", Wavx);
    ASSERT_EQ(::mkdir((Dir / "folder").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((Dir / "fifo").c_str(), 0644), 0);
    const size_t Descriptors = OpenDescriptors();
    for (const char* Name : {"missing", "empty", "eleven", "rifx", "wavx", "folder", "fifo"}) {
        const std::string Path = Dir / Name;
        const bool Regular = std::filesystem::is_regular_file(Path); // a FIFO is never read
        const std::string Before = Regular ? Digest(Path) : "";
        for (TWaveIOMode Mode : {Read, Modify}) {
            SCOPED_TRACE(std::string(Name) + " mode " + std::to_string(static_cast<int>(Mode)));
            Opened O = OpenCapturing(Path, Mode);
            EXPECT_EQ(O.Error, Path + " is not a riff/wave file");
            EXPECT_EQ(O.Out, "");
            EXPECT_FALSE(O.Wave);
            if (Regular) {
                EXPECT_EQ(Digest(Path), Before);
            }
        }
    }
    EXPECT_FALSE(Exists(Dir / "missing"));
    EXPECT_EQ(OpenDescriptors(), Descriptors);
}

TEST(WaveOpenTest, WalkRunningOffTheFileIsSeverlyCorrupt) {
    const std::pair<const char*, Bytes> Cases[] = {
        {"fmt payload cut off", WaveBuilder().ChunkWithSize("fmt ", 16, Pattern(8)).Build()},
        {"fmt cut off, riff beyond file", Slice(Stereo().Build(), 0, 28)},
        {"short fmt at file end", WaveBuilder().Chunk("fmt ", Pattern(14)).Build()},
        {"chunk header cut off", Stereo().Raw({'d', 'a', 't', 'a'}).Build()},
        {"header cut off, riff beyond file", WaveBuilder().Raw({'d', 'a'}).Build(100)},
    };
    TempDir Dir;
    const std::string Path = Dir / "bad.wav";
    const size_t Descriptors = OpenDescriptors();
    for (const auto& [Name, File] : Cases) {
        SCOPED_TRACE(Name);
        WriteFile(Path, File);
        for (TWaveIOMode Mode : {Read, Modify}) {
            Opened O = OpenCapturing(Path, Mode);
            EXPECT_EQ(O.Error, Path + " is severly corrupt");
            EXPECT_FALSE(O.Wave);
            EXPECT_EQ(ReadFile(Path), File); // a refused file is never written, whatever the mode
        }
    }
    EXPECT_EQ(OpenDescriptors(), Descriptors);
}

TEST(WaveOpenTest, CreateRefusesWhatCannotBeWritten) {
    TempDir Dir;
    ASSERT_EQ(::mkfifo((Dir / "fifo").c_str(), 0644), 0);
    const size_t Descriptors = OpenDescriptors();
    for (const std::string& Path : {Dir / "no/such/folder.wav", Dir.Path(), Dir / "fifo"})
        for (TWaveIOMode Mode : {TWaveIOMode::wioCreate, Rewrite})
            EXPECT_EQ(ErrorOf([&] { TWaveIO W(Path, Mode); }), "unable to write wave file " + Path);
    EXPECT_EQ(OpenDescriptors(), Descriptors);
}

// ---------------------------------------------------------------------------------------------
// The chunk walk, on inputs opened read-only (which must come out byte for byte unchanged)

struct ChunkRow {
    std::string Tag;
    int64_t Offset;
    int32_t Size;
    bool Dirty;
};

struct WalkCase {
    const char* Name;
    Bytes File;
    std::string Out;
    bool Valid;
    bool Modified;
    std::vector<ChunkRow> Chunks; // the RIFF entry first
    int64_t DataSize;
    TWaveFormat Format = {};
};

void PrintTo(const WalkCase& C, std::ostream* Os) { *Os << C.Name; }

std::vector<WalkCase> WalkCases() {
    const Bytes P8 = Pattern(8);
    const ChunkRow Fmt16{"fmt ", 12, 16, false};
    const ChunkRow Data8{"data", 36, 8, false};
    Bytes ListHeader;
    PutTag(ListHeader, "LIST");
    Put32(ListHeader, 0);
    Bytes Fmt14 = Slice(FmtPayload(2, 44100, 16), 0, 14);
    return {
        {"Consistent", Stereo().Chunk("data", P8).Build(), "", true, false, {{"RIFF", 0, 44, false}, Fmt16, Data8}, 8},
        {"OneByteBeyondRiffEnd", Plus(Stereo().Chunk("data", P8).Build(), {0}), "", true, true,
         {{"RIFF", 0, 44, false}, Fmt16, Data8}, 8},
        {"ChunkBeyondRiffEndNeverWalked", Plus(Stereo().Chunk("data", P8).Build(), ListHeader), "", true, true,
         {{"RIFF", 0, 44, false}, Fmt16, Data8}, 8},
        {"FileShorterThanRiff", Stereo().Chunk("data", P8).Build(48), "", true, true,
         {{"RIFF", 0, 48, false}, Fmt16, Data8}, 8},
        {"DataPastRiffEndCut", Stereo().ChunkWithSize("data", 100, P8).Build(), "", true, true,
         {{"RIFF", 0, 44, false}, Fmt16, {"data", 36, 8, true}}, 8},
        {"NegativeSizeCutAndLastWalked", Stereo().ChunkWithSize("data", -1, P8).Chunk("LIST", Pattern(4)).Build(), "",
         true, true, {{"RIFF", 0, 56, false}, Fmt16, {"data", 36, 20, true}}, 20},
        {"HeaderCrossingRiffEndGetsSizeZero", Stereo().Chunk("data", {}).Build(32), "", true, true,
         {{"RIFF", 0, 32, false}, Fmt16, {"data", 36, 0, true}}, 0},
        {"UnknownChunk", Stereo().Chunk("LIST", Pattern(6)).Chunk("data", P8).Build(),
         "error: chunk #2 \"LIST\" has unknown blocks\n", false, false,
         {{"RIFF", 0, 58, false}, Fmt16, {"LIST", 36, 6, false}, {"data", 50, 8, false}}, 8},
        {"ZeroByteEndsPrintedTag", Stereo().Chunk("ab\0d", {}).Chunk("data", P8).Build(),
         "error: chunk #2 \"ab\" has unknown blocks\n", false, false,
         {{"RIFF", 0, 52, false}, Fmt16, {std::string("ab\0d", 4), 36, 0, false}, {"data", 44, 8, false}}, 8},
        {"OddSizeWithoutPad", Stereo().Chunk("odd ", Pattern(3)).Chunk("data", P8).Build(),
         "error: chunk #2 \"odd \" has unknown blocks\n", false, false,
         {{"RIFF", 0, 55, false}, Fmt16, {"odd ", 36, 3, false}, {"data", 47, 8, false}}, 8},
        // The pad byte starts the next header: tag "\0dat", size 'a' + 0x0400, cut at the RIFF end.
        {"PadByteMisreadAsHeader", Stereo().Chunk("odd ", Pattern(3)).Raw({0}).Chunk("data", Pattern(4)).Build(),
         "error: chunk #2 \"odd \" has unknown blocks\nerror: chunk #3 \"\" has unknown blocks\n", false, true,
         {{"RIFF", 0, 52, false}, Fmt16, {"odd ", 36, 3, false}, {std::string("\0dat", 4), 47, 5, true}}, -1},
        {"Fmt18WalkGoesOnAt26", WaveBuilder().Chunk("fmt ", Plus(FmtPayload(2, 44100, 16), {9, 9})).Chunk("data", P8).Build(),
         "", true, false, {{"RIFF", 0, 46, false}, {"fmt ", 12, 18, false}, {"data", 38, 8, false}}, 8},
        // Sixteen format bytes are read whatever the size: the last two are "da".
        {"ShortFmtReadPastItsEnd", WaveBuilder().Chunk("fmt ", Fmt14).Chunk("data", P8).Build(), "", true, false,
         {{"RIFF", 0, 42, false}, {"fmt ", 12, 14, false}, {"data", 34, 8, false}}, 8, {1, 2, 44100, 176400, 4, 0x6164}},
        {"TwoFmtSecondInForce", Stereo().Fmt(1, 22050, 8).Chunk("data", P8).Build(),
         "error: chunk #2 \"fmt \" to many format blocks\n", false, false,
         {{"RIFF", 0, 68, false}, Fmt16, {"fmt ", 36, 16, false}, {"data", 60, 8, false}}, 8, {1, 1, 22050, 22050, 1, 8}},
        {"TwoDataFirstKept", Stereo().Chunk("data", P8).Chunk("data", Pattern(4)).Build(),
         "error: chunk #3 \"data\" to many data blocks\n", false, false,
         {{"RIFF", 0, 56, false}, Fmt16, Data8, {"data", 52, 4, false}}, 8},
        {"TwelveBytes", WaveBuilder().Build(), "", true, false, {{"RIFF", 0, 4, false}}, -1},
        {"NoDataChunk", Stereo().Build(), "", true, false, {{"RIFF", 0, 28, false}, Fmt16}, -1},
    };
}

class WalkTest : public testing::TestWithParam<WalkCase> {};

TEST_P(WalkTest, FlagsChunksAndDiagnosticLines) {
    const WalkCase& C = GetParam();
    TempDir Dir;
    const std::string Path = Dir / "in.wav";
    WriteFile(Path, C.File);
    Opened O = OpenCapturing(Path, Read);
    ASSERT_EQ(O.Error, "");
    TWaveIO& W = *O.Wave;
    EXPECT_EQ(O.Out, C.Out);
    EXPECT_EQ(W.Valid(), C.Valid);
    EXPECT_EQ(W.Modified(), C.Modified);
    EXPECT_EQ(W.ChunkNo(), static_cast<int64_t>(C.Chunks.size()) - 1);
    ASSERT_EQ(W.Chunks().size(), C.Chunks.size());
    for (size_t I = 0; I < C.Chunks.size(); ++I) {
        const wave::TChunkEntry& E = W.Chunks()[I];
        const ChunkRow& R = C.Chunks[I];
        EXPECT_EQ(std::make_tuple(std::string(E.Header.Tag.data(), 4), E.Offset, E.Header.Size, E.Dirty),
                  std::make_tuple(R.Tag, R.Offset, R.Size, R.Dirty))
            << "chunk " << I;
    }
    EXPECT_EQ(W.RiffSize(), C.Chunks[0].Size);
    EXPECT_EQ(W.DataSize(), C.DataSize);
    EXPECT_EQ(W.Position(), C.DataSize < 0 ? -1 : 0);
    EXPECT_EQ(W.Format(), C.Format);
    EXPECT_EQ(W.FileSize(), static_cast<int64_t>(C.File.size()));
    W.Release();
    EXPECT_EQ(W.FileSize(), -1);
    EXPECT_EQ(ReadFile(Path), C.File);
}

INSTANTIATE_TEST_SUITE_P(Files, WalkTest, testing::ValuesIn(WalkCases()),
                         [](const testing::TestParamInfo<WalkCase>& I) { return std::string(I.param.Name); });

// ---------------------------------------------------------------------------------------------
// The length rule on release in wioModify (and nothing at all in wioRead)

TEST(WaveLengthTest, ModifyCutsOrExtendsToRiffSizeAndReadChangesNothing) {
    const Bytes P8 = Pattern(8);
    const Bytes Pcm = Stereo().Chunk("data", P8).Build();
    const Bytes Short = Stereo().Chunk("data", P8).Build(47);
    const Bytes Cut = Stereo().ChunkWithSize("data", 100, P8).Build();
    Bytes CutWritten = Cut;
    Set32(CutWritten, 40, 8);
    const Bytes Unknown = Stereo().Chunk("LIST", Pattern(4)).ChunkWithSize("data", 100, P8).Build();
    const Bytes Crossing = Stereo().Chunk("data", {}).Build(32);
    const struct {
        const char* Name;
        Bytes File;
        Bytes Expected;
    } Cases[] = {
        {"consistent file untouched", Pcm, Pcm},
        {"longer file cut", Plus(Pcm, {1, 2, 3}), Pcm},
        {"shorter file extended with zeros", Short, Plus(Short, {0, 0, 0})},
        {"cut size written back", Cut, CutWritten},
        // not valid: the cut size stays as it was, but the length is still set
        {"unknown chunk: length only", Plus(Unknown, {7, 7, 7}), Unknown},
        {"header crossing riff end", Crossing, Slice(Crossing, 0, 40)},
        {"twelve bytes and more", Plus(WaveBuilder().Build(), Pattern(5)), WaveBuilder().Build()},
    };
    TempDir Dir;
    const std::string Path = Dir / "m.wav";
    const size_t Descriptors = OpenDescriptors();
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        for (TWaveIOMode Mode : {Read, Modify}) {
            WriteFile(Path, C.File);
            Opened O = OpenCapturing(Path, Mode);
            ASSERT_EQ(O.Error, "");
            O.Wave->Release();
            EXPECT_EQ(ReadFile(Path), Mode == Read ? C.File : C.Expected);
        }
    }
    EXPECT_EQ(OpenDescriptors(), Descriptors);
}

TEST(WaveLengthTest, FailedLengthChangeRaisesOnRelease) {
    TempDir Dir;
    const std::string Path = Dir / "neg.wav";
    const Bytes File = Stereo().Chunk("data", Pattern(8)).Build(std::numeric_limits<int32_t>::min());
    WriteFile(Path, File);
    TWaveIO W(Path, Modify);
    EXPECT_TRUE(W.Modified());
    EXPECT_EQ(W.ChunkNo(), 0);
    EXPECT_EQ(ErrorOf([&] { W.Release(); }),
              "i/o error #" + std::to_string(EINVAL) + " while truncating file \"" + Path + "\"");
    EXPECT_EQ(W.FileSize(), -1);
    EXPECT_EQ(ErrorOf([&] { W.Release(); }), "");
    EXPECT_EQ(ReadFile(Path), File);
}

// ---------------------------------------------------------------------------------------------
// Format, sample size and duration

TEST(WaveFormatTest, NewFileIsExactly44Bytes) {
    TempDir Dir;
    const std::string Path = Dir / "new.wav";
    for (TWaveIOMode Mode : {TWaveIOMode::wioCreate, Rewrite}) {
        WriteFile(Path, Pattern(1000)); // replaced
        TWaveIO W(Path, Mode);
        EXPECT_EQ(ReadFile(Path), Empty44());
        EXPECT_TRUE(W.Valid());
        EXPECT_FALSE(W.Modified());
        EXPECT_EQ(std::make_tuple(W.RiffSize(), W.DataSize(), W.Position(), W.FileSize()),
                  std::make_tuple(int64_t{36}, int64_t{0}, int64_t{0}, int64_t{44}));
        ASSERT_EQ(W.Chunks().size(), 3u);
        EXPECT_EQ(W.Chunks()[1].Offset, 12);
        EXPECT_EQ(W.Chunks()[2].Offset, 36);
        EXPECT_EQ(W.Format(), TWaveFormat{});
        W.Release();
        EXPECT_EQ(ReadFile(Path), Empty44());
    }
}

TEST(WaveFormatTest, SetFormatRecomputesBlockAlignAndByteRate) {
    const struct {
        TWaveFormat Given;
        uint16_t BlockAlign;
        uint32_t AvgBytesPerSec;
    } Cases[] = {
        {{1, 2, 44100, 0, 0, 12}, 3, 132300},
        {{1, 1, 22050, 999, 7, 8}, 1, 22050},
        {{3, 6, 48000, 1, 1, 20}, 15, 720000},
        {{1, 1, 8000, 0, 0, 1}, 1, 8000},
        {{1, 0, 8000, 5, 5, 16}, 0, 0},
    };
    TempDir Dir;
    const std::string Path = Dir / "f.wav";
    for (const auto& C : Cases) {
        SCOPED_TRACE(std::to_string(C.Given.Channels) + " x " + std::to_string(C.Given.BitsPerSample));
        TWaveIO W(Path, Rewrite);
        W.SetFormat(C.Given);
        TWaveFormat Expected = C.Given;
        Expected.BlockAlign = C.BlockAlign;
        Expected.AvgBytesPerSec = C.AvgBytesPerSec;
        EXPECT_EQ(W.Format(), Expected);
        EXPECT_TRUE(W.Modified());
        EXPECT_EQ(Le32(ReadFile(Path), 28), 176400u); // on disk only after release
        W.Release();
        EXPECT_EQ(ReadFile(Path), WaveBuilder()
                                      .FmtRaw(Expected.FormatTag, Expected.Channels, Expected.SamplesPerSec,
                                              Expected.AvgBytesPerSec, Expected.BlockAlign, Expected.BitsPerSample)
                                      .Chunk("data", {})
                                      .Build());
    }
}

TEST(WaveFormatTest, SameFormatChangesNothing) {
    TempDir Dir;
    const std::string Path = Dir / "same.wav";
    WriteFile(Path, Stereo().Fmt(1, 22050, 8).Chunk("data", Pattern(4)).Build());
    const Bytes Before = ReadFile(Path);
    Opened O = OpenCapturing(Path, Modify);
    ASSERT_EQ(O.Error, "");
    const TWaveFormat Current = O.Wave->Format();
    O.Wave->SetFormat(Current);
    EXPECT_FALSE(O.Wave->Modified());
    O.Wave->Release();
    EXPECT_EQ(ReadFile(Path), Before);

    TWaveIO New(Path, Rewrite);
    New.SetFormat(TWaveFormat{});
    EXPECT_FALSE(New.Modified());
    New.Release();
    EXPECT_EQ(ReadFile(Path), Empty44());
}

TEST(WaveFormatTest, MaxSampleValue) {
    const std::pair<int32_t, int64_t> Values[] = {
        {1, 0}, {8, 127}, {16, 32767}, {24, 8388607}, {32, 2147483647}, {64, 9223372036854775807}};
    for (const auto& [Bits, Max] : Values) EXPECT_EQ(wave::MaxSampleValue(Bits), Max) << Bits;
    for (int32_t Bits : {65, 0, -1, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()})
        EXPECT_EQ(ErrorOf([&] { wave::MaxSampleValue(Bits); }), "invalid sample bit size") << Bits;
}

TEST(WaveFormatTest, DurationUsesBlockAlignTimesRate) {
    const struct {
        uint16_t BlockAlign;
        uint32_t Rate;
        size_t DataBytes;
        double Seconds;
    } Cases[] = {
        {4, 44100, 1764, 0.01},
        {2, 8, 8, 0.5},
        {2, 0, 8, 0},
        {0x8000, 0x20000, 8, 0}, // the product wraps to 0 in 32 bits
    };
    TempDir Dir;
    const std::string Path = Dir / "d.wav";
    for (const auto& C : Cases) {
        WriteFile(Path, WaveBuilder().FmtRaw(1, 1, C.Rate, 0, C.BlockAlign, 16).Chunk("data", Pattern(C.DataBytes)).Build());
        EXPECT_DOUBLE_EQ(TWaveIO(Path, Read).Duration(), C.Seconds) << C.BlockAlign << " x " << C.Rate;
    }
}

// ---------------------------------------------------------------------------------------------
// Reads and writes, on the windowed object, the plain one (window 0) and a small window

class WaveWindowTest : public testing::TestWithParam<size_t> {
protected:
    std::unique_ptr<TWaveIO> Open(TWaveIOMode Mode) {
        std::unique_ptr<TWaveIO> W;
        testing::internal::CaptureStdout();
        W = std::make_unique<TWaveIO>(Path, Mode, GetParam());
        testing::internal::GetCapturedStdout();
        return W;
    }
    TempDir Dir;
    const std::string Path = Dir / "w.wav";
};

TEST_P(WaveWindowTest, ReadsAtPositions) {
    const Bytes File = Stereo().Chunk("data", Pattern(2000)).Chunk("LIST", Pattern(4, 99)).Build();
    ASSERT_EQ(File.size(), 2056u); // sample data at 44..2044, the LIST chunk behind it
    WriteFile(Path, File);
    auto W = Open(Read);
    const std::pair<int64_t, int32_t> Reads[] = {
        {1000, 512}, {0, 4}, {1996, 4}, {64, 64}, {60, 8}, {1990, 10}, {0, 2000}, {1000, 0},
        {2000, 12}, // beyond the data chunk: the bytes that follow it
        {1990, 22}, // up to the last byte of the file
    };
    for (const auto& R : Reads) {
        const int64_t Pos = R.first;
        const int32_t Count = R.second;
        W->SetPosition(Pos);
        Bytes Got(static_cast<size_t>(Count));
        ASSERT_EQ(ErrorOf([&] { W->ReadWaveData(Got.data(), Count); }), "") << Pos << "+" << Count;
        EXPECT_EQ(Got, Slice(File, 44 + static_cast<size_t>(Pos), static_cast<size_t>(Count))) << Pos << "+" << Count;
        EXPECT_EQ(W->Position(), Pos + Count);
    }
    const std::pair<int64_t, int32_t> Failing[] = {
        {1990, 23}, {1000, 2000}, {3000, 1}, {-1, 4}, {Int32Max + 1, 4}, {std::numeric_limits<int64_t>::max(), 4},
        {0, -1}};
    for (const auto& F : Failing) {
        const int64_t Pos = F.first;
        const int32_t Count = F.second;
        W->SetPosition(Pos);
        Bytes Got(2000);
        EXPECT_EQ(ErrorOf([&] { W->ReadWaveData(Got.data(), Count); }), "Stream read error") << Pos << "+" << Count;
        EXPECT_EQ(W->Position(), Pos);
    }
    // a failed read leaves nothing stale behind
    W->SetPosition(1000);
    Bytes Got(512);
    W->ReadWaveData(Got.data(), 512);
    EXPECT_EQ(Got, Slice(File, 1044, 512));
    EXPECT_FALSE(W->Modified());
    W->Release();
    EXPECT_EQ(ReadFile(Path), File);
}

TEST_P(WaveWindowTest, WritesGrowSizesAtOnceAndReachTheHeaderOnRelease) {
    const std::vector<int32_t> Sequences[] = {{400, 100}, {7}, {0}, {30, 30, 30}};
    for (const std::vector<int32_t>& Writes : Sequences) {
        int32_t Total = 0;
        for (int32_t N : Writes) Total += N;
        SCOPED_TRACE(Total);
        const Bytes Sent = Pattern(static_cast<size_t>(Total));
        auto W = Open(Rewrite);
        size_t Done = 0;
        for (int32_t N : Writes) {
            W->WriteWaveData(Sent.data() + Done, N);
            Done += static_cast<size_t>(N);
        }
        EXPECT_EQ(std::make_tuple(W->DataSize(), W->RiffSize(), W->Position(), W->FileSize(), W->Modified()),
                  std::make_tuple(int64_t{Total}, int64_t{36} + Total, int64_t{Total}, int64_t{44} + Total, Total > 0));
        if (GetParam() == 0) { // one system call per request
            EXPECT_EQ(W->CommittedData(), Total);
        }
        if (GetParam() > static_cast<size_t>(Total)) {             // all of it still in the window
            EXPECT_EQ(W->CommittedData(), 0);
            EXPECT_EQ(ReadFile(Path).size(), 44u);
        }
        W->FlushWindow();
        EXPECT_EQ(W->CommittedData(), Total);
        const Bytes Disk = ReadFile(Path);
        EXPECT_EQ(Disk.size(), 44u + static_cast<size_t>(Total));
        EXPECT_EQ(std::make_pair(Le32(Disk, 4), Le32(Disk, 40)), std::make_pair(36u, 0u));
        W->Release();
        EXPECT_EQ(ReadFile(Path), Stereo().Chunk("data", Sent).Build());
    }
}

TEST_P(WaveWindowTest, DestructionWithoutReleaseWritesNoHeader) {
    {
        auto W = Open(Rewrite);
        const Bytes B = Pattern(100);
        W->WriteWaveData(B.data(), 100);
    }
    const Bytes Disk = ReadFile(Path);
    EXPECT_EQ(std::make_pair(Le32(Disk, 4), Le32(Disk, 40)), std::make_pair(36u, 0u));
    EXPECT_LE(Disk.size(), 144u);
}

TEST_P(WaveWindowTest, ModifyReadsSeeEarlierWritesAndInnerWritesChangeNoSize) {
    const Bytes File = Stereo().Chunk("data", Pattern(64)).Build();
    WriteFile(Path, File);
    auto W = Open(Modify);
    const Bytes New = Pattern(8, 200);
    W->SetPosition(4);
    W->WriteWaveData(New.data(), 8);
    W->SetPosition(0);
    Bytes Got(16);
    W->ReadWaveData(Got.data(), 16);
    Bytes Expected = File;
    std::copy(New.begin(), New.end(), Expected.begin() + 48);
    EXPECT_EQ(Got, Slice(Expected, 44, 16));
    EXPECT_EQ(W->DataSize(), 64);
    EXPECT_FALSE(W->Modified());
    W->Release();
    EXPECT_EQ(ReadFile(Path), Expected);
}

TEST_P(WaveWindowTest, GrowingDataOverwritesTheChunkBehindIt) {
    // data (8 bytes at 20..28) first, then fmt: the walk stays valid, so headers are written back
    const Bytes File = WaveBuilder().Chunk("data", Pattern(8)).Chunk("fmt ", FmtPayload(2, 44100, 16)).Build();
    WriteFile(Path, File);
    auto W = Open(Modify);
    const Bytes New = Pattern(12, 77);
    W->SetPosition(4);
    W->WriteWaveData(New.data(), 12);
    EXPECT_EQ(std::make_tuple(W->DataSize(), W->RiffSize(), W->Modified()), std::make_tuple(int64_t{16}, int64_t{52}, true));
    W->Release();
    Bytes Expected = File;
    std::copy(New.begin(), New.end(), Expected.begin() + 24);
    Set32(Expected, 4, 52);
    Set32(Expected, 16, 16);
    EXPECT_EQ(ReadFile(Path), Plus(Expected, Bytes(8, 0)));
}

TEST_P(WaveWindowTest, InputOpenedForReadingNeverChanges) {
    const Bytes File = Plus(Stereo().Chunk("data", Pattern(40)).Build(), {1}); // sizes disagree
    WriteFile(Path, File);
    auto W = Open(Read);
    EXPECT_TRUE(W->Modified());
    const Bytes B = Pattern(8);
    for (int64_t Pos : {0, 36, 40}) {
        W->SetPosition(Pos);
        EXPECT_EQ(ErrorOf([&] { W->WriteWaveData(B.data(), 8); }), "Stream write error");
        EXPECT_EQ(std::make_pair(W->Position(), W->DataSize()), std::make_pair(Pos, int64_t{40}));
    }
    W->SetFormat(TWaveFormat{1, 1, 8000, 0, 0, 8});
    W->Release();
    EXPECT_EQ(ReadFile(Path), File);
}

TEST_P(WaveWindowTest, NoDataChunkRefusesReadsAndWrites) {
    const Bytes File = Stereo().Build();
    WriteFile(Path, File);
    auto W = Open(Modify);
    EXPECT_EQ(std::make_tuple(W->DataSize(), W->Position(), W->Duration()), std::make_tuple(int64_t{-1}, int64_t{-1}, 0.0));
    W->SetPosition(8);
    EXPECT_EQ(W->Position(), -1);
    Bytes B(8);
    EXPECT_EQ(ErrorOf([&] { W->ReadWaveData(B.data(), 8); }), "Stream read error");
    EXPECT_EQ(ErrorOf([&] { W->WriteWaveData(B.data(), 8); }), "Stream write error");
    EXPECT_EQ(std::make_tuple(W->DataSize(), W->RiffSize(), W->Modified()), std::make_tuple(int64_t{-1}, int64_t{28}, false));
    W->Release();
    EXPECT_EQ(ReadFile(Path), File);
}

TEST_P(WaveWindowTest, WriteThatWouldPassTheSizeLimitChangesNothing) {
    // A RIFF size 51 bytes short of the limit, far beyond this 24-byte file: a data chunk of 4
    // may grow to 55 and no further.
    WriteFile(Path, WaveBuilder().Chunk("data", Pattern(4)).Build(2147483600));
    auto W = Open(Modify);
    const Bytes B = Pattern(51);
    W->WriteWaveData(B.data(), 51);
    EXPECT_EQ(std::make_pair(W->RiffSize(), W->DataSize()), std::make_pair(Int32Max, int64_t{51}));
    W->FlushWindow();
    const std::string Before = Digest(Path);
    EXPECT_EQ(ErrorOf([&] { W->WriteWaveData(B.data(), 1); }), "Stream write error");
    EXPECT_EQ(std::make_tuple(W->RiffSize(), W->DataSize(), W->Position()), std::make_tuple(Int32Max, int64_t{51}, int64_t{51}));
    W->FlushWindow();
    EXPECT_EQ(Digest(Path), Before);
    W.reset(); // released, the length rule would make a 2 GiB file

    // On a new file, positions near 2^31 (and beyond) refuse the same way.
    W = Open(Rewrite);
    for (int64_t Pos : {Int32Max - 36, Int32Max, Int32Max + 1, std::numeric_limits<int64_t>::max(), int64_t{-1}}) {
        W->SetPosition(Pos);
        EXPECT_EQ(ErrorOf([&] { W->WriteWaveData(B.data(), 1); }), "Stream write error") << Pos;
        EXPECT_EQ(std::make_tuple(W->Position(), W->DataSize(), W->RiffSize(), W->Modified(), W->FileSize()),
                  std::make_tuple(Pos, int64_t{0}, int64_t{36}, false, int64_t{44}));
    }
    W->Release();
    EXPECT_EQ(ReadFile(Path), Empty44());
}

TEST_P(WaveWindowTest, FailedWriteRaisesAndCountsWhatReachedTheFile) {
    auto W = Open(Rewrite);
    const Bytes B = Pattern(100);
    rlimit Old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &Old), 0);
    rlimit Low = Old;
    Low.rlim_cur = 100;
    auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &Low), 0);
    const std::string AtWrite = ErrorOf([&] { W->WriteWaveData(B.data(), 100); });
    const std::string AtFlush = ErrorOf([&] { W->FlushWindow(); });
    ::setrlimit(RLIMIT_FSIZE, &Old);
    std::signal(SIGXFSZ, OldHandler);
    // the plain object fails at once; a window that took the bytes fails when it is written
    EXPECT_EQ(AtWrite + AtFlush, "Stream write error");
    if (!AtWrite.empty()) {
        EXPECT_EQ(std::make_tuple(W->Position(), W->DataSize(), W->Modified()), std::make_tuple(int64_t{0}, int64_t{0}, false));
    }
    EXPECT_EQ(W->CommittedData(), 56);
    EXPECT_EQ(ReadFile(Path).size(), 100u);
}

INSTANTIATE_TEST_SUITE_P(Windows, WaveWindowTest, testing::Values(wave::WaveIOWindow, size_t{0}, size_t{64}),
                         [](const testing::TestParamInfo<size_t>& I) {
                             return std::string(I.index == 0 ? "Default" : I.index == 1 ? "Plain" : "Small64");
                         });

} // namespace
