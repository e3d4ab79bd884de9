// The windowed program against its plain twin (one system call per request): on the same
// inputs, switches and limits both must leave the same files, the same standard output and
// error, and the same exit status. The small-window twin makes window boundaries reachable
// with small files.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <unistd.h>

namespace {

using namespace testsupport;

struct Input {
    std::string Name;
    Bytes Content;
};

struct Case {
    std::string Name;
    std::vector<Input> Inputs;
    std::vector<std::string> Args; // switches; the input names follow
    int64_t FileSizeLimit = -1;
    bool OutputOnDevFull = false;
};

struct Outcome {
    RunResult Result;
    std::map<std::string, Bytes> Files; // a symbolic link as "-> target"
};

Outcome RunCase(const std::string& Program, const Case& C) {
    TempDir Dir;
    std::vector<std::string> Args = C.Args;
    for (const Input& In : C.Inputs) {
        WriteFile(Dir / In.Name, In.Content);
        Args.push_back(In.Name);
    }
    if (C.OutputOnDevFull && ::symlink("/dev/full", (Dir / "waveout-0-lift.wav").c_str()) != 0)
        ADD_FAILURE() << "symlink failed";
    RunOptions Options;
    Options.Cwd = Dir.Path();
    Options.FileSizeLimit = C.FileSizeLimit;
    Options.ArgZero = "sonolift";
    Outcome O;
    O.Result = Run(Program, Args, Options);
    for (const auto& Entry : std::filesystem::directory_iterator(Dir.Path())) {
        const std::string Name = Entry.path().filename().string();
        if (Entry.is_symlink()) {
            const std::string Target = std::filesystem::read_symlink(Entry.path()).string();
            O.Files[Name] = Bytes(Target.begin(), Target.end());
        } else {
            O.Files[Name] = ReadFile(Entry.path().string());
        }
    }
    return O;
}

// Where two texts part: the line number and both lines.
std::string TextDifference(const std::string& What, const std::string& A, const std::string& B) {
    size_t At = 0, Line = 1;
    while (At < A.size() && At < B.size() && A[At] == B[At]) Line += A[At++] == '\n';
    const size_t Start = At == 0 ? 0 : A.rfind('\n', At - 1) + 1;
    auto LineOf = [Start](const std::string& T) { return Start >= T.size() ? "(end)" : T.substr(Start, T.find('\n', Start) - Start); };
    return What + " line " + std::to_string(Line) + ": \"" + LineOf(A) + "\" against \"" + LineOf(B) + "\"";
}

// The first difference between two outcomes, or "".
std::string Difference(const Outcome& A, const Outcome& B) {
    if (A.Result.Out != B.Result.Out) return TextDifference("standard output", A.Result.Out, B.Result.Out);
    if (A.Result.Err != B.Result.Err) return TextDifference("standard error", A.Result.Err, B.Result.Err);
    if (A.Result.Status != B.Result.Status || A.Result.Signal != B.Result.Signal)
        return "exit " + std::to_string(A.Result.Status) + "/" + std::to_string(A.Result.Signal) + " against " +
               std::to_string(B.Result.Status) + "/" + std::to_string(B.Result.Signal);
    for (const auto& [Name, Content] : A.Files) {
        auto Other = B.Files.find(Name);
        if (Other == B.Files.end()) return Name + " is left by one program only";
        if (Content == Other->second) continue;
        size_t At = 0;
        while (At < Content.size() && At < Other->second.size() && Content[At] == Other->second[At]) ++At;
        return Name + ": " + std::to_string(Content.size()) + " against " + std::to_string(Other->second.size()) +
               " bytes, first difference at byte " + std::to_string(At);
    }
    if (A.Files.size() != B.Files.size()) return "the programs leave different files";
    return "";
}

const std::string Windowed = SonoliftBinary();
const std::string SmallWindow = SONOLIFT_W4096;
const std::string Plain = SONOLIFT_PLAIN;

// Runs C with the plain program and both windowed ones; returns the plain outcome.
Outcome ExpectSameEverywhere(const Case& C) {
    const Outcome Reference = RunCase(Plain, C);
    EXPECT_EQ(Difference(RunCase(Windowed, C), Reference), "") << C.Name << " (default window)";
    EXPECT_EQ(Difference(RunCase(SmallWindow, C), Reference), "") << C.Name << " (4096-byte window)";
    return Reference;
}

// Deterministic music-like samples: noise under an envelope with loud and quiet stretches,
// some full-scale bursts and a few -32768 samples.
std::vector<int16_t> Music(int64_t Frames, int Channels, uint32_t Seed, double Loudness = 1.0) {
    std::vector<int16_t> S;
    uint32_t X = Seed;
    for (int64_t F = 0; F < Frames; ++F) {
        const double Envelope = Loudness * (0.5 + 0.5 * std::sin(static_cast<double>(F) / 3000.0)) *
                                (F % 20000 < 4000 ? 0.004 : 1.0);
        for (int C = 0; C < Channels; ++C) {
            X = X * 1664525u + 1013904223u;
            double V = (static_cast<double>(X >> 16) / 32768.0 - 1.0) * 32767.0 * Envelope;
            if (F % 9000 == 4500) V = (C == 0 ? -32768.0 : 32767.0);
            S.push_back(static_cast<int16_t>(std::clamp(V, -32768.0, 32767.0)));
        }
    }
    return S;
}

// A stereo file whose data chunk claims Extra bytes more than the file holds.
Bytes ClaimsMore(int64_t Frames, int32_t Extra) {
    Bytes B = PcmWave(Music(Frames, 2, 7), 2);
    const uint32_t Claimed = static_cast<uint32_t>(Frames * 4 + Extra);
    for (int I = 0; I < 4; ++I) B[40 + static_cast<size_t>(I)] = static_cast<uint8_t>(Claimed >> (8 * I));
    return B;
}

// The kinds of files the suite uses, all in one run, so that the gain carried from one file
// to the next is compared too.
TEST(Equivalence, KindsOfFilesInOneRun) {
    std::vector<int16_t> NoCrossing(3000, 1200);
    std::vector<int16_t> Square;
    for (int I = 0; I < 6000; ++I) Square.push_back(static_cast<int16_t>((I / 300) % 2 ? -32768 : 32767));
    Bytes Damaged = PcmWave(Music(5000, 2, 3), 2);
    Damaged[4] ^= 0x10; // RIFF size disagrees with the file
    Bytes WithTail = WaveBuilder().Fmt(2, 22050, 16).Chunk("LIST", Bytes(10, 'x')).Data(Music(4000, 2, 4)).Build();
    Bytes OddData = WaveBuilder().Fmt(2, 8000, 16).Chunk("data", Bytes(40003, 0x31)).Build();
    Case C{"kinds", {}, {}};
    C.Inputs = {{"a-stereo.wav", PcmWave(Music(90000, 2, 1), 2)},
                {"b-mono.wav", PcmWave(Music(70000, 1, 2, 0.3), 1, 8000)},
                {"c-silence.wav", PcmWave(std::vector<int16_t>(50000, 0))},
                {"d-nocrossing.wav", PcmWave(NoCrossing)},
                {"e-square.wav", PcmWave(Square, 2, 48000)},
                {"f-damaged.wav", Damaged},
                {"g-listchunk.wav", WithTail},
                {"h-odddata.wav", OddData},
                {"i-eightbit.wav", WaveBuilder().Fmt(1, 8000, 8).Chunk("data", Bytes(1000, 0x80)).Build()},
                {"j-text.wav", Bytes{'h', 'e', 'l', 'l', 'o'}},
                {"k-short.wav", ClaimsMore(3000, 600)}};
    ExpectSameEverywhere(C);
}

TEST(Equivalence, SwitchesThatOverloadAndMute) {
    const std::vector<std::vector<std::string>> Switches = {
        {"-n", "250", "-d", "40"}, {"-u", "40", "-d", "3"}, {"-r", "0"}, {"-l", "20", "-h", "50"}, {"-d", "300", "-n", "250"}};
    for (const auto& Args : Switches) {
        Case C{"switches " + Args[0] + " " + Args[1], {{"in.wav", PcmWave(Music(40000, 2, 11), 2)}}, Args};
        ExpectSameEverywhere(C);
    }
}

TEST(Equivalence, DataChunkClaimingMoreThanTheFileHolds) {
    // Ends in the middle of a window, and at a small window's boundary.
    for (int64_t Frames : {40000, (3 * 4096 - 44) / 4})
        for (int32_t Extra : {1, 2, 511, 512, 513})
            ExpectSameEverywhere(Case{"claims " + std::to_string(Extra) + " more, " + std::to_string(Frames) + " frames",
                                      {{"in.wav", ClaimsMore(Frames, Extra)}},
                                      {}});
}

TEST(Equivalence, OutputOnAFullDevice) {
    Case C{"dev/full", {{"in.wav", PcmWave(Music(20000, 2, 5), 2)}}, {}};
    C.OutputOnDevFull = true;
    ExpectSameEverywhere(C);
}

TEST(Equivalence, FileSizeLimitAtManyBytes) {
    // A gain of at least 300 makes many blocks overload, so their lines are held with their
    // bytes; big steps down keep the lines few.
    const Input In{"in.wav", PcmWave(Music(70000, 2, 9), 2)};
    const std::vector<std::string> Args = {"-n", "300", "-d", "50"};
    const Outcome Full = RunCase(Plain, Case{"unlimited", {In}, Args});
    const int64_t OutputSize = static_cast<int64_t>(Full.Files.at("waveout-0-lift.wav").size());
    std::vector<int64_t> Limits = {0, 1, 8, 36, 43, 44, OutputSize - 1, OutputSize};
    // SONOLIFT_IO_WINDOW: the default build's window, which the wave library passes on
    const int64_t Window = SONOLIFT_IO_WINDOW;
    for (int64_t Edge : {int64_t{44 + 512}, int64_t{44 + 7 * 512}, int64_t{44 + 4096}, int64_t{44 + 3 * 4096},
                         Window, 44 + Window, 44 + 2 * Window})
        for (int64_t Near : {-1, 0, 1}) Limits.push_back(Edge + Near);
    // Inside blocks that overload: an overload's position counts frames written plus the
    // sample's index in its block, so the byte of the frame at that position is in the block
    // or the next.
    std::vector<int64_t> Positions;
    for (size_t At = 0; (At = Full.Result.Out.find("Overload ", At)) != std::string::npos; At += 9)
        Positions.push_back(std::stoll(Full.Result.Out.substr(At + 9)));
    ASSERT_GT(Positions.size(), 10u);
    for (size_t K : {size_t{0}, Positions.size() / 3, Positions.size() - 1})
        for (int64_t Into : {2, 300}) Limits.push_back(44 + Positions[K] * 4 + Into);
    for (int64_t Limit : Limits) {
        Case C{"file-size limit " + std::to_string(Limit), {In}, Args};
        C.FileSizeLimit = Limit;
        ExpectSameEverywhere(C);
    }
}

} // namespace
