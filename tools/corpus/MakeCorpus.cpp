// Writes the seed corpus of the fuzz targets into a folder: process/ holds per-file inputs (8
// setting bytes, then a WAVE file: good files of several layouts and the odd headers a reader
// meets), cmdline/ holds command lines (words separated by 0 bytes).
//
//   sonolift_make_corpus <folder>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& B, uint32_t V) {
    B.push_back(static_cast<uint8_t>(V));
    B.push_back(static_cast<uint8_t>(V >> 8));
}
void Put32(Bytes& B, uint32_t V) {
    for (int I = 0; I < 4; ++I) B.push_back(static_cast<uint8_t>(V >> (8 * I)));
}
void Append(Bytes& B, const Bytes& More) { B.insert(B.end(), More.begin(), More.end()); }

Bytes Chunk(const char* Tag, uint32_t Size, const Bytes& Payload) {
    Bytes B(Tag, Tag + 4);
    Put32(B, Size);
    Append(B, Payload);
    return B;
}
Bytes Chunk(const char* Tag, const Bytes& Payload) { return Chunk(Tag, static_cast<uint32_t>(Payload.size()), Payload); }

Bytes FmtPayload(uint16_t Tag, uint16_t Channels, uint32_t Rate, uint16_t Align, uint16_t Bits) {
    Bytes B;
    Put16(B, Tag);
    Put16(B, Channels);
    Put32(B, Rate);
    Put32(B, Align * Rate);
    Put16(B, Align);
    Put16(B, Bits);
    return B;
}
Bytes Fmt(uint16_t Channels, uint32_t Rate, uint16_t Bits = 16) {
    return Chunk("fmt ", FmtPayload(1, Channels, Rate, static_cast<uint16_t>((Channels * Bits + 7) / 8), Bits));
}

// Samples of a tone whose loudness changes every Stretch samples: loud, quiet, near silent.
Bytes Tone(size_t Count, double Step, size_t Stretch = 150) {
    static const double Levels[] = {20000, 600, 30000, 40, 9000};
    Bytes B;
    for (size_t I = 0; I < Count; ++I) {
        const double V = Levels[(I / Stretch) % 5] * std::sin(static_cast<double>(I) * Step);
        Put16(B, static_cast<uint16_t>(static_cast<int16_t>(std::lround(V))));
    }
    return B;
}
Bytes Samples(std::initializer_list<int> List, size_t Repeat = 1) {
    Bytes B;
    for (size_t R = 0; R < Repeat; ++R)
        for (int S : List) Put16(B, static_cast<uint16_t>(static_cast<int16_t>(S)));
    return B;
}

// "RIFF", the given size (default: what follows it), "WAVE", the chunks.
Bytes Riff(const std::vector<Bytes>& Chunks, int64_t Size = -1) {
    Bytes Body{'W', 'A', 'V', 'E'};
    for (const Bytes& C : Chunks) Append(Body, C);
    Bytes B{'R', 'I', 'F', 'F'};
    Put32(B, static_cast<uint32_t>(Size < 0 ? static_cast<int64_t>(Body.size()) : Size));
    Append(B, Body);
    return B;
}

// The setting bytes of the per-file target: 0 keeps a default (see fuzz/FuzzHarness.cpp).
struct Settings {
    uint8_t Rate = 0, Up = 0, Down = 0, Low = 0, High = 0, Peak = 0, Min = 0, Max = 0;
    Bytes Encode() const { return {Rate, Up, Down, Low, High, Peak, Min, Max}; }
};

class Writer {
public:
    explicit Writer(std::filesystem::path Root) : FRoot(std::move(Root)) {
        std::filesystem::create_directories(FRoot / "process");
        std::filesystem::create_directories(FRoot / "cmdline");
    }
    void File(const std::string& Name, const Bytes& Wave, const Settings& S = {}) {
        Bytes B = S.Encode();
        Append(B, Wave);
        Write(FRoot / "process" / ("seed-" + Name), B);
    }
    void CommandLine(const std::string& Name, std::initializer_list<std::string> Words) {
        Bytes B;
        bool First = true;
        for (const std::string& W : Words) {
            if (!First) B.push_back(0);
            First = false;
            B.insert(B.end(), W.begin(), W.end());
        }
        Write(FRoot / "cmdline" / ("seed-" + Name), B);
    }

private:
    static void Write(const std::filesystem::path& Path, const Bytes& B) {
        std::ofstream F(Path, std::ios::binary | std::ios::trunc);
        F.write(reinterpret_cast<const char*>(B.data()), static_cast<std::streamsize>(B.size()));
        if (!F) throw std::runtime_error("cannot write " + Path.string());
    }
    std::filesystem::path FRoot;
};

void WriteFiles(Writer& W) {
    const Bytes Mono = Tone(700, 0.21);
    // Good files of several layouts.
    W.File("mono-44100", Riff({Fmt(1, 44100), Chunk("data", Mono)}));
    W.File("stereo-22050", Riff({Fmt(2, 22050), Chunk("data", Tone(900, 0.05))}));
    W.File("three-channels-8000", Riff({Fmt(3, 8000), Chunk("data", Tone(600, 0.4, 90))}));
    W.File("stereo-long", Riff({Fmt(2, 44100), Chunk("data", Tone(2000, 0.13, 400))}));
    W.File("silence", Riff({Fmt(1, 44100), Chunk("data", Bytes(400, 0))}));
    W.File("full-scale", Riff({Fmt(1, 8000), Chunk("data", Samples({32767, -32768, 32767, -32767, 0}, 60))}));
    W.File("positive-only", Riff({Fmt(1, 8000), Chunk("data", Samples({100, 30000, 5}, 100))}));
    W.File("empty-data", Riff({Fmt(2, 44100), Chunk("data", {})}));
    W.File("padded-frames", Riff({Chunk("fmt ", FmtPayload(1, 1, 44100, 4, 16)), Chunk("data", Tone(400, 0.3))}));
    W.File("partial-frame", Riff({Fmt(2, 44100), Chunk("data", Bytes(Mono.begin(), Mono.begin() + 403))}));
    W.File("data-before-fmt", Riff({Chunk("data", Mono), Fmt(1, 44100)}));
    W.File("no-fmt", Riff({Chunk("data", Mono)}));
    W.File("no-data", Riff({Fmt(1, 44100)}));
    W.File("just-riff-wave", Riff({}));
    // The same music under other settings: segments at every crossing, huge steps, a high
    // minimum gain, tight targets.
    W.File("rate-0", Riff({Fmt(1, 44100), Chunk("data", Mono)}), {.Rate = 16});
    W.File("huge-step-up", Riff({Fmt(1, 44100), Chunk("data", Mono)}), {.Rate = 5, .Up = 253});
    W.File("huge-steps", Riff({Fmt(2, 22050), Chunk("data", Tone(900, 0.05))}), {.Up = 253, .Down = 253});
    W.File("min-gain", Riff({Fmt(1, 8000), Chunk("data", Samples({32767, -32768}, 200))}),
           {.Rate = 16, .Down = 3, .Min = 255, .Max = 1});
    W.File("targets", Riff({Fmt(1, 44100), Chunk("data", Mono)}), {.Low = 30, .High = 31, .Peak = 200, .Max = 2});
    W.File("long-rate", Riff({Fmt(1, 44100), Chunk("data", Mono)}), {.Rate = 13});
    // Formats the engine refuses.
    W.File("8-bit", Riff({Fmt(1, 8000, 8), Chunk("data", Bytes(300, 0x80))}));
    W.File("24-bit", Riff({Fmt(2, 48000, 24), Chunk("data", Bytes(600, 7))}));
    W.File("65-bit", Riff({Chunk("fmt ", FmtPayload(1, 1, 8000, 9, 65)), Chunk("data", Bytes(90, 1))}));
    W.File("zero-channels", Riff({Chunk("fmt ", FmtPayload(1, 0, 44100, 2, 16)), Chunk("data", Mono)}));
    W.File("zero-block-align", Riff({Chunk("fmt ", FmtPayload(1, 1, 44100, 0, 16)), Chunk("data", Mono)}));
    W.File("small-block-align", Riff({Chunk("fmt ", FmtPayload(1, 2, 44100, 2, 16)), Chunk("data", Mono)}));
    W.File("zero-rate", Riff({Chunk("fmt ", FmtPayload(1, 1, 0, 2, 16)), Chunk("data", Mono)}));
    W.File("huge-rate", Riff({Chunk("fmt ", FmtPayload(1, 1, 0xFFFFFFFF, 2, 16)), Chunk("data", Mono)}));
    W.File("format-tag-3", Riff({Chunk("fmt ", FmtPayload(3, 1, 44100, 2, 16)), Chunk("data", Mono)}));
    // Odd headers.
    Bytes ShortFmt = FmtPayload(1, 1, 44100, 2, 16);
    ShortFmt.resize(14);
    W.File("fmt-14-bytes", Riff({Chunk("fmt ", ShortFmt), Chunk("data", Mono)}));
    W.File("fmt-14-bytes-at-end", Riff({Chunk("data", Mono), Chunk("fmt ", ShortFmt)}));
    Bytes LongFmt = FmtPayload(1, 1, 44100, 2, 16);
    LongFmt.insert(LongFmt.end(), {0, 0});
    W.File("fmt-18-bytes", Riff({Chunk("fmt ", LongFmt), Chunk("data", Mono)}));
    W.File("two-fmt", Riff({Fmt(2, 44100), Fmt(1, 8000), Chunk("data", Mono)}));
    W.File("two-data", Riff({Fmt(1, 44100), Chunk("data", Mono), Chunk("data", Samples({1, 2, 3}))}));
    W.File("unknown-chunk", Riff({Fmt(1, 44100), Chunk("LIST", Bytes(26, 'x')), Chunk("data", Mono)}));
    W.File("odd-chunk-no-pad", Riff({Fmt(1, 44100), Chunk("junk", Bytes(5, 1)), Chunk("data", Mono)}));
    Bytes Padded = Chunk("junk", Bytes(5, 1));
    Padded.push_back(0);
    W.File("odd-chunk-with-pad", Riff({Fmt(1, 44100), Padded, Chunk("data", Mono)}));
    W.File("odd-data", Riff({Fmt(1, 44100), Chunk("data", Bytes(Mono.begin(), Mono.begin() + 301))}));
    W.File("tag-with-zero", Riff({Fmt(1, 44100), Chunk(std::string("a\0b\n", 4).c_str(), Bytes(4, 0)), Chunk("data", Mono)}));
    W.File("chunk-size-ffffffff", Riff({Fmt(1, 44100), Chunk("LIST", 0xFFFFFFFF, Bytes(8, 0)), Chunk("data", Mono)}));
    W.File("chunk-size-fffffff0", Riff({Fmt(1, 44100), Chunk("LIST", 0xFFFFFFF0, Bytes(8, 0)), Chunk("data", Mono)}));
    W.File("chunk-size-7fffffff", Riff({Fmt(1, 44100), Chunk("LIST", 0x7FFFFFFF, Bytes(8, 0)), Chunk("data", Mono)}));
    W.File("data-size-ffffffff", Riff({Fmt(1, 44100), Chunk("data", 0xFFFFFFFF, Mono)}));
    W.File("data-size-7ffffffe", Riff({Fmt(1, 44100), Chunk("data", 0x7FFFFFFE, Mono)}, 0x7FFFFFFF));
    W.File("data-past-end", Riff({Fmt(1, 44100), Chunk("data", static_cast<uint32_t>(Mono.size() + 513), Mono)},
                                 static_cast<int64_t>(Mono.size() + 549)));
    W.File("data-past-riff-end", Riff({Fmt(1, 44100), Chunk("data", 5000, Mono)}));
    W.File("riff-size-ffffffff", Riff({Fmt(1, 44100), Chunk("data", Mono)}, 0xFFFFFFFF));
    W.File("riff-size-small", Riff({Fmt(1, 44100), Chunk("data", Mono)}, 30));
    W.File("riff-size-4", Riff({Fmt(1, 44100), Chunk("data", Mono)}, 4));
    Bytes Trailing = Riff({Fmt(1, 44100), Chunk("data", Mono)});
    Trailing.insert(Trailing.end(), 7, 0xEE);
    W.File("trailing-bytes", Trailing);
    Bytes Cut = Riff({Fmt(1, 44100), Chunk("data", Mono)});
    Cut.resize(Cut.size() - 301);
    W.File("cut-short", Cut);
    Bytes HeaderCut = Riff({Fmt(1, 44100), Chunk("data", Mono)});
    HeaderCut.resize(40);
    W.File("chunk-header-cut", HeaderCut);
    // Not RIFF/WAVE at all.
    W.File("empty", {});
    W.File("11-bytes", Bytes{'R', 'I', 'F', 'F', 3, 0, 0, 0, 'W', 'A', 'V'});
    Bytes Rifx = Riff({Fmt(1, 44100), Chunk("data", Mono)});
    Rifx[3] = 'X';
    W.File("rifx", Rifx);
    Bytes Avi = Riff({Fmt(1, 44100), Chunk("data", Mono)});
    Avi[8] = 'A';
    W.File("not-wave", Avi);
}

void WriteCommandLines(Writer& W) {
    W.CommandLine("help", {"sonolift", "--help"});
    W.CommandLine("version", {"sonolift", "--version"});
    W.CommandLine("no-words", {"sonolift"});
    W.CommandLine("no-argument-zero", {});
    W.CommandLine("empty-argument-zero", {"", "-v"});
    W.CommandLine("path-argument-zero", {"/usr/local/bin/sonolift", "--bogus"});
    W.CommandLine("every-switch", {"sonolift", "-r", " 0.5s", "-u", "$10", "-d", "0x2", "-l", "0.5", "-h", "95",
                                   "-p", "99.5", "-m", "100000", "-n", "1", "-v", "*.wav"});
    W.CommandLine("long-switches", {"sonolift", "--rate", "1.5m", "--up", "7", "--down", "3", "--low", "2",
                                    "--high", "80", "--peak", "100", "--max", "500", "--min", "499", "--verbose", "a.wav"});
    W.CommandLine("cluster", {"sonolift", "-vr", "2", "x.wav"});
    W.CommandLine("cluster-signs", {"sonolift", "-v+r-", "x.wav"});
    W.CommandLine("unknown", {"sonolift", "-x"});
    W.CommandLine("missing-value", {"sonolift", "--rate"});
    W.CommandLine("bad-value", {"sonolift", "-r", "2M"});
    W.CommandLine("out-of-range", {"sonolift", "-l", "95"});
    W.CommandLine("int-overflow", {"sonolift", "-u", "99999999999999999999"});
    W.CommandLine("signed-switch", {"sonolift", "--help-"});
    W.CommandLine("lone-dash", {"sonolift", "-", "a b", "--"});
    W.CommandLine("paths", {"sonolift", "sub/../b.wav", "../*.wav", "./", "/", "take[12].wav", "a\\*"});
    W.CommandLine("max-min-order", {"sonolift", "-n", "5", "-m", "5"});
    W.CommandLine("time-units", {"sonolift", "-r", "0.5h", "-r", "1e3", "-r", "-0"});
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argc > 0 ? argv[0] : "sonolift_make_corpus");
        return 2;
    }
    try {
        Writer W(argv[1]);
        WriteFiles(W);
        WriteCommandLines(W);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "%s\n", E.what());
        return 1;
    }
    return 0;
}
