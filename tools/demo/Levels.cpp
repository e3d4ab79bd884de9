// Prints the peak level of every half second of one or two 16-bit WAVE files as a text bar
// chart, side by side, so the effect of levelling can be seen in a terminal.
#include "WaveFiles.h"
#include "vxSystem.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr int BarWidth = 24;
constexpr double FloorDb = -60.0; // an empty bar; each mark is 2.5 dB above this
constexpr int64_t ChunkFrames = 4096;

// Peak magnitudes of consecutive half seconds, over all channels.
std::vector<int64_t> HalfSecondPeaks(const std::string& Path) {
    wave::TWaveIO In(Path, wave::TWaveIOMode::wioRead);
    const wave::TWaveFormat& F = In.Format();
    if (F.FormatTag != 1 || F.BitsPerSample != 16 || F.Channels == 0 || F.BlockAlign < 2 * F.Channels)
        throw vx::EvxError(Path + " is not a 16-bit PCM wave file");
    const int64_t Align = F.BlockAlign;
    const int64_t Frames = std::max<int64_t>(In.DataSize(), 0) / Align;
    const int64_t Window = std::max<int64_t>(F.SamplesPerSec / 2, 1);
    std::vector<int64_t> Peaks(static_cast<size_t>((Frames + Window - 1) / Window), 0);
    std::vector<uint8_t> Block(static_cast<size_t>(ChunkFrames * Align));
    for (int64_t First = 0; First < Frames; First += ChunkFrames) {
        const int64_t N = std::min(ChunkFrames, Frames - First);
        In.SetPosition(First * Align);
        In.ReadWaveData(Block.data(), static_cast<int32_t>(N * Align));
        for (int64_t I = 0; I < N; ++I) {
            int64_t& Peak = Peaks[static_cast<size_t>((First + I) / Window)];
            for (int64_t C = 0; C < F.Channels; ++C) {
                const int64_t S = wave::GetLESigned(Block.data() + I * Align + 2 * C, 2);
                Peak = std::max(Peak, S < 0 ? -S : S);
            }
        }
    }
    In.Release();
    return Peaks;
}

// "-12.3 #######" padded to one column; a missing row is blank.
std::string Cell(const std::vector<int64_t>& Peaks, size_t Row) {
    std::string Out(6 + 1 + BarWidth, ' ');
    if (Row >= Peaks.size()) return Out;
    if (Peaks[Row] == 0) return Out.replace(0, 7, "  -inf ");
    const double Db = 20.0 * std::log10(static_cast<double>(Peaks[Row]) / 32767.0);
    char Text[16];
    std::snprintf(Text, sizeof Text, "%6.1f ", Db);
    const int Marks = std::clamp(static_cast<int>(std::floor((Db - FloorDb) / (-FloorDb / BarWidth))), 0, BarWidth);
    return Out.replace(0, 7, Text, 7).replace(7, static_cast<size_t>(Marks), static_cast<size_t>(Marks), '#');
}

std::string Label(const std::string& Path) {
    std::string Name = Path.substr(Path.rfind('/') + 1);
    if (Name.size() > static_cast<size_t>(6 + 1 + BarWidth)) Name.resize(6 + 1 + BarWidth);
    Name.resize(6 + 1 + BarWidth, ' ');
    return Name;
}

std::string TrimRight(std::string S) {
    while (!S.empty() && S.back() == ' ') S.pop_back();
    return S;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s FILE.wav [LEVELLED.wav]\n", argc > 0 ? argv[0] : "demo-levels");
        return 2;
    }
    std::vector<std::vector<int64_t>> Columns;
    for (int I = 1; I < argc; ++I) {
        try {
            Columns.push_back(HalfSecondPeaks(argv[I]));
        } catch (const std::exception& E) {
            std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[I], E.what());
            return 1;
        }
    }
    std::printf("peak per half second in dBFS (each # is %.1f dB above %.0f dBFS)\n\n", -FloorDb / BarWidth, FloorDb);
    std::string Head = "  time  ";
    for (int I = 1; I < argc; ++I) Head += Label(argv[I]) + "   ";
    std::printf("%s\n", TrimRight(Head).c_str());
    size_t Rows = 0;
    for (const auto& C : Columns) Rows = std::max(Rows, C.size());
    for (size_t Row = 0; Row < Rows; ++Row) {
        char Time[16];
        std::snprintf(Time, sizeof Time, "%5.1fs  ", static_cast<double>(Row) / 2.0);
        std::string Line = Time;
        for (const auto& C : Columns) Line.append(Cell(C, Row)).append("   ");
        std::printf("%s\n", TrimRight(Line).c_str());
    }
    return 0;
}
