// What of the wave file object the programs' outputs do not show: the refusal of an output, the
// size of its chunk table, the 32-bit sizes of large files, the layouts of a new file. The chunk
// walk, the refusals of inputs, reads and writes are checked end to end
// (tests/amplifier/*.cases), windowed and plain alike.
#include "WaveFiles.h"

#include "TestSupport.h"
#include "WaveRecipe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

using namespace testsupport;
using testwave::Build;
using wave::TWaveIO;
using wave::TWaveIOMode;

constexpr TWaveIOMode Read = TWaveIOMode::wioRead, Rewrite = TWaveIOMode::wioRewrite;

// The message of what F raises; empty when it raises nothing.
std::string ErrorOf(const std::function<void()>& F) {
    try { F(); } catch (const std::exception& E) { return E.what(); }
    return "";
}

std::ptrdiff_t OpenDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// Outputs that cannot be made: the message, and no descriptor left open.
TEST(WaveFilesTest, RefusesUnwritableFiles) {
    TempDir Dir;
    ASSERT_EQ(::mkdir((Dir / "folder").c_str(), 0755), 0);
    const auto Descriptors = OpenDescriptors();
    for (const std::string& Path : {Dir / "no/such/folder.wav", Dir / "folder"})
        for (TWaveIOMode Mode : {TWaveIOMode::wioCreate, Rewrite})
            EXPECT_EQ(ErrorOf([&] { TWaveIO W(Path, Mode); }), "unable to write wave file " + Path);
    EXPECT_EQ(OpenDescriptors(), Descriptors);
}

TEST(WaveFilesTest, LargeFilesAndManyChunks) {
    TempDir Dir;
    const std::string Path = Dir / "x.wav";
    // From 2 GiB on, the 32-bit sizes are unsigned (a hole makes the file cheaply).
    WriteFile(Path, Build("pcm16 2 44100 data size 0x80000000 riff 0x80000024"));
    ASSERT_EQ(::truncate(Path.c_str(), (int64_t{1} << 31) + 44), 0);
    TWaveIO Large(Path, Read);
    EXPECT_EQ(std::make_tuple(Large.RiffSize(), Large.DataSize(), Large.Modified()),
              std::make_tuple(int64_t{0x80000024}, int64_t{0x80000000}, false));
    // Only the chunks the object can use are kept, however many are walked.
    std::string Many = "pcm16 2 44100 ";
    for (int I = 0; I < 1000; ++I) Many += "chunk junk - ";
    WriteFile(Path, Build(Many + "data 1 2"));
    testing::internal::CaptureStdout(); // a diagnostic line for each
    TWaveIO W(Path, Read);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::make_tuple(W.Chunks().size(), W.ChunkNo(), W.DataSize()), std::make_tuple(size_t{3}, int64_t{1002}, int64_t{4}));
}

// A new file's extensible and RF64 layouts.
TEST(WaveFilesTest, ExtensibleAndRf64Layouts) {
    TempDir Dir;
    const std::string Path = Dir / "f.wav";
    // An extensible layout of 68 bytes, and RF64 for data past 4 GiB; no change once written to.
    const Bytes Three = {1, 0, 2, 0, 3, 0};
    for (const auto& [Ext, DataBytes, Recipe] : {std::tuple{true, int64_t{6}, "pcm16 1 8000 ext 16 4 data 1 2 3"},
                                                  {false, int64_t{1} << 32, "pcm16 1 8000 data 1 2 3 rf64"}}) {
        TWaveIO W(Path, TWaveIOMode::wioCreate);
        W.SetFormat({static_cast<uint16_t>(Ext ? 0xFFFE : 1), 1, 8000, 0, 0, 16});
        W.SetLayout({Ext, 16, 4, {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}}, DataBytes);
        W.WriteWaveData(Three.data(), 6);
        EXPECT_EQ(ErrorOf([&] { W.SetLayout({}, 0); }), "Stream write error");
        W.Release();
        EXPECT_EQ(ReadFile(Path), Build(Recipe)) << Recipe;
    }
}

} // namespace
