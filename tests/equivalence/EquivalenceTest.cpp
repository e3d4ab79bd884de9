// The windowed program against its plain twin (one system call per request): on the same
// inputs, switches and limits both must leave the same files, the same standard output and
// error, and the same exit status. The small-window twin makes window boundaries reachable
// with small files.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <unistd.h>

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

struct Case {
    std::string Name;
    std::vector<std::pair<std::string, Bytes>> Inputs;
    std::vector<std::string> Args; // switches; the input names follow
    int64_t FileSizeLimit = -1;
    bool OutputOnDevFull = false;
};

// All that a run leaves: the exit, the files (a link by its target) and both streams.
std::string RunCase(const std::string& Program, const Case& C) {
    TempDir Dir;
    std::vector<std::string> Args = C.Args;
    for (const auto& [Name, Content] : C.Inputs) {
        WriteFile(Dir / Name, Content);
        Args.push_back(Name);
    }
    if (C.OutputOnDevFull && ::symlink("/dev/full", (Dir / "waveout-0-lift.wav").c_str()) != 0) ADD_FAILURE();
    RunOptions Options;
    Options.Cwd = Dir.Path();
    Options.FileSizeLimit = C.FileSizeLimit;
    Options.ArgZero = "sonolift"; // the programs' own names differ
    const RunResult R = Run(Program, Args, Options);
    std::set<std::string> Files;
    for (const auto& E : fs::directory_iterator(Dir.Path()))
        Files.insert(E.path().filename().string() +
                     (E.is_symlink() ? " -> " + fs::read_symlink(E.path()).string()
                                     : ": " + std::to_string(E.file_size()) + " bytes " + Digest(E.path().string())));
    std::string S = "exit " + std::to_string(R.Status) + " signal " + std::to_string(R.Signal) + "\n";
    for (const std::string& F : Files) S += F + "\n";
    return S + "standard output:\n" + R.Out + "standard error:\n" + R.Err;
}

// Runs C with the plain program and both windowed ones; returns the plain outcome.
std::string ExpectSameEverywhere(const Case& C) {
    const std::string Plain = RunCase(SONOLIFT_PLAIN, C);
    for (const std::string& Windowed : {SonoliftBinary(), std::string(SONOLIFT_W4096)})
        EXPECT_EQ(RunCase(Windowed, C), Plain) << C.Name << " with " << Windowed;
    return Plain;
}

// Deterministic music-like samples: noise under an envelope with loud and quiet stretches,
// some full-scale bursts and a few -32768 samples.
std::vector<int16_t> Music(int64_t Frames, int Channels, uint32_t Seed, double Loudness = 1.0) {
    std::vector<int16_t> S;
    for (int64_t F = 0; F < Frames; ++F) {
        const double Envelope = Loudness * (0.5 + 0.5 * std::sin(static_cast<double>(F) / 3000.0)) *
                                (F % 20000 < 4000 ? 0.004 : 1.0);
        for (int C = 0; C < Channels; ++C) {
            Seed = Seed * 1664525u + 1013904223u;
            double V = (static_cast<double>(Seed >> 16) / 32768.0 - 1.0) * 32767.0 * Envelope;
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

TEST(Equivalence, KindsOfFilesSwitchesAndFailures) {
    std::vector<int16_t> Square;
    for (int I = 0; I < 6000; ++I) Square.push_back(static_cast<int16_t>((I / 300) % 2 ? -32768 : 32767));
    // The kinds of files the suite uses in one run, so the gain carried from file to file is
    // compared too.
    std::vector<Case> Cases = {
        {"kinds",
         {{"a-stereo.wav", PcmWave(Music(90000, 2, 1), 2)},
          {"b-mono.wav", PcmWave(Music(70000, 1, 2, 0.3), 1, 8000)},
          {"c-silence.wav", PcmWave(std::vector<int16_t>(50000, 0))},
          {"d-nocrossing.wav", PcmWave(std::vector<int16_t>(3000, 1200))},
          {"e-square.wav", PcmWave(Square, 2, 48000)},
          {"f-damaged.wav", WaveBuilder().Fmt(2, 44100, 16).Data(Music(5000, 2, 3)).Build(20052)}, // RIFF size 16 too big
          {"g-listchunk.wav", WaveBuilder().Fmt(2, 22050, 16).Chunk("LIST", Bytes(10, 'x')).Data(Music(4000, 2, 4)).Build()},
          {"h-odddata.wav", WaveBuilder().Fmt(2, 8000, 16).Chunk("data", Bytes(40003, 0x31)).Build()},
          {"i-eightbit.wav", WaveBuilder().Fmt(1, 8000, 8).Chunk("data", Bytes(1000, 0x80)).Build()},
          {"j-text.wav", Bytes{'h', 'e', 'l', 'l', 'o'}},
          {"k-short.wav", ClaimsMore(3000, 600)}},
         {}}};
    const Bytes Loud = PcmWave(Music(40000, 2, 11), 2);
    for (const std::vector<std::string>& Args : std::vector<std::vector<std::string>>{
             {"-n", "250", "-d", "40"}, {"-u", "40", "-d", "3"}, {"-r", "0"}, {"-l", "20", "-h", "50"}, {"-d", "300", "-n", "250"}})
        Cases.push_back({"switches " + Args[0] + " " + Args[1], {{"in.wav", Loud}}, Args});
    Cases.push_back({"/dev/full", {{"in.wav", Loud}}, {}, -1, true});
    // Ends in the middle of a window, and at a small window's boundary.
    for (int64_t Frames : {40000, (3 * 4096 - 44) / 4})
        for (int32_t Extra : {1, 2, 511, 512, 513})
            Cases.push_back({"claims " + std::to_string(Extra) + " more, " + std::to_string(Frames) + " frames",
                             {{"in.wav", ClaimsMore(Frames, Extra)}}, {}});
    for (const Case& C : Cases) ExpectSameEverywhere(C);
}

TEST(Equivalence, FileSizeLimitAtManyBytes) {
    // A gain of at least 300 makes many blocks overload, so their lines are held with their
    // bytes; big steps down keep the lines few.
    Case C{"unlimited", {{"in.wav", PcmWave(Music(70000, 2, 9), 2)}}, {"-n", "300", "-d", "50"}};
    const std::string Full = ExpectSameEverywhere(C);
    const std::string Output = "waveout-0-lift.wav: ";
    const int64_t Size = std::stoll(Full.substr(Full.find(Output) + Output.size()));
    std::vector<int64_t> Limits = {0, 1, 8, 36, 43, 44, Size - 1, Size};
    // SONOLIFT_IO_WINDOW: the default build's window, which the wave library passes on
    const int64_t Window = SONOLIFT_IO_WINDOW;
    for (int64_t Edge : {int64_t{44 + 512}, int64_t{44 + 7 * 512}, int64_t{44 + 4096}, int64_t{44 + 3 * 4096}, Window,
                         44 + Window, 44 + 2 * Window})
        for (int64_t Near : {-1, 0, 1}) Limits.push_back(Edge + Near);
    // Inside blocks that overload: an overload's position counts frames written plus the
    // sample's index in its block, so the byte of the frame at that position is in the block
    // or the next.
    std::vector<int64_t> Positions;
    for (size_t At = 0; (At = Full.find("Overload ", At)) != std::string::npos; At += 9)
        Positions.push_back(std::stoll(Full.substr(At + 9)));
    ASSERT_GT(Positions.size(), 10u);
    for (size_t K : {size_t{0}, Positions.size() / 3, Positions.size() - 1})
        for (int64_t Into : {2, 300}) Limits.push_back(44 + Positions[K] * 4 + Into);
    for (int64_t Limit : Limits) {
        C.Name = "file-size limit " + std::to_string(Limit);
        C.FileSizeLimit = Limit;
        ExpectSameEverywhere(C);
    }
}

} // namespace
