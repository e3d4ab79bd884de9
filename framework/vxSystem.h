// Process-wide program information, the split argument list, the process exit path and the
// small text helpers of the console framework. Knows nothing of switches or of audio.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace vx {

// The one failure class of the system: a complete message and, where the user can do
// something about it, a one-line hint.
class EvxError : public std::exception {
public:
    explicit EvxError(std::string Message, std::string Hint = {}) : FMessage(std::move(Message)), FHint(std::move(Hint)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    const std::string& Hint() const noexcept { return FHint; }

private:
    std::string FMessage, FHint;
};

// Texts printed by the help and version texts; an empty field is not set.
struct TProgramInfo {
    std::string Company;
    std::string Package;
    std::string Name;
    std::string Version;
    std::string Year;
    std::string EMail;
    std::string Author;
    std::string Usage;
    std::string Description;
    std::string Epilogue;
    std::string Rights;
};

extern TProgramInfo ProgramInfo;

// The framework's start-up: builds the argument list from the process arguments, then assigns
// the program-information defaults. Must run before any other start-up code. A tool whose
// values may be negative keeps such numbers whole (see SplitArguments).
void vxSystemStartup(int argc, const char* const* argv, bool KeepNegativeNumbers = false);

// Splits clusters of short switches: -vr gives -v and -r, -v+r- gives -v+ and -r-. With
// KeepNegativeNumbers a word of '-' and a digit or '.' (-16, -.5) stays one word, a value.
std::vector<std::string> SplitArguments(const std::vector<std::string>& Words, bool KeepNegativeNumbers = false);

// Number of words of the split argument list.
int64_t ArgCount();
// Word Index of the list, counted from 1; 0 is argument zero; past the end an empty string.
std::string ArgStr(int64_t Index);

// Argument zero as the process received it, or the running executable's resolved path.
std::string ExePath();
// The text after the last '/' of a path.
std::string ExtractFileName(const std::string& Path);

// S padded on the left with Ch up to Width characters; never cut.
std::string PadLeft(const std::string& S, char Ch, int Width);
// Decimal text of Value (minus sign included) padded on the left with '0'.
std::string ZeroPad(int64_t Value, int Width);

// Writes text to standard output or standard error; each complete line is flushed at once.
void WriteOut(const std::string& Text);
void WriteErr(const std::string& Text);
// Flushes standard output now (for a line written in pieces).
void FlushOut();

// How the process ends. The default flushes both streams and exits; a test or a fuzz target
// may install a handler that throws instead. A handler must not return.
using TExitHandler = void (*)(int Code);
void SetExitHandler(TExitHandler Handler);
[[noreturn]] void ProcessExit(int Code);

} // namespace vx
