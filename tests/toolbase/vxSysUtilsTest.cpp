#include "InProcess.h"
#include "TestSupport.h"
#include "vxSysUtils.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <unistd.h>

namespace {

using Names = std::vector<std::string>;

TEST(RoundUp, IntegerPartPlusOneForAFraction) {
    const std::pair<double, int64_t> Cases[] = {
        {2.0, 2}, {2.25, 3}, {-1.5, 0}, {-2.0, -2}, {0.0, 0}, {-0.0, 0}, {0.1, 1}, {-0.1, 1},
        {1e-300, 1}, {4503599627370495.5, 4503599627370496},
        {9.2e18, 9200000000000000000}, {-9.2e18, -9200000000000000000},
        {-9223372036854775808.0, INT64_MIN}, {1e300, INT64_MAX}, {-1e300, INT64_MIN},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& [X, Expected] : Cases) EXPECT_EQ(vx::RoundUp(X), Expected) << X;
    // No value may reach an undefined conversion.
    (void)vx::RoundUp(std::numeric_limits<double>::infinity());
    (void)vx::RoundUp(-std::numeric_limits<double>::infinity());
}

TEST(Paths, ExpandResolvesTextuallyAndRelativePathsClimb) {
    const std::pair<const char*, const char*> Expanded[] = {
        {"/a/./b//c", "/a/b/c"}, {"/a/b/../c", "/a/c"}, {"/a/b/..", "/a/"}, {"/a/b/.", "/a/b/"},
        {"/a/", "/a/"},          {"/..", "/"},          {"/", "/"},         {"//x/../../y", "/y"},
    };
    for (const auto& [In, Out] : Expanded) EXPECT_EQ(vx::ExpandFileName(In), Out) << In;

    testsupport::TempDir Dir;
    inprocess::ChdirGuard Here(Dir.Path());
    ASSERT_TRUE(Here.Ok());
    const std::string Cwd = vx::CurrentDir();
    ASSERT_FALSE(Cwd.empty());
    ASSERT_NE(Cwd.back(), '/');
    EXPECT_EQ(vx::ExpandFileName("x.wav"), Cwd + "/x.wav");
    EXPECT_EQ(vx::ExpandFileName("sub/../x.wav"), Cwd + "/x.wav");
    EXPECT_EQ(vx::ExpandFileName("./"), Cwd + "/");
    EXPECT_EQ(vx::ExpandFileName(""), Cwd + "/");

    const char* const Relative[][3] = {
        {"/a/b/", "/a/b/c.wav", "c.wav"},
        {"/a/b/", "/a/b/sub/c.wav", "sub/c.wav"},
        {"/a/b/", "/a/c.wav", "../c.wav"},
        {"/a/b/", "/x/y.wav", "../../x/y.wav"},
        {"/a/b/", "/a/bb/c.wav", "../bb/c.wav"},
        {"/", "/c.wav", "c.wav"},
        {"//", "/d/c.wav", "d/c.wav"},
    };
    for (const auto& C : Relative) EXPECT_EQ(vx::ExtractRelativePath(C[0], C[1]), C[2]) << C[1];
}

// A tree with names that sort differently by bytes and without case, a hidden file, links to a
// file, to a directory and to nothing, and a directory whose name matches the pattern.
class FindFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_STREQ(std::setlocale(LC_COLLATE, nullptr), "C");
        for (const char* Sub : {"sub", "sub/deep", "dir.wav"}) std::filesystem::create_directory(Dir / Sub);
        for (const char* F : {"b.wav", "A.wav", "c.txt", ".x.wav", "a.txt", "B.txt", "take1.wav", "take2.wav",
                              "take3.wav", "sub/d.wav", "sub/deep/e.wav", "dir.wav/f.wav"})
            testsupport::WriteText(Dir / F, "x");
        ASSERT_EQ(::symlink("b.wav", (Dir / "link.wav").c_str()), 0);
        ASSERT_EQ(::symlink("sub", (Dir / "dirlink.wav").c_str()), 0);
        ASSERT_EQ(::symlink("nowhere", (Dir / "dangling.wav").c_str()), 0);
        Root = vx::ExpandFileName(Dir.Path() + "/");
    }
    // FindFiles appends: the entry already in the list stays first.
    Names Find(const std::string& Wanted, bool Recurse, bool RelativeNames = false, bool DirsOnly = false) {
        Names List{"keep"};
        const int64_t Count = vx::FindFiles(Wanted, vx::faAnyFile & ~vx::faDirectory, RelativeNames, Recurse, DirsOnly, List);
        EXPECT_EQ(Count, static_cast<int64_t>(List.size()) - 1);
        EXPECT_EQ(List.front(), "keep");
        List.erase(List.begin());
        return List;
    }
    static Names Prefixed(const std::string& Prefix, const Names& List) {
        Names Out;
        for (const std::string& N : List) Out.push_back(Prefix + N);
        return Out;
    }

    testsupport::TempDir Dir;
    std::string Root;
};

TEST_F(FindFilesTest, AbsoluteSpecifications) {
    const Names Flat = {".x.wav", "A.wav", "b.wav", "dangling.wav", "dirlink.wav", "link.wav",
                        "take1.wav", "take2.wav", "take3.wav"};
    const Names Deep = {".x.wav",      "A.wav",     "b.wav",     "dangling.wav", "dir.wav/f.wav",
                        "dirlink.wav", "link.wav",  "sub/d.wav", "sub/deep/e.wav", "take1.wav",
                        "take2.wav",   "take3.wav"};
    struct Case {
        std::string Wanted;
        bool Recurse;
        Names Found; // relative to Root
    };
    const Case Cases[] = {
        {"*.wav", false, Flat},
        {"*.wav", true, Deep},
        {"*.txt", false, {"a.txt", "B.txt", "c.txt"}},
        {"take[12].wav", false, {"take1.wav", "take2.wav"}},
        {"b.wav", false, {"b.wav"}},
        {"sub/../b.wav", false, {"b.wav"}},
        {"sub/./deep//e.wav", false, {"sub/deep/e.wav"}},
        {"*.WAV", false, {}},
        {"nothere.wav", false, {}},
        {"missing/*.wav", true, {}},
        {"sub", false, {}},
        {"sub/", true, {}},
        {"dir.wav", false, {}},
        {"dirlink.wav/", false, {}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Wanted + (C.Recurse ? " (recursive)" : ""));
        EXPECT_EQ(Find(Root + C.Wanted, C.Recurse), Prefixed(Root, C.Found));
    }
    EXPECT_EQ(Find(Root + "*.wav", true, true), Deep);
    EXPECT_EQ(Find(Root + "sub/*.wav", true, true), (Names{"d.wav", "deep/e.wav"}));
    EXPECT_EQ(Find(Root + "*", true, false, true), Names{});
}

TEST_F(FindFilesTest, RelativeSpecificationsUseTheWorkingDirectory) {
    inprocess::ChdirGuard Here(Root + "sub");
    ASSERT_TRUE(Here.Ok());
    const std::string Cwd = vx::CurrentDir() + "/";
    EXPECT_EQ(Find("*.wav", false), Names{Cwd + "d.wav"});
    EXPECT_EQ(Find("*.wav", true), (Names{Cwd + "d.wav", Cwd + "deep/e.wav"}));
    EXPECT_EQ(Find("deep/*.wav", true, true), Names{"e.wav"});
    EXPECT_EQ(Find("deep/../d.wav", false), Names{Cwd + "d.wav"});
    const std::string Up = vx::ExpandFileName(Cwd + "../");
    EXPECT_EQ(Find("../take?.wav", false), Prefixed(Up, {"take1.wav", "take2.wav", "take3.wav"}));
    EXPECT_EQ(Find("../link.wav", true), Names{Up + "link.wav"});
}

TEST(FindFiles, NamesDifferingOnlyInCaseAreBothFoundButMatchedExactly) {
    testsupport::TempDir Dir;
    testsupport::WriteText(Dir / "Case.wav", "x");
    testsupport::WriteText(Dir / "case.wav", "x");
    Names List;
    EXPECT_EQ(vx::FindFiles(Dir / "case.wav", 47, true, false, false, List), 1);
    EXPECT_EQ(List, Names{"case.wav"});
    List.clear();
    EXPECT_EQ(vx::FindFiles(Dir / "?ase.wav", 47, true, false, false, List), 2);
    std::sort(List.begin(), List.end()); // their order among themselves is not fixed
    EXPECT_EQ(List, (Names{"Case.wav", "case.wav"}));
}

} // namespace
