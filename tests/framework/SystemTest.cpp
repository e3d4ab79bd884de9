// The framework's start-up and output as a process sees them: argument zero as received or, where
// there is none, the executable's path exactly; the program information reset at each start-up
// (the fuzz targets start up once per input); standard output flushed at a line's end only.
#include "vxSystem.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Executable() {
    char Path[4096];
    const ssize_t N = ::readlink("/proc/self/exe", Path, sizeof Path);
    return N > 0 ? std::string(Path, static_cast<size_t>(N)) : std::string();
}

TEST(System, ArgumentZeroAsReceivedOrTheExecutablesPath) {
    const char* const Named[] = {"prog", "-vr", nullptr};
    vx::vxSystemStartup(2, Named);
    EXPECT_EQ(vx::ArgStr(0), "prog");
    EXPECT_EQ(vx::ArgCount(), 2);
    const char* const Empty[] = {"", nullptr};
    vx::vxSystemStartup(1, Empty);
    EXPECT_EQ(vx::ArgStr(0), Executable());
    const char* const None[] = {nullptr};
    vx::vxSystemStartup(0, None);
    EXPECT_EQ(vx::ArgStr(0), Executable());
    EXPECT_EQ(vx::ArgCount(), 0);
}

TEST(System, StartUpResetsTheProgramInformation) {
    const char* const Args[] = {"prog", nullptr};
    vx::vxSystemStartup(1, Args);
    vx::ProgramInfo.Epilogue = "left from an earlier run";
    vx::vxSystemStartup(1, Args);
    EXPECT_EQ(vx::ProgramInfo.Epilogue, "");
}

TEST(System, OutputFlushedAtTheEndOfEachLine) {
    std::fflush(stdout);
    char Name[] = "/tmp/sonolift-out-XXXXXX";
    const int File = ::mkstemp(Name), Saved = ::dup(1);
    ASSERT_GE(File, 0);
    ::unlink(Name);
    ::dup2(File, 1);
    const auto Written = [&] {
        struct stat Info;
        return ::fstat(File, &Info) == 0 ? Info.st_size : -1;
    };
    vx::WriteOut("half");
    const off_t Half = Written();
    vx::WriteOut(" a line\n");
    const off_t Line = Written();
    ::dup2(Saved, 1);
    ::close(Saved), ::close(File);
    EXPECT_EQ(Half, 0);
    EXPECT_EQ(Line, 12);
}

} // namespace
