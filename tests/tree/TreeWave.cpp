// Writes one PCM WAVE file for the archive-driver tests and measurements: a tone whose loudness
// jumps between quiet, medium and loud stretches, so the gain moves and some files overload.
// Usage: sonolift-tree-wave OUT FRAMES RATE CHANNELS BITS SEED
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

namespace {

void Put(std::vector<uint8_t>& B, uint64_t V, int Bytes) {
    for (int I = 0; I < Bytes; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}

bool Number(const char* Text, uint64_t Max, uint64_t& Value) {
    char* End = nullptr;
    const unsigned long long V = std::strtoull(Text, &End, 10);
    if (End == Text || *End != '\0' || V > Max) return false;
    Value = V;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    uint64_t Frames = 0, Rate = 0, Channels = 0, Bits = 0, Seed = 0;
    if (argc != 7 || !Number(argv[2], 0x3FFFFFFF, Frames) || !Number(argv[3], 384000, Rate) || Rate == 0 ||
        !Number(argv[4], 8, Channels) || Channels == 0 || !Number(argv[5], 32, Bits) ||
        (Bits != 8 && Bits != 16 && Bits != 24) || !Number(argv[6], UINT32_MAX, Seed)) {
        std::fputs("usage: sonolift-tree-wave OUT FRAMES RATE CHANNELS BITS(8|16|24) SEED\n", stderr);
        return 2;
    }
    const uint64_t Width = Bits / 8;
    const uint64_t DataBytes = Frames * Channels * Width;
    if (DataBytes > 0xFFFFFFFFu - 36) {
        std::fputs("sonolift-tree-wave: too long\n", stderr);
        return 2;
    }
    std::vector<uint8_t> Head;
    Head.insert(Head.end(), {'R', 'I', 'F', 'F'});
    Put(Head, 36 + DataBytes, 4);
    Head.insert(Head.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put(Head, 16, 4);
    Put(Head, 1, 2);
    Put(Head, Channels, 2);
    Put(Head, Rate, 4);
    Put(Head, Rate * Channels * Width, 4);
    Put(Head, Channels * Width, 2);
    Put(Head, Bits, 2);
    Head.insert(Head.end(), {'d', 'a', 't', 'a'});
    Put(Head, DataBytes, 4);

    std::FILE* Out = std::fopen(argv[1], "wb");
    if (!Out) {
        std::perror(argv[1]);
        return 1;
    }
    bool Ok = std::fwrite(Head.data(), 1, Head.size(), Out) == Head.size();

    // A small LCG picks each stretch's length (0.05 to 0.5 s), loudness and pitch.
    uint64_t State = Seed * 6364136223846793005ULL + 1442695040888963407ULL;
    auto Next = [&State]() {
        State = State * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(State >> 33);
    };
    const double Levels[] = {0.004, 0.05, 0.3, 0.7, 1.2};
    const double Full = static_cast<double>((uint64_t{1} << (Bits - 1)) - 1);
    std::vector<uint8_t> Block;
    uint64_t Left = 0;
    double Level = 0, Step = 0, Phase = 0;
    for (uint64_t F = 0; F < Frames && Ok; ++F) {
        if (Left == 0) {
            Left = Rate / 20 + Next() % (Rate / 2 + 1);
            Level = Levels[Next() % 5];
            Step = 2 * std::numbers::pi * (110.0 + Next() % 900) / static_cast<double>(Rate);
        }
        --Left;
        Phase += Step;
        const double V = std::clamp(Level * std::sin(Phase), -1.0, 1.0) * Full;
        for (uint64_t C = 0; C < Channels; ++C) {
            const int64_t S = static_cast<int64_t>(C % 2 ? -V : V);
            // 8-bit samples are unsigned, the others signed little-endian
            Put(Block, Bits == 8 ? static_cast<uint64_t>(S + 128) : static_cast<uint64_t>(S), static_cast<int>(Width));
        }
        if (Block.size() >= 65536 || F + 1 == Frames) {
            Ok = std::fwrite(Block.data(), 1, Block.size(), Out) == Block.size();
            Block.clear();
        }
    }
    if (std::fclose(Out) != 0 || !Ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
