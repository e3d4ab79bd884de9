// The wave file object on files written from recipes: opening refusals, the chunk walk with its
// flags and diagnostic lines, positioned reads and writes, sizes in memory and on disk, the
// layouts of a new file, the length rule, and the windowed object against the plain one.
#include "WaveFiles.h"

#include "TestSupport.h"
#include "WaveRecipe.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

using namespace testsupport;
using wave::TWaveFormat;
using wave::TWaveIO;
using wave::TWaveIOMode;

constexpr TWaveIOMode Read = TWaveIOMode::wioRead, Modify = TWaveIOMode::wioModify, Rewrite = TWaveIOMode::wioRewrite;
constexpr int64_t Int64Max = std::numeric_limits<int64_t>::max();

// The message of what F raises; empty when it raises nothing.
std::string ErrorOf(const std::function<void()>& F) {
    try { F(); } catch (const std::exception& E) { return E.what(); }
    return "";
}

Bytes Build(const std::string& Recipe) { return testwave::Build(Recipe); }
Bytes Plus(Bytes A, const Bytes& B) { return A.insert(A.end(), B.begin(), B.end()), A; }
Bytes Slice(const Bytes& B, size_t From, size_t Count) { return Bytes(B.begin() + static_cast<long>(From), B.begin() + static_cast<long>(From + Count)); }
// Bytes without a period of 256, so a read or write at a wrong offset shows; and as hex.
Bytes Pattern(size_t N, unsigned Seed = 1) {
    Bytes B(N);
    for (size_t I = 0; I < N; ++I) B[I] = static_cast<uint8_t>((I * 7 + (I >> 8) * 13 + Seed) & 0xFF);
    return B;
}
std::string Hex(const Bytes& B) {
    std::string H;
    for (uint8_t V : B) H += "0123456789abcdef"[V >> 4], H += "0123456789abcdef"[V & 15];
    return H.empty() ? "-" : H;
}
// 16-bit stereo at 44100 Hz (the default format): the fmt chunk at 12, the next chunk at 36.
const std::string Stereo = "pcm16 2 44100 ";
Bytes Empty44() { return Build(Stereo + "data"); } // a new file as the object creates it

std::ptrdiff_t OpenDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// The object, what opening printed on standard output, what it raised, and every chunk walked.
struct Opened { std::unique_ptr<TWaveIO> Wave; std::string Out, Error; std::vector<wave::TChunkEntry> Walked; };

Opened OpenCapturing(const std::string& Path, TWaveIOMode Mode) {
    Opened R;
    testing::internal::CaptureStdout();
    R.Error = ErrorOf([&] { R.Wave = std::make_unique<TWaveIO>(Path, Mode, wave::WaveIOWindow, &R.Walked); });
    R.Out = testing::internal::GetCapturedStdout();
    return R;
}

// Refusals: nothing printed, nothing written, no descriptor left open.
TEST(WaveFilesTest, RefusesNonWaveSeverlyCorruptAndUnwritableFiles) {
    TempDir Dir;
    ASSERT_EQ(::mkdir((Dir / "folder").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((Dir / "fifo").c_str(), 0644), 0); // must be refused, never waited on
    const auto Spoilt = [](size_t At) { Bytes B = Build("pcm16 1 44100 data 1 2"); B[At] = 'X'; return B; };
    const std::string NotWave = " is not a riff/wave file", Corrupt = " is severly corrupt";
    const struct { const char* Name; std::optional<Bytes> File; std::string Message; } Cases[] = {
        {"missing", {}, NotWave}, {"folder", {}, NotWave}, {"fifo", {}, NotWave}, {"empty", Bytes{}, NotWave},
        {"eleven", Build("cut 11"), NotWave}, {"rifx", Spoilt(3), NotWave}, {"wavx", Spoilt(11), NotWave},
        // cut to the RIFF end before its read fails, so a written-back size would show
        {"fmt payload cut off", Build("chunk fmt. " + Hex(Pattern(8)) + " size 16"), Corrupt},
        {"short fmt at file end", Build("chunk fmt. " + Hex(Pattern(14))), Corrupt},
        {"ds64 cut off", Build("pcm16 1 8000 data 1 rf64 cut 30"), Corrupt},
    };
    const auto Descriptors = OpenDescriptors();
    for (const auto& C : Cases) {
        const std::string Path = Dir / C.Name;
        if (C.File) WriteFile(Path, *C.File);
        for (TWaveIOMode Mode : {Read, Modify}) {
            SCOPED_TRACE(std::string(C.Name) + " mode " + std::to_string(static_cast<int>(Mode)));
            Opened O = OpenCapturing(Path, Mode);
            EXPECT_EQ(std::make_tuple(O.Error, O.Out, bool(O.Wave)), std::make_tuple(Path + C.Message, "", false));
            EXPECT_EQ(std::filesystem::is_regular_file(Path) ? std::optional(ReadFile(Path)) : std::nullopt, C.File);
        }
    }
    for (const std::string& Path : {Dir / "no/such/folder.wav", Dir / "folder", Dir / "fifo"})
        for (TWaveIOMode Mode : {TWaveIOMode::wioCreate, Rewrite})
            EXPECT_EQ(ErrorOf([&] { TWaveIO W(Path, Mode); }), "unable to write wave file " + Path);
    EXPECT_EQ(OpenDescriptors(), Descriptors);
}

// The chunk walk, and what release makes of the file: nothing at all in wioRead; in wioModify the
// cut sizes written back when the walk is valid, and the length set to the RIFF size.
TEST(WaveFilesTest, WalkFlagsCutsDiagnosticLinesAndTheLengthRule) {
    const std::string Data8 = "chunk data " + Hex(Pattern(8));
    const Bytes Pcm = Build(Stereo + Data8), Short = Build(Stereo + Data8 + " riff 48"), Crossing = Build(Stereo + "data riff 32");
    const Bytes Pad = Build(Stereo + "chunk odd. " + Hex(Pattern(3)) + " raw 00 chunk data " + Hex(Pattern(4)));
    // Walked: chunks walked; LastSize, LastCut: size of the last one walked, and its header is
    // to be written back; Released: the file after release in wioModify (empty: unchanged).
    const struct {
        const char* Name; Bytes File; std::string Out; bool Valid, Modified; int64_t Walked, LastSize;
        bool LastCut; int64_t DataSize; TWaveFormat Format = {}; Bytes Released = {};
    } Cases[] = {
        {"consistent", Pcm, "", true, false, 2, 8, false, 8},
        {"chunk beyond riff end never walked, cut", Plus(Pcm, {'L', 'I', 'S', 'T', 0, 0, 0, 0}), "", true, true, 2, 8, false, 8, {}, Pcm},
        {"file shorter than riff, extended", Short, "", true, true, 2, 8, false, 8, {}, Plus(Short, {0, 0, 0, 0})},
        {"data past riff end cut", Build(Stereo + Data8 + " size 100"), "", true, true, 2, 8, true, 8, {}, Pcm},
        {"negative size cut, walk stops", Build(Stereo + Data8 + " size -1 chunk LIST " + Hex(Pattern(4))), "",
         true, true, 2, 20, true, 20, {}, Build(Stereo + Data8 + " size 20 chunk LIST " + Hex(Pattern(4)))},
        {"header crossing riff end gets size 0", Crossing, "", true, true, 2, 0, true, 0, {}, Slice(Crossing, 0, 40)},
        {"odd size without pad", Build(Stereo + "chunk odd. " + Hex(Pattern(3)) + " " + Data8),
         "error: chunk #2 \"odd \" has unknown blocks\n", false, false, 3, 8, false, 8},
        // Inside the file the pad byte starts the next header: tag "\0dat", size 'a' + 0x0400,
        // cut at the RIFF end; not valid, so the cut size stays as it was, but the length is set.
        {"pad byte misread as header", Plus(Pad, {7, 7, 7}),
         "error: chunk #2 \"odd \" has unknown blocks\nerror: chunk #3 \"\" has unknown blocks\n", false, true, 3, 5, true, -1, {}, Pad},
        // At the end fewer than 8 bytes are no header: the walk ends there.
        {"pad byte after the last chunk", Build(Stereo + "chunk data 010203 raw 00"), "", true, false, 2, 3, false, 3},
        {"a header cut off at the end", Build(Stereo + "raw 64617461"), "", true, false, 1, 16, false, -1},
        {"fmt of 18, walk goes on at 38", Build("pcm16 2 44100 raw 0909 size 18 " + Data8), "", true, false, 2, 8, false, 8},
        // Sixteen format bytes are read whatever the size: the last two are "da".
        {"short fmt read past its end", Build("chunk fmt. 0100020044ac000010b102000400 " + Data8), "", true, false, 2, 8, false, 8,
         {1, 2, 44100, 176400, 4, 0x6164}},
        {"two fmt, second in force", Build(Stereo + "pcm8 1 22050 " + Data8),
         "error: chunk #2 \"fmt \" to many format blocks\n", false, false, 3, 8, false, 8, {1, 1, 22050, 22050, 1, 8}},
        {"two data, first kept", Build(Stereo + Data8 + " chunk data " + Hex(Pattern(4))),
         "error: chunk #3 \"data\" to many data blocks\n", false, false, 3, 4, false, 8},
        {"twelve bytes", Build(""), "", true, false, 0, 0, false, -1},
        {"RF64: sizes from ds64", Build("pcm16 1 8000 data 1 2 3 rf64"), "", true, false, 3, 6, false, 6, {1, 1, 8000, 16000, 2, 16}},
    };
    TempDir Dir;
    const std::string Path = Dir / "in.wav";
    const auto Descriptors = OpenDescriptors();
    for (const auto& C : Cases) {
        for (TWaveIOMode Mode : {Read, Modify}) {
            SCOPED_TRACE(std::string(C.Name) + (Mode == Read ? ", read" : ", modify"));
            WriteFile(Path, C.File);
            Opened O = OpenCapturing(Path, Mode);
            ASSERT_EQ(O.Error, "");
            TWaveIO& W = *O.Wave;
            const wave::TChunkEntry Last = O.Walked.empty() ? wave::TChunkEntry{} : O.Walked.back();
            EXPECT_EQ(std::make_tuple(O.Out, W.Valid(), W.Modified(), W.ChunkNo(), W.DataSize(), Last.Header.Size, Last.Dirty, W.Format()),
                      std::make_tuple(C.Out, C.Valid, C.Modified, C.Walked, C.DataSize, C.LastSize, C.LastCut, C.Format));
            EXPECT_EQ(static_cast<int64_t>(O.Walked.size()), C.Walked);
            W.Release();
            EXPECT_EQ(ReadFile(Path), Mode == Read || C.Released.empty() ? C.File : C.Released);
        }
    }
    // A negative length cannot be set: raised once, the file closed and left as it was.
    const Bytes Negative = Build(Stereo + Data8 + " riff 0x80000000");
    WriteFile(Path, Negative);
    TWaveIO W(Path, Modify);
    EXPECT_EQ(ErrorOf([&] { W.Release(); }), "i/o error #" + std::to_string(EINVAL) + " while truncating file \"" + Path + "\"");
    EXPECT_EQ(std::make_pair(W.FileSize(), ErrorOf([&] { W.Release(); })), std::make_pair(int64_t{-1}, std::string()));
    EXPECT_EQ(ReadFile(Path), Negative);
    EXPECT_EQ(OpenDescriptors(), Descriptors);
}

TEST(WaveFilesTest, ExtensionsLargeFilesAndManyChunks) {
    TempDir Dir;
    const std::string Path = Dir / "x.wav";
    // The extension is read only from a chunk of 40 bytes or more whose cbSize is 22 or more.
    WriteFile(Path, Build("pcm24 3 48000 ext 24 7 data 1 2 3"));
    wave::TWaveExtension Pcm{true, 24, 7, {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};
    EXPECT_EQ(TWaveIO(Path, Read).Extension(), Pcm);
    WriteFile(Path, Build("fmt 0xFFFE 1 8000 16000 2 16 1400" + std::string(44, '0') + " data 1 2 3"));
    EXPECT_FALSE(TWaveIO(Path, Read).Extension().Present);
    // From 2 GiB on, the 32-bit sizes are unsigned (a hole makes the file cheaply).
    WriteFile(Path, Build(Stereo + "data size 0x80000000 riff 0x80000024"));
    ASSERT_EQ(::truncate(Path.c_str(), (int64_t{1} << 31) + 44), 0);
    TWaveIO Large(Path, Read);
    EXPECT_EQ(std::make_tuple(Large.RiffSize(), Large.DataSize(), Large.Modified()),
              std::make_tuple(int64_t{0x80000024}, int64_t{0x80000000}, false));
    // Only the chunks the object can use are kept, however many are walked.
    std::string Many = Stereo;
    for (int I = 0; I < 1000; ++I) Many += "chunk junk - ";
    WriteFile(Path, Build(Many + "data 1 2"));
    testing::internal::CaptureStdout();
    TWaveIO W(Path, Read);
    EXPECT_EQ(testing::internal::GetCapturedStdout().size(), 1000u * 41 + 8 * 1 + 90 * 2 + 900 * 3 + 2 * 4);
    EXPECT_EQ(std::make_tuple(W.Chunks().size(), W.ChunkNo(), W.DataSize()), std::make_tuple(size_t{3}, int64_t{1002}, int64_t{4}));
}

// A new file's format and layout.
TEST(WaveFilesTest, NewFileIs44BytesAndSetFormatRecomputesBlockAlignAndByteRate) {
    const std::pair<TWaveFormat, TWaveFormat> Cases[] = { // given, in force
        {{}, {}}, // the format in force: nothing to write back
        {{1, 2, 44100, 0, 0, 12}, {1, 2, 44100, 132300, 3, 12}},
        {{1, 1, 22050, 999, 7, 8}, {1, 1, 22050, 22050, 1, 8}},
        {{1, 1, 8000, 0, 0, 1}, {1, 1, 8000, 8000, 1, 1}}, // rounded up to whole bytes
        {{1, 0, 8000, 5, 5, 16}, {1, 0, 8000, 0, 0, 16}},
    };
    TempDir Dir;
    const std::string Path = Dir / "f.wav";
    for (TWaveIOMode Mode : {TWaveIOMode::wioCreate, Rewrite}) {
        for (const auto& [Given, Expected] : Cases) {
            SCOPED_TRACE(std::to_string(Given.Channels) + " x " + std::to_string(Given.BitsPerSample));
            WriteFile(Path, Pattern(1000)); // replaced
            TWaveIO W(Path, Mode);
            EXPECT_EQ(std::make_tuple(W.Valid(), W.Modified(), W.RiffSize(), W.DataSize(), W.Position(), W.FileSize()),
                      std::make_tuple(true, false, int64_t{36}, int64_t{0}, int64_t{0}, int64_t{44}));
            W.SetFormat(Given);
            EXPECT_EQ(std::make_pair(W.Format(), W.Modified()), std::make_pair(Expected, Expected != TWaveFormat{}));
            EXPECT_EQ(ReadFile(Path), Empty44()); // on disk only after release
            W.Release();
            const TWaveFormat& E = Expected;
            EXPECT_EQ(ReadFile(Path), Build("fmt 1 " + std::to_string(E.Channels) + " " + std::to_string(E.SamplesPerSec) + " " +
                                            std::to_string(E.AvgBytesPerSec) + " " + std::to_string(E.BlockAlign) + " " +
                                            std::to_string(E.BitsPerSample) + " data"));
        }
    }
    // An extensible layout of 68 bytes, and RF64 for data past 4 GiB; no change once written to.
    const Bytes Three = {1, 0, 2, 0, 3, 0};
    for (const auto& [Ext, DataBytes, Recipe] : {std::tuple{true, int64_t{6}, "pcm16 1 8000 ext 16 4 data 1 2 3"},
                                                  {false, int64_t{1} << 32, "pcm16 1 8000 data 1 2 3 rf64"}}) {
        TWaveIO W(Path, Rewrite);
        W.SetFormat({1, 1, 8000, 0, 0, 16});
        if (Ext) W.SetFormat({0xFFFE, 1, 8000, 0, 0, 16});
        W.SetLayout({Ext, 16, 4, {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}}, DataBytes);
        W.WriteWaveData(Three.data(), 6);
        EXPECT_EQ(ErrorOf([&] { W.SetLayout({}, 0); }), "Stream write error");
        W.Release();
        EXPECT_EQ(ReadFile(Path), Build(Recipe)) << Recipe;
    }
}

TEST(WaveFilesTest, MaxSampleValueDurationAndNoDataChunk) {
    const std::pair<int32_t, int64_t> Values[] = {{1, 0}, {8, 127}, {24, 8388607}, {32, 2147483647}, {64, Int64Max}};
    for (const auto& [Bits, Max] : Values) EXPECT_EQ(wave::MaxSampleValue(Bits), Max) << Bits;
    for (int32_t Bits : {65, 0, -1, std::numeric_limits<int32_t>::min()})
        EXPECT_EQ(ErrorOf([&] { wave::MaxSampleValue(Bits); }), "invalid sample bit size") << Bits;
    const struct { uint16_t BlockAlign; uint32_t Rate; size_t DataBytes; double Seconds; } Cases[] = {
        {4, 44100, 1764, 0.01}, {2, 0, 8, 0}, {0x8000, 0x20000, 8, 0}, // the product wraps to 0 in 32 bits
    };
    TempDir Dir;
    const std::string Path = Dir / "d.wav";
    for (const auto& C : Cases) {
        WriteFile(Path, Build("fmt 1 1 " + std::to_string(C.Rate) + " 0 " + std::to_string(C.BlockAlign) + " 16 chunk data " + Hex(Pattern(C.DataBytes))));
        EXPECT_DOUBLE_EQ(TWaveIO(Path, Read).Duration(), C.Seconds) << C.BlockAlign << " x " << C.Rate;
    }
    WriteFile(Path, Build(Stereo));
    TWaveIO W(Path, Modify);
    W.SetPosition(8);
    Bytes B(8);
    EXPECT_EQ(ErrorOf([&] { W.ReadWaveData(B.data(), 8); }), "Stream read error");
    EXPECT_EQ(ErrorOf([&] { W.WriteWaveData(B.data(), 8); }), "Stream write error");
    EXPECT_EQ(std::make_tuple(W.DataSize(), W.Position(), W.Duration(), W.RiffSize(), W.Modified()),
              std::make_tuple(int64_t{-1}, int64_t{-1}, 0.0, int64_t{28}, false));
    W.Release();
    EXPECT_EQ(ReadFile(Path), Build(Stereo));
}

// Reads and writes, on the windowed object, the plain one (window 0) and a small window.
class WaveWindowTest : public testing::TestWithParam<size_t> {
protected:
    std::unique_ptr<TWaveIO> Open(TWaveIOMode Mode) { return std::make_unique<TWaveIO>(Path, Mode, GetParam()); }
    TempDir Dir;
    const std::string Path = Dir / "w.wav";
};

TEST_P(WaveWindowTest, InputOpenedForReadingReadsAtPositionsAndNeverChanges) {
    // sample data at 44..2044, a LIST chunk behind it, and a byte the RIFF size leaves out
    const Bytes File = Plus(Build(Stereo + "chunk data " + Hex(Pattern(2000)) + " chunk LIST " + Hex(Pattern(4, 99))), {1});
    WriteFile(Path, File);
    auto W = Open(Read);
    EXPECT_TRUE(W->Modified());
    // Past the data chunk come the bytes that follow it, up to the last of the file; a failed
    // read leaves nothing stale behind for the next one. Writes fail wherever the position is.
    const struct { int64_t Pos; int32_t Count; bool Ok; } Reads[] = {
        {1000, 512, true}, {0, 4, true}, {1996, 4, true}, {64, 64, true}, {60, 8, true}, {1990, 10, true},
        {0, 2000, true}, {1000, 0, true}, {2000, 12, true}, {1990, 23, true}, {1990, 24, false}, {3000, 1, false},
        {-1, 4, false}, {Int64Max, 4, false}, {0, -1, false}, {1000, 512, true}};
    Bytes Got(2000);
    for (const auto& R : Reads) {
        SCOPED_TRACE(std::to_string(R.Pos) + "+" + std::to_string(R.Count));
        W->SetPosition(R.Pos);
        EXPECT_EQ(ErrorOf([&] { W->ReadWaveData(Got.data(), R.Count); }), R.Ok ? "" : "Stream read error");
        const size_t N = R.Ok ? static_cast<size_t>(R.Count) : 0, At = R.Ok ? 44 + static_cast<size_t>(R.Pos) : 0;
        EXPECT_EQ(Slice(Got, 0, N), Slice(File, At, N));
        EXPECT_EQ(ErrorOf([&] { W->WriteWaveData(Got.data(), 8); }), "Stream write error");
        EXPECT_EQ(std::make_pair(W->Position(), W->DataSize()), std::make_pair(R.Ok ? R.Pos + R.Count : R.Pos, int64_t{2000}));
    }
    W->SetFormat(TWaveFormat{1, 1, 8000, 0, 0, 8});
    W->Release();
    EXPECT_EQ(ReadFile(Path), File);
}

TEST_P(WaveWindowTest, WritesGrowSizesAtOnceAndReachTheHeaderOnlyOnRelease) {
    for (const std::vector<int32_t>& Writes : {std::vector<int32_t>{400, 100}, {0}, {30, 30, 30}}) {
        const int32_t Total = std::accumulate(Writes.begin(), Writes.end(), 0);
        SCOPED_TRACE(Total);
        const Bytes Sent = Pattern(static_cast<size_t>(Total));
        auto W = Open(Rewrite);
        for (size_t I = 0, Done = 0; I < Writes.size(); Done += static_cast<size_t>(Writes[I++]))
            W->WriteWaveData(Sent.data() + Done, Writes[I]);
        EXPECT_EQ(std::make_tuple(W->DataSize(), W->RiffSize(), W->Position(), W->FileSize(), W->Modified()),
                  std::make_tuple(int64_t{Total}, int64_t{36} + Total, int64_t{Total}, int64_t{44} + Total, Total > 0));
        // one system call per request, or all of it still in the window
        if (GetParam() == 0 || GetParam() > static_cast<size_t>(Total)) {
            const int32_t Written = GetParam() == 0 ? Total : 0;
            EXPECT_EQ(W->CommittedData(), Written);
            EXPECT_EQ(ReadFile(Path), Plus(Empty44(), Slice(Sent, 0, static_cast<size_t>(Written))));
        }
        W->FlushWindow();
        EXPECT_EQ(W->CommittedData(), Total);
        EXPECT_EQ(ReadFile(Path), Plus(Empty44(), Sent));
        W->Release();
        EXPECT_EQ(ReadFile(Path), Build(Stereo + "chunk data " + Hex(Sent)));
    }
    // Positions past the 4 GiB of a RIFF file refuse at once, writing nothing.
    auto W = Open(Rewrite);
    const Bytes B = Pattern(4);
    for (int64_t Pos : {int64_t{0xFFFFFFFF} - 38, int64_t{0xFFFFFFFF}, Int64Max, int64_t{-1}}) {
        W->SetPosition(Pos);
        EXPECT_EQ(ErrorOf([&] { W->WriteWaveData(B.data(), 4); }), "Stream write error") << Pos;
        EXPECT_EQ(std::make_tuple(W->Position(), W->DataSize(), W->RiffSize(), W->Modified(), W->FileSize()),
                  std::make_tuple(Pos, int64_t{0}, int64_t{36}, false, int64_t{44}));
    }
    W = Open(Rewrite);
    W->WriteWaveData(B.data(), 4); // destroyed unreleased: the header stays as it was
    W.reset();
    EXPECT_EQ(Slice(ReadFile(Path), 0, 44), Empty44());
}

TEST_P(WaveWindowTest, ModifyReadsSeeWritesAndGrowingDataOverwritesTheChunkBehindIt) {
    // data (64 bytes at 20..84) first, then fmt: the walk stays valid, so headers are written back
    const Bytes Old = Pattern(64), Inner = Pattern(8, 200), Across = Pattern(12, 77);
    const Bytes Fmt = Slice(Build(Stereo), 20, 16);
    WriteFile(Path, Build("chunk data " + Hex(Old) + " chunk fmt. " + Hex(Fmt)));
    auto W = Open(Modify);
    W->SetPosition(4);
    W->WriteWaveData(Inner.data(), 8);
    EXPECT_EQ(std::make_pair(W->DataSize(), W->Modified()), std::make_pair(int64_t{64}, false));
    W->SetPosition(0);
    Bytes Got(16);
    W->ReadWaveData(Got.data(), 16);
    const Bytes Data = Plus(Plus(Slice(Old, 0, 4), Inner), Slice(Old, 12, 48));
    EXPECT_EQ(Got, Slice(Data, 0, 16));
    W->SetPosition(60);
    W->WriteWaveData(Across.data(), 12);
    EXPECT_EQ(std::make_tuple(W->DataSize(), W->RiffSize(), W->Modified()), std::make_tuple(int64_t{72}, int64_t{108}, true));
    W->Release();
    EXPECT_EQ(ReadFile(Path), Build("chunk data " + Hex(Plus(Data, Across)) + " raw " + Hex(Plus(Fmt, Bytes(8, 0)))));
}

TEST_P(WaveWindowTest, FailedWriteRaisesAndCountsWhatReachedTheFile) {
    auto W = Open(Rewrite);
    const Bytes B = Pattern(100);
    rlimit Old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &Old), 0);
    const rlimit Low{100, Old.rlim_max};
    auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &Low), 0);
    const std::string AtWrite = ErrorOf([&] { W->WriteWaveData(B.data(), 100); });
    const std::string AtFlush = ErrorOf([&] { W->FlushWindow(); });
    ::setrlimit(RLIMIT_FSIZE, &Old);
    std::signal(SIGXFSZ, OldHandler);
    // the plain object fails at once; a window that took the bytes fails when it is written
    EXPECT_EQ(AtWrite + AtFlush, "Stream write error");
    const int64_t Taken = AtWrite.empty() ? 100 : 0; // by a window, before it failed
    EXPECT_EQ(std::make_tuple(W->Position(), W->DataSize(), W->Modified()), std::make_tuple(Taken, Taken, Taken > 0));
    EXPECT_EQ(W->CommittedData(), 56);
    EXPECT_EQ(ReadFile(Path).size(), 100u);
}

INSTANTIATE_TEST_SUITE_P(Windows, WaveWindowTest, testing::Values(wave::WaveIOWindow, size_t{0}, size_t{64}),
                         [](const testing::TestParamInfo<size_t>& I) {
                             return std::string(I.index == 0 ? "Default" : I.index == 1 ? "Plain" : "Small64");
                         });

} // namespace
