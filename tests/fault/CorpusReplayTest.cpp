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

const fs::path Corpus = SONOLIFT_CORPUS;

std::vector<fs::path> FilesIn(const fs::path& Dir, const std::string& Prefix = "") {
    std::vector<fs::path> Files;
    for (const auto& E : fs::directory_iterator(Dir))
        if (E.is_regular_file() && E.path().filename().string().starts_with(Prefix)) Files.push_back(E.path());
    std::sort(Files.begin(), Files.end());
    return Files;
}

} // namespace

TEST(CorpusReplay, EveryInputPassesItsDriver) {
    const std::pair<const char*, std::string (*)(const uint8_t*, size_t)> Drivers[] = {
        {"process", sonofuzz::ProcessFileOnce}, {"cmdline", sonofuzz::CommandLineOnce}};
    for (const auto& [Folder, Once] : Drivers) {
        const std::vector<fs::path> Files = FilesIn(Corpus / Folder);
        EXPECT_FALSE(Files.empty()) << Folder;
        for (const fs::path& F : Files) {
            const Bytes Data = ReadFile(F.string());
            EXPECT_EQ("", Once(Data.data(), Data.size())) << F;
        }
    }
}

// The committed seeds are what the generator writes today.
TEST(CorpusReplay, SeedsMatchTheirGenerator) {
    TempDir D;
    const RunResult R = testsupport::Run(SONOLIFT_MAKE_CORPUS, {D.Path()});
    ASSERT_EQ(0, R.Status) << R.Err;
    for (const char* Folder : {"process", "cmdline"}) {
        const std::vector<fs::path> Made = FilesIn(fs::path(D.Path()) / Folder), Kept = FilesIn(Corpus / Folder, "seed-");
        ASSERT_EQ(Made.size(), Kept.size()) << Folder;
        for (size_t I = 0; I < Made.size(); ++I)
            EXPECT_TRUE(Made[I].filename() == Kept[I].filename() && ReadFile(Made[I]) == ReadFile(Kept[I])) << Kept[I];
    }
}
