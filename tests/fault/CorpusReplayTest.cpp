// The fuzz corpus (seeds and every finding kept as a regression input) replayed through the
// fuzz targets' drivers, so the normal suite checks what the fuzzers checked.
#include "FuzzHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> FilesIn(const fs::path& Dir) {
    std::vector<fs::path> Files;
    for (const auto& E : fs::directory_iterator(Dir))
        if (E.is_regular_file()) Files.push_back(E.path());
    std::sort(Files.begin(), Files.end());
    return Files;
}

void Replay(const char* Folder, std::string (*Once)(const uint8_t*, size_t)) {
    const std::vector<fs::path> Files = FilesIn(fs::path(SONOLIFT_CORPUS) / Folder);
    ASSERT_FALSE(Files.empty());
    for (const fs::path& F : Files) {
        const Bytes Data = ReadFile(F.string());
        EXPECT_EQ("", Once(Data.data(), Data.size())) << F.filename().string();
    }
}

} // namespace

TEST(CorpusReplay, PerFileInputs) { Replay("process", sonofuzz::ProcessFileOnce); }

TEST(CorpusReplay, CommandLines) { Replay("cmdline", sonofuzz::CommandLineOnce); }

// The committed seeds are what the generator writes today.
TEST(CorpusReplay, SeedsMatchTheirGenerator) {
    TempDir D;
    RunResult R = testsupport::Run(SONOLIFT_MAKE_CORPUS, {D.Path()});
    ASSERT_EQ(0, R.Status) << R.Err;
    for (const char* Folder : {"process", "cmdline"}) {
        std::vector<std::string> Made, Committed;
        for (const fs::path& F : FilesIn(fs::path(D.Path()) / Folder)) {
            Made.push_back(F.filename().string());
            const fs::path Kept = fs::path(SONOLIFT_CORPUS) / Folder / F.filename();
            EXPECT_TRUE(fs::exists(Kept) && ReadFile(F.string()) == ReadFile(Kept.string())) << Kept;
        }
        for (const fs::path& F : FilesIn(fs::path(SONOLIFT_CORPUS) / Folder))
            if (F.filename().string().rfind("seed-", 0) == 0) Committed.push_back(F.filename().string());
        EXPECT_EQ(Made, Committed) << Folder;
    }
}
