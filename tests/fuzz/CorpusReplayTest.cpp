// The fuzz corpus (seeds and every finding kept as a regression input) replayed through the
// fuzz targets' own checks, so the normal suite checks what the fuzzers checked.
#include "FuzzHarness.h"
#include "TestSupport.h"
#include "WaveRecipe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

TEST(CorpusReplay, EveryInputPassesItsChecksAndTheSeedsAreTheirRecipes) {
    std::map<std::string, testwave::Bytes> Seeds;
    for (auto& [Path, Content] : testwave::Seeds(SONOLIFT_CORPUS "/seeds.txt")) Seeds[Path] = Content;
    size_t Found = 0;
    for (const char* Target : {"process", "loud"})
        for (const auto& E : fs::directory_iterator(fs::path(SONOLIFT_CORPUS) / Target)) {
            const std::string Name = std::string(Target).append("/").append(E.path().filename().string());
            const testsupport::Bytes Data = testsupport::ReadFile(E.path().string());
            if (Seeds.count(Name)) {
                EXPECT_TRUE(Seeds.at(Name) == Data) << Name << " is not what its recipe writes";
                ++Found;
            }
            const bool Loud = Target[0] == 'l';
            EXPECT_EQ(Loud ? sonofuzz::LoudnessOnce(Data.data(), Data.size()) : sonofuzz::ProcessFileOnce(Data.data(), Data.size()), "") << Name;
        }
    EXPECT_EQ(Found, Seeds.size()) << "a seed of seeds.txt is missing from the corpus";
}
