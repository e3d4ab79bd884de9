// Test helpers: WAVE files built byte by byte, temporary folders, file access, and running a
// program as a child with captured output, exit status and optional limits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& B, uint16_t V); // little-endian

// Builds a RIFF/WAVE file chunk by chunk. Sizes are written as given, so damaged files can be
// made as easily as good ones.
class WaveBuilder {
public:
    WaveBuilder& Chunk(const char* Tag, const Bytes& Payload) { return ChunkWithSize(Tag, int32_t(Payload.size()), Payload); }
    WaveBuilder& ChunkWithSize(const char* Tag, int32_t Size, const Bytes& Payload);
    WaveBuilder& Fmt(uint16_t Channels, uint32_t Rate, uint16_t Bits);
    WaveBuilder& FmtRaw(uint16_t FormatTag, uint16_t Channels, uint32_t Rate, uint32_t ByteRate,
                        uint16_t BlockAlign, uint16_t Bits);
    WaveBuilder& Data(const std::vector<int16_t>& Samples);
    WaveBuilder& Raw(const Bytes& Tail); // bytes appended as they are
    // The file: "RIFF", RiffSize (default: length - 8), "WAVE", the chunks.
    Bytes Build() const { return Build(int32_t(FBody.size() + 4)); }
    Bytes Build(int32_t RiffSize) const;

private:
    Bytes FBody;
};

// A 16-bit PCM file with one fmt and one data chunk.
Bytes PcmWave(const std::vector<int16_t>& Samples, uint16_t Channels = 1, uint32_t Rate = 44100);

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
inline void WriteText(const std::string& Path, const std::string& Content) { WriteFile(Path, Bytes(Content.begin(), Content.end())); }
Bytes ReadFile(const std::string& Path);
// Hex digest (FNV-1a 64) of a file's bytes, for before/after comparisons.
std::string Digest(const std::string& Path);

struct RunResult {
    std::string Out, Err;
    int Status = -1; // exit status, or -1 when killed by a signal
    int Signal = 0;  // the signal that ended the child, if any
};

struct RunOptions {
    std::string Cwd;              // working directory of the child (default: unchanged)
    int64_t FileSizeLimit = -1;   // RLIMIT_FSIZE in bytes, if >= 0
    int64_t OpenFilesLimit = -1;  // RLIMIT_NOFILE, if >= 0
    std::string ArgZero;          // argument zero (default: the program path)
    std::vector<std::string> Env; // extra NAME=value entries
    int TimeoutSeconds = 120;     // the child is killed after this
};

// Runs Program with Args (not through a shell) and captures both streams.
RunResult Run(const std::string& Program, const std::vector<std::string>& Args, const RunOptions& Options = {});
// The built sonolift binary, and running it.
inline std::string SonoliftBinary() { return SONOLIFT_BINARY; }
inline RunResult RunSonolift(const std::vector<std::string>& Args, const RunOptions& Options = {}) {
    return Run(SonoliftBinary(), Args, Options);
}

// The overload lines of one sample: position, sample and each value it was amplified to.
inline std::string OverloadLines(int64_t Pos, int64_t S, const std::vector<int64_t>& Values) {
    std::string T;
    for (int64_t V : Values)
        T += "Overload " + std::to_string(Pos) + " " + std::to_string(S) + " " + std::to_string(V) + "\n";
    return T;
}

} // namespace testsupport
