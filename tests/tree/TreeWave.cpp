// Writes one PCM WAVE file for the archive-driver tests and measurements: a tone whose loudness
// jumps between quiet, medium and loud stretches, so the gain moves and some files overload.
// Usage: sonolift-tree-wave OUT FRAMES RATE CHANNELS BITS SEED
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

int main(int argc, char** argv) {
    auto Arg = [argv](int I) { return std::strtoull(argv[I], nullptr, 10); };
    if (argc != 7 || Arg(3) == 0 || Arg(4) == 0 || (Arg(5) != 8 && Arg(5) != 16 && Arg(5) != 24) ||
        Arg(2) * Arg(4) * Arg(5) / 8 > 0xFFFFFFFFu - 36) {
        std::fputs("usage: sonolift-tree-wave OUT FRAMES RATE CHANNELS BITS(8|16|24) SEED\n", stderr);
        return 2;
    }
    const uint64_t Frames = Arg(2), Rate = Arg(3), Channels = Arg(4), Bits = Arg(5), Width = Bits / 8;
    const uint64_t DataBytes = Frames * Channels * Width;
    std::vector<uint8_t> B;
    auto Put = [&B](uint64_t V, uint64_t N) { for (uint64_t I = 0; I < N; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I))); };
    auto Tag = [&B](const char* T) { B.insert(B.end(), T, T + 4); };
    Tag("RIFF"); Put(36 + DataBytes, 4); Tag("WAVE");
    Tag("fmt "); Put(16, 4); Put(1, 2); Put(Channels, 2); Put(Rate, 4); Put(Rate * Channels * Width, 4);
    Put(Channels * Width, 2); Put(Bits, 2);
    Tag("data"); Put(DataBytes, 4);

    // A small LCG picks each stretch's length (0.05 to 0.5 s), loudness and pitch.
    constexpr uint64_t Mul = 6364136223846793005ULL, Inc = 1442695040888963407ULL;
    uint64_t State = Arg(6) * Mul + Inc;
    auto Next = [&State] { return static_cast<uint32_t>((State = State * Mul + Inc) >> 33); };
    const double Levels[] = {0.004, 0.05, 0.3, 0.7, 1.2};
    const double Full = static_cast<double>((uint64_t{1} << (Bits - 1)) - 1);
    uint64_t Left = 0;
    double Level = 0, Step = 0, Phase = 0;
    for (uint64_t F = 0; F < Frames; ++F, --Left) {
        if (Left == 0) {
            Left = Rate / 20 + Next() % (Rate / 2 + 1);
            Level = Levels[Next() % 5];
            Step = 2 * std::numbers::pi * (110.0 + Next() % 900) / static_cast<double>(Rate);
        }
        Phase += Step;
        const double V = std::clamp(Level * std::sin(Phase), -1.0, 1.0) * Full;
        // 8-bit samples are unsigned, the others signed little-endian
        for (uint64_t C = 0; C < Channels; ++C)
            Put(static_cast<uint64_t>(static_cast<int64_t>(C % 2 ? -V : V) + (Bits == 8 ? 128 : 0)), Width);
    }
    std::FILE* Out = std::fopen(argv[1], "wb");
    if (!Out || std::fwrite(B.data(), 1, B.size(), Out) != B.size() || std::fclose(Out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
