#include "InProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using Words = std::vector<std::string>;

TEST(SplitArguments, SplitsShortClustersOnly) {
    struct Case {
        Words In;
        Words Out;
    };
    const Case Cases[] = {
        {{"-vr"}, {"-v", "-r"}},
        {{"-v+r-"}, {"-v+", "-r-"}},
        {{"-12"}, {"-1", "-2"}},
        {{"-v-r"}, {"-v-", "-r"}},
        {{"-+"}, {"-+"}},
        {{"-"}, {"-"}},
        {{"--"}, {"--"}},
        {{"--rate+"}, {"--rate+"}},
        {{"-a b"}, {"-a b"}},        // a blank keeps the word whole
        {{"x -vr"}, {"x -vr"}},
        {{"file-"}, {"file-"}},
        {{""}, {""}},
        {{"-v", "a", "-ab"}, {"-v", "a", "-a", "-b"}},
        {{}, {}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.In.empty() ? "(none)" : C.In[0]);
        EXPECT_EQ(vx::SplitArguments(C.In), C.Out);
    }
}

TEST(ArgumentList, CountsSplitWordsAndEndsInEmptyText) {
    inprocess::Startup({"-vr", "x y", "--rate"}, "./prog");
    ASSERT_EQ(vx::ArgCount(), 4);
    EXPECT_EQ(vx::ArgStr(0), "./prog");
    EXPECT_EQ(vx::ArgStr(1), "-v");
    EXPECT_EQ(vx::ArgStr(2), "-r");
    EXPECT_EQ(vx::ArgStr(3), "x y");
    EXPECT_EQ(vx::ArgStr(4), "--rate");
    EXPECT_EQ(vx::ArgStr(5), "");
    EXPECT_EQ(vx::ArgStr(-1), "");
    EXPECT_EQ(vx::ExePath(), "./prog");
    EXPECT_EQ(vx::ProgramInfo.Name, "./prog");
    EXPECT_EQ(vx::ProgramInfo.Usage, "[OPTION]");

    // A second start-up replaces the list instead of appending to it.
    inprocess::Startup({}, "/bin/other");
    EXPECT_EQ(vx::ArgCount(), 0);
    EXPECT_EQ(vx::ArgStr(1), "");
}

TEST(ArgumentList, MissingArgumentZeroFallsBackToTheRunningExecutable) {
    char Self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", Self, sizeof Self - 1), 0);
    const char* Empty[] = {"", "-v"};
    vx::vxSystemStartup(2, Empty);
    EXPECT_EQ(vx::ExePath(), Self);
    EXPECT_EQ(vx::ArgCount(), 1);
    vx::vxSystemStartup(0, nullptr);
    EXPECT_EQ(vx::ArgStr(0), Self);
    EXPECT_EQ(vx::ArgCount(), 0);
}

TEST(TextHelpers, PadAndFileNamePart) {
    EXPECT_EQ(vx::PadLeft("7", '0', 3), "007");
    EXPECT_EQ(vx::PadLeft("1234", '0', 3), "1234");
    EXPECT_EQ(vx::PadLeft("ab", '.', 2), "ab");
    EXPECT_EQ(vx::PadLeft("", ' ', 2), "  ");
    EXPECT_EQ(vx::PadLeft("x", ' ', -4), "x");
    EXPECT_EQ(vx::ZeroPad(-5, 4), "00-5");
    EXPECT_EQ(vx::ZeroPad(0, 1), "0");
    EXPECT_EQ(vx::ZeroPad(12, 11), "00000000012");
    EXPECT_EQ(vx::ZeroPad(INT64_MIN, 0), "-9223372036854775808");
    EXPECT_EQ(vx::ExtractFileName("/a/b/sonolift"), "sonolift");
    EXPECT_EQ(vx::ExtractFileName("sonolift"), "sonolift");
    EXPECT_EQ(vx::ExtractFileName("dir/"), "");
}

} // namespace
