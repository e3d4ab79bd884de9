// A file of the archive as the helper reads it: opened once, through the wave object, so it is
// walked exactly as sonolift walks it, with every chunk it passes kept for the assembly.
#pragma once

#include "LoudnessMeter.h"
#include "TreeFigures.h"
#include "WaveFiles.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tree {

using TBytes = std::vector<uint8_t>;

std::string TagOf(const wave::TChunkEntry& C);

class TSource {
public:
    // Raises the wave object's failures (why the file cannot be opened, without its name).
    // Window: the read-ahead window (0 for a file whose audio is not read).
    explicit TSource(const std::string& Name, size_t Window = wave::WaveIOWindow);

    const wave::TChunkEntry* Find(const char* Tag) const;
    // The payload of C, a window at a time, no further than the file goes.
    template <class TSink>
    void Copy(const wave::TChunkEntry& C, TSink&& Sink) {
        const int64_t Size = PayloadSize(C);
        TBytes B(256 * 1024);
        for (int64_t Done = 0; Done < Size;) {
            const size_t N = static_cast<size_t>(std::min<int64_t>(Size - Done, static_cast<int64_t>(B.size())));
            Wave.ReadFileBytes(C.Offset + 8 + Done, B.data(), N);
            Sink(B.data(), N);
            Done += static_cast<int64_t>(N);
        }
    }
    TBytes Read(const wave::TChunkEntry& C);
    // Bytes of C's payload that the file holds.
    int64_t PayloadSize(const wave::TChunkEntry& C) const;

    // The data chunk's payload handed to Figures, read once; nothing without a data chunk.
    void Pass(TFigures& Figures);
    // The SHA-256 of the audio data (the data chunk's payload) in hex; of nothing without one.
    std::string AudioDigest();
    int64_t Frames() const;
    double Seconds() const;
    // Why the header's sizes and the file disagree, for the manifest; empty when they agree.
    std::string Note() const;

    std::vector<wave::TChunkEntry> Walked;
    wave::TWaveIO Wave;
};

// Seconds as the manifest and the helper's info write them: six decimals, '.' in any locale.
std::string SecondsText(double Seconds);

// The manifest's loudness columns of L: integrated loudness, loudness range, true peak.
std::array<std::string, 3> LoudnessColumns(const sonoloud::TLoudness& L);

} // namespace tree
