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
        {2.0, 2}, {2.25, 3}, {-1.5, 0}, {-2.0, -2}, {-0.0, 0}, {-0.1, 1}, {1e-300, 1},
        {4503599627370495.5, 4503599627370496}, {-9.2e18, -9200000000000000000},
        {-9223372036854775808.0, INT64_MIN}, {1e300, INT64_MAX}, {-1e300, INT64_MIN},
        {std::numeric_limits<double>::quiet_NaN(), 0}};
    for (const auto& [X, Expected] : Cases) EXPECT_EQ(vx::RoundUp(X), Expected) << X;
    (void)vx::RoundUp(-std::numeric_limits<double>::infinity()); // no undefined conversion
}

TEST(Paths, ExpandResolvesTextuallyAndRelativePathsClimb) {
    const std::pair<const char*, const char*> Expanded[] = {
        {"/a/./b//c", "/a/b/c"}, {"/a/b/../c", "/a/c"}, {"/a/b/..", "/a/"}, {"/a/b/.", "/a/b/"},
        {"/a/", "/a/"},          {"/..", "/"},          {"//x/../../y", "/y"}};
    for (const auto& [In, Out] : Expanded) EXPECT_EQ(vx::ExpandFileName(In), Out) << In;

    testsupport::TempDir Dir;
    inprocess::ChdirGuard Here(Dir.Path());
    const std::string Cwd = vx::CurrentDir();
    ASSERT_TRUE(Here.Ok() && !Cwd.empty() && Cwd.back() != '/');
    for (const auto& [In, Out] : {std::pair{"x.wav", "/x.wav"}, {"sub/../x.wav", "/x.wav"}, {"./", "/"}, {"", "/"}})
        EXPECT_EQ(vx::ExpandFileName(In), Cwd + Out) << In;

    const char* const Relative[][3] = {
        {"/a/b/", "/a/b/c.wav", "c.wav"},     {"/a/b/", "/a/b/sub/c.wav", "sub/c.wav"}, {"/a/b/", "/a/c.wav", "../c.wav"},
        {"/a/b/", "/x/y.wav", "../../x/y.wav"}, {"/a/b/", "/a/bb/c.wav", "../bb/c.wav"}, {"/", "/c.wav", "c.wav"},
        {"//", "/d/c.wav", "d/c.wav"}};
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
        for (const auto& [To, Link] : {std::pair{"b.wav", "link.wav"}, {"sub", "dirlink.wav"}, {"nowhere", "dangling.wav"}})
            ASSERT_EQ(::symlink(To, (Dir / Link).c_str()), 0);
        Root = vx::ExpandFileName(Dir.Path() + "/");
    }
    // FindFiles appends: the entry already in the list stays first.
    static Names Find(const std::string& Wanted, bool Recurse, bool RelativeNames = false, bool DirsOnly = false) {
        Names List{"keep"};
        const int64_t Count = vx::FindFiles(Wanted, vx::faAnyFile & ~vx::faDirectory, RelativeNames, Recurse, DirsOnly, List);
        EXPECT_EQ(Count, static_cast<int64_t>(List.size()) - 1);
        EXPECT_EQ(List.front(), "keep");
        return Names(List.begin() + 1, List.end());
    }
    static Names Prefixed(const std::string& Prefix, Names List) {
        for (std::string& N : List) N = Prefix + N;
        return List;
    }

    testsupport::TempDir Dir;
    std::string Root;
};

TEST_F(FindFilesTest, AbsolutePatterns) {
    const Names Flat = {".x.wav", "A.wav", "b.wav", "dangling.wav", "dirlink.wav", "link.wav", "take1.wav",
                        "take2.wav", "take3.wav"};
    const Names Deep = {".x.wav", "A.wav", "b.wav", "dangling.wav", "dir.wav/f.wav", "dirlink.wav", "link.wav",
                        "sub/d.wav", "sub/deep/e.wav", "take1.wav", "take2.wav", "take3.wav"};
    const struct { std::string Wanted; bool Recurse; Names Found; /* relative to Root */ } Cases[] = {
        {"*.wav", false, Flat}, {"*.wav", true, Deep}, {"*.txt", false, {"a.txt", "B.txt", "c.txt"}},
        {"take[12].wav", false, {"take1.wav", "take2.wav"}}, {"sub/../b.wav", false, {"b.wav"}},
        {"sub/./deep//e.wav", false, {"sub/deep/e.wav"}}, {"*.WAV", false, {}}, {"missing/*.wav", true, {}},
        {"sub", false, {}}, {"sub/", true, {}}, {"dir.wav", false, {}}, {"dirlink.wav/", false, {}},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(Find(Root + C.Wanted, C.Recurse), Prefixed(Root, C.Found)) << C.Wanted << C.Recurse;
    EXPECT_EQ(Find(Root + "*.wav", true, true), Deep);
    EXPECT_EQ(Find(Root + "sub/*.wav", true, true), (Names{"d.wav", "deep/e.wav"}));
    EXPECT_EQ(Find(Root + "*", true, false, true), Names{});
}

TEST_F(FindFilesTest, RelativePatternsUseTheWorkingDirectory) {
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

TEST_F(FindFilesTest, NamesDifferingOnlyInCaseAreBothFoundButMatchedExactly) {
    for (const char* F : {"sub/Case.txt", "sub/case.txt"}) testsupport::WriteText(Dir / F, "x");
    EXPECT_EQ(Find(Root + "sub/case.txt", false, true), Names{"case.txt"});
    Names Both = Find(Root + "sub/?ase.txt", false, true);
    std::sort(Both.begin(), Both.end()); // their order among themselves is not fixed
    EXPECT_EQ(Both, (Names{"Case.txt", "case.txt"}));
}

} // namespace
