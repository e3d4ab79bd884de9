// Running framework code in the test process: a fake command line, and a capture of standard
// output, standard error and the exit status of code that may end the process.
#pragma once

#include "vxSystem.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace inprocess {

// Thrown by the exit handler instead of ending the test process.
struct ExitCalled { int Code; };

// Process start-up as if the program had been run as Arg0 with Words.
inline void Startup(const std::vector<std::string>& Words, const std::string& Arg0 = "./tool") {
    std::vector<const char*> Argv{Arg0.c_str()};
    for (const std::string& W : Words) Argv.push_back(W.c_str());
    vx::vxSystemStartup(static_cast<int>(Argv.size()), Argv.data());
}

// Code is the exit status, or -1 when the body returned.
struct Captured { std::string Out, Err; int Code = -1; };

// Runs Body with both streams captured and the process exit turned into ExitCalled. The streams
// are restored on every way out, or a failing body would swallow the rest of the test output.
template <class F>
Captured Capture(F&& Body) {
    std::FILE* Files[2] = {std::tmpfile(), std::tmpfile()};
    const int Saved[2] = {::dup(1), ::dup(2)};
    std::fflush(nullptr);
    for (int I = 0; I < 2; ++I) ::dup2(::fileno(Files[I]), I + 1);
    vx::SetExitHandler([](int Code) { throw ExitCalled{Code}; });
    Captured C;
    std::exception_ptr Failure;
    try {
        Body();
    } catch (const ExitCalled& E) {
        C.Code = E.Code;
    } catch (...) {
        Failure = std::current_exception();
    }
    std::fflush(nullptr);
    vx::SetExitHandler(nullptr);
    std::string* Texts[2] = {&C.Out, &C.Err};
    for (int I = 0; I < 2; ++I) {
        ::dup2(Saved[I], I + 1), ::close(Saved[I]);
        std::rewind(Files[I]);
        for (int Ch; (Ch = std::fgetc(Files[I])) != EOF;) *Texts[I] += static_cast<char>(Ch);
        std::fclose(Files[I]);
    }
    if (Failure) std::rethrow_exception(Failure);
    return C;
}

// Changes the working directory and changes it back when destroyed (or ends the process: later
// tests would run in the wrong place).
class ChdirGuard {
public:
    explicit ChdirGuard(const std::string& Dir) : FSaved(std::filesystem::current_path()), FOk(::chdir(Dir.c_str()) == 0) {}
    ~ChdirGuard() { std::filesystem::current_path(FSaved); }
    bool Ok() const { return FOk; }

private:
    std::filesystem::path FSaved;
    bool FOk;
};

} // namespace inprocess
