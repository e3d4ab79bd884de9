// Test helpers: temporary folders, file access, and running a program as a child with its
// output, exit status and optional limits captured.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return FPath; }
    std::string operator/(const std::string& Name) const { return FPath + "/" + Name; }

private:
    std::string FPath;
};

void WriteFile(const std::string& Path, const Bytes& Content);
Bytes ReadFile(const std::string& Path);

struct RunResult {
    std::string Out, Err;
    int Status = -1; // exit status, or -1 when killed by a signal
    int Signal = 0;  // the signal that ended the child, if any
};

struct RunOptions {
    std::string Cwd;              // working directory of the child (default: unchanged)
    int64_t FileSizeLimit = -1;   // RLIMIT_FSIZE in bytes, if >= 0
    std::optional<std::string> ArgZero; // argument zero (default: the program path)
    std::vector<std::string> Env; // extra NAME=value entries
    int TimeoutSeconds = 120;     // the child is killed after this
};

// Runs Program with Args (not through a shell) and captures both streams.
RunResult Run(const std::string& Program, const std::vector<std::string>& Args, const RunOptions& Options = {});

} // namespace testsupport
