#include "vxSystem.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace vx {

TProgramInfo ProgramInfo;

namespace {

std::vector<std::string> Args; // Args[0] is argument zero, then the split words
TExitHandler ExitHandler = nullptr;

void WriteTo(std::FILE* Stream, const std::string& Text) {
    std::fwrite(Text.data(), 1, Text.size(), Stream);
    if (!Text.empty() && Text.back() == '\n') std::fflush(Stream);
}

std::string ResolvedExecutable() {
    std::string Buffer(4096, '\0');
    ssize_t N = ::readlink("/proc/self/exe", Buffer.data(), Buffer.size());
    if (N <= 0) return std::string();
    Buffer.resize(static_cast<size_t>(N));
    return Buffer;
}

} // namespace

std::vector<std::string> SplitArguments(const std::vector<std::string>& Words, bool KeepNegativeNumbers) {
    std::vector<std::string> Result;
    for (const std::string& Word : Words) {
        bool HasBlank = Word.find(' ') != std::string::npos;
        const bool Number = KeepNegativeNumbers && Word.size() > 1 && Word[0] == '-' &&
                            ((Word[1] >= '0' && Word[1] <= '9') || Word[1] == '.');
        if (HasBlank || Number || Word.rfind("--", 0) == 0 || Word.empty() || Word[0] != '-') {
            Result.push_back(Word);
            continue;
        }
        if (Word.size() == 1) {
            Result.push_back(Word);
            continue;
        }
        std::string Rest = Word.substr(1);
        while (!Rest.empty()) {
            size_t Take = (Rest.size() >= 2 && (Rest[1] == '-' || Rest[1] == '+')) ? 2 : 1;
            // Built by appending: GCC 12 at -O2 reports a false -Wrestrict for "-" + substr.
            std::string Piece(1, '-');
            Piece.append(Rest, 0, Take);
            Result.push_back(std::move(Piece));
            Rest.erase(0, Take);
        }
    }
    return Result;
}

void vxSystemStartup(int argc, const char* const* argv, bool KeepNegativeNumbers) {
    Args.clear();
    Args.push_back(argc > 0 && argv[0][0] != '\0' ? std::string(argv[0]) : ResolvedExecutable());
    std::vector<std::string> Words;
    for (int I = 1; I < argc; ++I) Words.emplace_back(argv[I]);
    for (std::string& Word : SplitArguments(Words, KeepNegativeNumbers)) Args.push_back(std::move(Word));

    ProgramInfo = TProgramInfo{};
    ProgramInfo.Company = "by a unknown company";
    ProgramInfo.Package = "nopackage";
    ProgramInfo.Name = ExePath();
    ProgramInfo.Version = "0.0.0";
    ProgramInfo.Year = "2003";
    ProgramInfo.EMail = "nobody@example.invalid";
    ProgramInfo.Author = "some people";
    ProgramInfo.Usage = "[OPTION]";
    ProgramInfo.Description = "A program.";
    ProgramInfo.Rights = "This is free software under the MIT license; it comes with NO WARRANTY.";
}

int64_t ArgCount() { return Args.empty() ? 0 : static_cast<int64_t>(Args.size()) - 1; }

std::string ArgStr(int64_t Index) {
    if (Index < 0 || Index >= static_cast<int64_t>(Args.size())) return std::string();
    return Args[static_cast<size_t>(Index)];
}

std::string ExePath() {
    if (!Args.empty() && !Args[0].empty()) return Args[0];
    return ResolvedExecutable();
}

std::string ExtractFileName(const std::string& Path) {
    size_t Slash = Path.rfind('/');
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

std::string PadLeft(const std::string& S, char Ch, int Width) {
    if (Width <= static_cast<int>(S.size())) return S;
    return std::string(static_cast<size_t>(Width) - S.size(), Ch) + S;
}

std::string ZeroPad(int64_t Value, int Width) { return PadLeft(std::to_string(Value), '0', Width); }

void WriteOut(const std::string& Text) { WriteTo(stdout, Text); }
void WriteErr(const std::string& Text) { WriteTo(stderr, Text); }
void FlushOut() { std::fflush(stdout); }

void SetExitHandler(TExitHandler Handler) { ExitHandler = Handler; }

void ProcessExit(int Code) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (ExitHandler != nullptr) ExitHandler(Code);
    std::exit(Code);
}

} // namespace vx
