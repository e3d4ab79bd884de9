// Running framework code in the test process: a fake command line, and a capture of standard
// output, standard error and the exit status of code that may end the process.
#pragma once

#include "vxSystem.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace inprocess {

// Thrown by the exit handler instead of ending the test process.
struct ExitCalled {
    int Code;
};

[[noreturn]] inline void ThrowExit(int Code) { throw ExitCalled{Code}; }

// Process start-up as if the program had been run as Arg0 with Words.
inline void Startup(const std::vector<std::string>& Words, const std::string& Arg0 = "./tool") {
    std::vector<const char*> Argv{Arg0.c_str()};
    for (const std::string& W : Words) Argv.push_back(W.c_str());
    vx::vxSystemStartup(static_cast<int>(Argv.size()), Argv.data());
}

struct Captured {
    std::string Out;
    std::string Err;
    int Code = -1; // the exit status, or -1 when the body returned
};

namespace detail {

inline std::string ReadBack(std::FILE* File) {
    std::string Text;
    if (File == nullptr) return Text;
    std::rewind(File);
    char Buffer[4096];
    for (size_t N; (N = std::fread(Buffer, 1, sizeof Buffer, File)) > 0;) Text.append(Buffer, N);
    std::fclose(File);
    return Text;
}

} // namespace detail

// Runs Body with both streams captured and the process exit turned into ExitCalled.
template <class F>
Captured Capture(F&& Body) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* Files[2] = {std::tmpfile(), std::tmpfile()};
    const int Saved[2] = {::dup(1), ::dup(2)};
    for (int I = 0; I < 2; ++I)
        if (Files[I] != nullptr) ::dup2(::fileno(Files[I]), I + 1);
    const auto Restore = [&] {
        std::fflush(stdout);
        std::fflush(stderr);
        for (int I = 0; I < 2; ++I) ::dup2(Saved[I], I + 1), ::close(Saved[I]);
        vx::SetExitHandler(nullptr);
    };
    vx::SetExitHandler(&ThrowExit);
    Captured R;
    try {
        Body();
    } catch (const ExitCalled& E) {
        R.Code = E.Code;
    } catch (...) {
        Restore();
        detail::ReadBack(Files[0]);
        detail::ReadBack(Files[1]);
        throw;
    }
    Restore();
    R.Out = detail::ReadBack(Files[0]);
    R.Err = detail::ReadBack(Files[1]);
    return R;
}

// Changes the working directory and changes it back when destroyed.
class ChdirGuard {
public:
    explicit ChdirGuard(const std::string& Dir) : FSaved(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        FOk = FSaved >= 0 && ::chdir(Dir.c_str()) == 0;
    }
    ~ChdirGuard() {
        if (FSaved < 0) return;
        if (::fchdir(FSaved) != 0) std::abort(); // later tests would run in the wrong place
        ::close(FSaved);
    }
    ChdirGuard(const ChdirGuard&) = delete;
    ChdirGuard& operator=(const ChdirGuard&) = delete;
    bool Ok() const { return FOk; }

private:
    int FSaved;
    bool FOk = false;
};

} // namespace inprocess
