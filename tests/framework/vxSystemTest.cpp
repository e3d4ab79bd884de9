#include "InProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using Words = std::vector<std::string>;

TEST(SplitArguments, SplitsShortClustersOnly) {
    const std::pair<Words, Words> Cases[] = {
        {{"-vr"}, {"-v", "-r"}}, {{"-v+r-"}, {"-v+", "-r-"}}, {{"-12"}, {"-1", "-2"}}, {{"-v-r"}, {"-v-", "-r"}},
        {{"-+"}, {"-+"}},        {{"-"}, {"-"}},              {{"--"}, {"--"}},         {{"--rate+"}, {"--rate+"}},
        {{"-a b"}, {"-a b"}}, // a blank keeps the word whole
        {{"x -vr"}, {"x -vr"}},  {{"file-"}, {"file-"}},      {{""}, {""}},
        {{"-v", "a", "-ab"}, {"-v", "a", "-a", "-b"}},
    };
    for (const auto& [In, Out] : Cases) EXPECT_EQ(vx::SplitArguments(In), Out) << In[0];
}

TEST(ArgumentList, CountsSplitWordsAndEndsInEmptyText) {
    inprocess::Startup({"-vr", "x y", "--rate"}, "./prog");
    EXPECT_EQ(vx::ArgCount(), 4);
    for (int I = -1; I <= 5; ++I)
        EXPECT_EQ(vx::ArgStr(I), (Words{"", "./prog", "-v", "-r", "x y", "--rate", ""}[I + 1])) << I;
    EXPECT_EQ(vx::ExePath(), "./prog");
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
    EXPECT_EQ(vx::PadLeft("1234", '0', 3) + vx::PadLeft("", ' ', 2) + vx::PadLeft("x", ' ', -4), "1234  x");
    EXPECT_EQ(vx::ZeroPad(-5, 4) + "|" + vx::ZeroPad(12, 11), "00-5|00000000012");
    EXPECT_EQ(vx::ZeroPad(INT64_MIN, 0), "-9223372036854775808");
    EXPECT_EQ(vx::ExtractFileName("/a/b/sonolift") + "|" + vx::ExtractFileName("dir/"), "sonolift|");
}

} // namespace
