// The real program on WAVE files written here: standard output, standard error, exit status and
// the bytes of every output file.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace testsupport;

struct Sandbox {
    TempDir Dir;

    void Put(const std::string& Name, const Bytes& B) const { WriteFile(Dir / Name, B); }
    Bytes Get(const std::string& Name) const { return ReadFile(Dir / Name); }
    RunResult Run(const std::vector<std::string>& Args, int64_t OpenFiles = -1) const {
        RunOptions O;
        O.Cwd = Dir.Path();
        O.ArgZero = "sonolift";
        O.OpenFilesLimit = OpenFiles;
        return RunSonolift(Args, O);
    }
    // The names of the output files present, sorted.
    std::vector<std::string> Outputs() const {
        std::vector<std::string> Names;
        if (DIR* D = ::opendir(Dir.Path().c_str())) {
            while (const dirent* E = ::readdir(D))
                if (std::string(E->d_name).rfind("waveout-", 0) == 0) Names.push_back(E->d_name);
            ::closedir(D);
        }
        std::sort(Names.begin(), Names.end());
        return Names;
    }
};

void ExpectRun(const RunResult& R, const std::string& Out, const std::string& Err = "", int Status = 0) {
    EXPECT_EQ(R.Out, Out);
    EXPECT_EQ(R.Err, Err);
    EXPECT_EQ(R.Status, Status);
    EXPECT_EQ(R.Signal, 0);
}

// Compares a file with the expected bytes, naming the first sample that differs.
void ExpectFile(const Sandbox& S, const std::string& Name, const Bytes& Expected) {
    ASSERT_TRUE(Exists(S.Dir / Name)) << Name;
    const Bytes Got = S.Get(Name);
    ASSERT_GE(Got.size(), 44u) << Name;
    EXPECT_EQ(Bytes(Got.begin(), Got.begin() + 44), Bytes(Expected.begin(), Expected.begin() + 44)) << Name;
    const auto G = SamplesOf(Got), E = SamplesOf(Expected);
    const auto Diff = std::mismatch(G.begin(), G.end(), E.begin(), E.end());
    if (Diff.first != G.end() || Diff.second != E.end())
        ADD_FAILURE() << Name << ": " << G.size() << " samples, expected " << E.size() << "; first difference at "
                      << (Diff.first - G.begin());
    EXPECT_EQ(Got.size(), Expected.size()) << Name;
}

// A square wave that starts positive and flips sign every Half frames; Level(f) is the magnitude
// of frame f (stereo: both channels alike).
std::vector<int16_t> Square(int64_t Frames, int64_t Half, const std::function<int64_t(int64_t)>& Level,
                            int Channels = 1) {
    std::vector<int16_t> S;
    for (int64_t F = 0; F < Frames; ++F)
        for (int C = 0; C < Channels; ++C)
            S.push_back(static_cast<int16_t>((F / Half) % 2 ? -Level(F) : Level(F)));
    return S;
}

// The segment of frame F in a square of half period 50 at 8000 Hz (segments of at least 80
// frames end at every second flip: the first at frame 100, then every 100), counted from 1.
int64_t Segment(int64_t F) { return std::max<int64_t>(1, (F + 99) / 100); }

std::string Overloads(int64_t Pos, int64_t S, const std::vector<int64_t>& Values) {
    std::string T;
    for (int64_t V : Values)
        T += "Overload " + std::to_string(Pos) + " " + std::to_string(S) + " " + std::to_string(V) + "\n";
    return T;
}

TEST(AmpEndToEnd, EachSegmentIsWrittenWithTheGainDecidedAtItsEnd) {
    // Stereo frames of 32767 / -32768 cross twice per frame, so segments are exactly 441 frames.
    const int64_t FullGains[] = {98, 97, 96, 95, 94, 94, 94};
    auto FullLeft = [](int64_t G) { return G == 98 ? 32112 : G == 97 ? 31784 : G == 96 ? 31456 : G == 95 ? 31129 : 30801; };
    auto FullRight = [](int64_t G) { return G == 98 ? -32113 : G == 97 ? -31785 : G == 96 ? -31457 : G == 95 ? -31130 : -30802; };
    std::vector<int16_t> FullIn, FullOut;
    for (int64_t F = 0; F < 3000; ++F) {
        FullIn.insert(FullIn.end(), {32767, -32768});
        const int64_t G = FullGains[F / 441];
        FullOut.push_back(static_cast<int16_t>(FullLeft(G)));
        FullOut.push_back(static_cast<int16_t>(FullRight(G)));
    }
    // Quiet (200) up to frame 1000, then loud (32000): muted a step per segment, the saved 100
    // restored at once, the step taken from amp at 90 (28800: up), the guard down to 101.
    auto QuietLevel = [](int64_t F) { return F <= 1000 ? 200 : 32000; };
    auto QuietGain = [](int64_t F) {
        const int64_t K = Segment(F);
        return K <= 10 ? 100 - K : K == 11 ? 101 : std::max<int64_t>(97, 112 - K);
    };
    // 8000 frames of silence: 100 quiet segments take the gain to 0; amp 0 of the first loud one
    // steps up from the restored 100, the guard brings it to 101.
    auto Silence = [](int64_t Loud) {
        std::vector<int16_t> S(8000, 0);
        const auto Tail = Square(400, 50, [Loud](int64_t) { return Loud; });
        S.insert(S.end(), Tail.begin(), Tail.end());
        return S;
    };
    const int64_t SilenceGains[] = {101, 100, 99, 99};
    auto SilenceOut = Silence(0);
    const auto Loud = Square(400, 50, [&](int64_t F) { return 320 * SilenceGains[Segment(F) - 1]; });
    std::copy(Loud.begin(), Loud.end(), SilenceOut.begin() + 8000);
    // No sign change: one unfinished segment at gain 100, written in chunks of 128 frames.
    std::vector<int16_t> FlatIn(400, 1000), FlatOut(261, 1000);
    FlatIn[261] = 32767;
    FlatOut.push_back(32439);
    FlatOut.resize(400, 980);
    const struct {
        const char* Name;
        std::vector<std::string> Switches;
        uint16_t Channels;
        uint32_t Rate;
        std::vector<int16_t> In, Out;
        std::string Lines;
    } Cases[] = {
        {"steps up, then holds inside the band", {}, 1, 8000, Square(4000, 50, [](int64_t) { return 12000; }),
         Square(4000, 50, [](int64_t F) { return 120 * std::min<int64_t>(100 + 5 * Segment(F), 250); }), ""},
        {"48000 Hz: segments of at least 480 frames", {}, 1, 48000, Square(1500, 300, [](int64_t) { return 10000; }),
         Square(1500, 300, [](int64_t F) { return F <= 600 ? 10500 : 11000; }), ""},
        {"full scale: guard to 98, down to the band, hold", {}, 2, 44100, FullIn, FullOut, ""},
        {"quiet passage muted, loud one restored", {}, 1, 8000, Square(1650, 50, QuietLevel),
         Square(1650, 50, [&](int64_t F) { return QuietLevel(F) * QuietGain(F) / 100; }), ""},
        {"digital silence", {}, 1, 8000, Silence(32000), SilenceOut, ""},
        {"up $10 steps by 16", {"-u", "$10"}, 1, 8000, Square(201, 50, [](int64_t) { return 10000; }),
         Square(201, 50, [](int64_t F) { return F <= 100 ? 11600 : 13200; }), ""},
        {"stereo overload position across chunks", {}, 2, 8000, FlatIn, FlatOut, Overloads(133, 32767, {32767, 32439})},
        // Each segment starts at 150 (VolMin over the guard's 146) and overloads at its first
        // frame down to 147; the tail after the last end keeps 147.
        {"VolMin above the guard overloads", {"-n", "150"}, 1, 8000, Square(400, 50, [](int64_t) { return 22000; }),
         Square(400, 50, [](int64_t) { return 32340; }),
         Overloads(0, 22000, {33000, 32780, 32560}) + Overloads(101, 22000, {33000, 32780, 32560}) +
             Overloads(201, 22000, {33000, 32780, 32560})},
        {"segments longer than the file: gain 100, overloads aside", {"-r", "2m"}, 1, 8000,
         Square(400, 50, [](int64_t) { return 32767; }),
         Square(400, 50, [](int64_t F) { return F == 0 ? 32439 : 32112; }), Overloads(0, 32767, {32767, 32439})},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Sandbox S;
        S.Put("in.wav", PcmWave(C.In, C.Channels, C.Rate));
        std::vector<std::string> Args = C.Switches;
        Args.push_back("in.wav");
        ExpectRun(S.Run(Args), "in.wav\n" + C.Lines);
        ExpectFile(S, "waveout-0-lift.wav", PcmWave(C.Out, C.Channels, C.Rate));
    }
}

TEST(AmpEndToEnd, GainSavedInAQuietEndingIsRestoredInTheNextFile) {
    Sandbox S;
    // a.wav: one loud segment (gain 105), then a quiet one that saves 105 and mutes to 104.
    S.Put("a.wav", PcmWave(Square(201, 50, [](int64_t F) { return F <= 100 ? 10000 : 200; }), 1, 8000));
    S.Put("b.wav", PcmWave(Square(201, 50, [](int64_t) { return 10000; }), 1, 8000));
    ExpectRun(S.Run({"a.wav", "b.wav"}), "a.wav\nb.wav\n");
    ExpectFile(S, "waveout-0-lift.wav",
               PcmWave(Square(201, 50, [](int64_t F) { return F <= 100 ? 10500 : 208; }), 1, 8000));
    // b.wav starts at 100, but its first segment restores 105 and steps to 110.
    ExpectFile(S, "waveout-1-lift.wav",
               PcmWave(Square(201, 50, [](int64_t F) { return F <= 100 ? 11000 : 11500; }), 1, 8000));
}

const std::vector<int16_t> Ramp = {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000};

Bytes WithFormat(uint16_t Channels, uint16_t BlockAlign, uint16_t Bits) {
    return WaveBuilder().FmtRaw(1, Channels, 8000, 8000u * BlockAlign, BlockAlign, Bits).Data(Ramp).Build();
}

TEST(AmpEndToEnd, SkippedFilesUseNoOutputNumber) {
    Sandbox S;
    S.Put("a.wav", PcmWave(Ramp, 1, 8000));
    WriteText(S.Dir / "notes.txt", "not a wave\n");
    S.Put("b8.wav", WithFormat(1, 1, 8));
    S.Put("c.wav", WaveBuilder().Fmt(1, 8000, 16).Data(Ramp).Build(200)); // RIFF size too large
    S.Put("s2.wav", WithFormat(2, 2, 16));                                  // frames smaller than their samples
    S.Put("z0.wav", WithFormat(1, 0, 16));
    S.Put("n0.wav", WithFormat(0, 2, 16)); // no channels at all
    Bytes Odd;
    for (int16_t V : Ramp) Put16(Odd, static_cast<uint16_t>(V));
    Odd.push_back(0x7f); // a partial frame
    S.Put("d.wav", WaveBuilder().Fmt(1, 8000, 16).Chunk("data", Odd).Build());
    ExpectRun(S.Run({"a.wav", "notes.txt", "b8.wav", "c.wav", "s2.wav", "z0.wav", "n0.wav", "d.wav"}),
              "a.wav\n"
              "FileName: notes.txt is not a wave file.\n"
              "b8.wav\nFileName: b8.wav is not a wave file.\n"
              "c.wav -- Corrupt\n"
              "s2.wav\nFileName: s2.wav is not a wave file.\n"
              "z0.wav\nFileName: z0.wav is not a wave file.\n"
              "n0.wav\nFileName: n0.wav is not a wave file.\n"
              "d.wav\n");
    EXPECT_EQ(S.Outputs(), (std::vector<std::string>{"waveout-0-lift.wav", "waveout-1-lift.wav", "waveout-2-lift.wav"}));
    for (const char* Name : {"waveout-0-lift.wav", "waveout-1-lift.wav", "waveout-2-lift.wav"})
        ExpectFile(S, Name, PcmWave(Ramp, 1, 8000));
}

TEST(AmpEndToEnd, NumberWidthFollowsTheNumberOfEntries) {
    Sandbox S;
    WriteText(S.Dir / "bad.wav", "RIFX");
    std::string Out = "FileName: bad.wav is not a wave file.\n";
    std::vector<std::string> Expected;
    for (int I = 0; I < 10; ++I) {
        S.Put("f" + std::to_string(I) + ".wav", PcmWave({static_cast<int16_t>(100 * (I + 1)), 5}, 1, 8000));
        Out += "f" + std::to_string(I) + ".wav\n";
        Expected.push_back("waveout-0" + std::to_string(I) + "-lift.wav");
    }
    ExpectRun(S.Run({"*.wav"}), Out);
    EXPECT_EQ(S.Outputs(), Expected);
    ExpectFile(S, "waveout-07-lift.wav", PcmWave({800, 5}, 1, 8000));
}

// 300 frames of a 10000 square, in a data chunk (and RIFF size) claiming 1000 frames.
Bytes Truncated() {
    Bytes Samples;
    for (int16_t V : Square(300, 50, [](int64_t) { return 10000; })) Put16(Samples, static_cast<uint16_t>(V));
    return WaveBuilder().Fmt(1, 8000, 16).ChunkWithSize("data", 2000, Samples).Build(4 + 24 + 8 + 2000);
}

TEST(AmpEndToEnd, DataChunkLongerThanTheFileLeavesThePartialOutput) {
    Sandbox S;
    S.Put("a.wav", PcmWave(Ramp, 1, 8000));
    S.Put("t.wav", Truncated());
    WriteText(S.Dir / "notes.txt", "");
    ExpectRun(S.Run({"a.wav", "t.wav", "notes.txt"}),
              "a.wav\nt.wav -- Corrupt\nFileName: t.wav is not a wave file.\nFileName: notes.txt is not a wave file.\n");
    // The header as created (default format, empty data), then the two segments that ended
    // before the read past the end: gains 105 and 110.
    Bytes Partial = WaveBuilder().FmtRaw(1, 2, 44100, 176400, 4, 16).ChunkWithSize("data", 0, {}).Build(36);
    for (int16_t V : Square(201, 50, [](int64_t F) { return F <= 100 ? 10500 : 11000; }))
        Put16(Partial, static_cast<uint16_t>(V));
    EXPECT_EQ(S.Get("waveout-1-lift.wav"), Partial);
    ExpectFile(S, "waveout-0-lift.wav", PcmWave(Ramp, 1, 8000));
}

TEST(AmpEndToEnd, FailuresLeakNoDescriptors) {
    Sandbox S;
    std::string Out;
    for (int I = 10; I < 30; ++I) {
        const std::string Name = "t" + std::to_string(I) + ".wav";
        S.Put(Name, Truncated());
        Out += Name + " -- Corrupt\nFileName: " + Name + " is not a wave file.\n";
    }
    for (int I = 0; I < 5; ++I) {
        const std::string Name = "u" + std::to_string(I) + ".wav";
        S.Put(Name, WithFormat(1, 1, 8));
        Out += Name + "\nFileName: " + Name + " is not a wave file.\n";
    }
    S.Put("z.wav", PcmWave(Ramp, 1, 8000));
    ExpectRun(S.Run({"*.wav"}, 8), Out + "z.wav\n");
    EXPECT_EQ(S.Outputs(), std::vector<std::string>{"waveout-000-lift.wav"});
    ExpectFile(S, "waveout-000-lift.wav", PcmWave(Ramp, 1, 8000));
}

TEST(AmpEndToEnd, AnOutputNameThatIsTheInputFailsAndLeavesItUntouched) {
    const struct {
        const char* Name;
        const char* Arg;
        std::function<void(const std::string&)> Link; // makes waveout-0-lift.wav from in.wav
    } Cases[] = {
        {"the same name", "waveout-0-lift.wav", nullptr},
        {"a hard link", "in.wav", [](const std::string& D) { ASSERT_EQ(::link((D + "/in.wav").c_str(), (D + "/waveout-0-lift.wav").c_str()), 0); }},
        {"a symbolic link", "in.wav", [](const std::string& D) { ASSERT_EQ(::symlink("in.wav", (D + "/waveout-0-lift.wav").c_str()), 0); }},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Sandbox S;
        const Bytes In = PcmWave(Square(400, 50, [](int64_t) { return 10000; }), 1, 8000);
        S.Put(C.Link ? "in.wav" : C.Arg, In);
        if (C.Link) C.Link(S.Dir.Path());
        ExpectRun(S.Run({C.Arg}), std::string(C.Arg) + "\nFileName: " + C.Arg + " is not a wave file.\n");
        EXPECT_EQ(S.Get(C.Arg), In);
        EXPECT_EQ(S.Get("waveout-0-lift.wav"), In);
        struct stat St {};
        ASSERT_EQ(::lstat((S.Dir / "waveout-0-lift.wav").c_str(), &St), 0);
        EXPECT_EQ(S_ISLNK(St.st_mode), std::string(C.Name) == "a symbolic link");
    }
}

// a.wav fails, so b.wav gets output number 0, whose name links to a.wav: writing it would
// destroy an input of the run that failed for reasons of its own.
TEST(AmpEndToEnd, AnOutputNameLinkedToAnEarlierInputIsRefused) {
    for (bool Symbolic : {true, false}) {
        SCOPED_TRACE(Symbolic ? "symbolic link" : "hard link");
        Sandbox S;
        const Bytes A = WaveBuilder().Fmt(1, 8000, 8).Data(Ramp).Build();
        S.Put("a.wav", A);
        S.Put("b.wav", PcmWave(Ramp, 1, 8000));
        const std::string Link = S.Dir / "waveout-0-lift.wav";
        ASSERT_EQ(Symbolic ? ::symlink("a.wav", Link.c_str()) : ::link((S.Dir / "a.wav").c_str(), Link.c_str()), 0);
        ExpectRun(S.Run({"a.wav", "b.wav"}),
                  "a.wav\nFileName: a.wav is not a wave file.\nb.wav\nFileName: b.wav is not a wave file.\n");
        EXPECT_EQ(S.Get("a.wav"), A);
    }
}

TEST(AmpEndToEnd, SwitchValuesAreCheckedAgainstTheSettingsOfTheirMoment) {
    const std::vector<std::vector<std::string>> Accepted = {
        {"-h", "96", "-l", "95"}, {"-p", "92", "-h", "96"}, {"-p", "97"}, {"-r", "2m"}, {"-r", "0.5h"},
        {"-r", "0"}, {"--rate", "90s"}, {"-u", "1"}, {"-d", "1"}, {"--up", "$10"}, {"-m", "100000"},
        {"-n", "9999"}, {"--low", "0"}, {"-l", "90"}, {"--peak", "100"}, {"-n", "600", "-m", "601"},
    };
    for (const auto& Args : Accepted) {
        SCOPED_TRACE(Args[0] + " " + Args[1]);
        Sandbox S;
        ExpectRun(S.Run(Args), "");
    }
    const struct {
        std::vector<std::string> Args;
        std::string Message;
    } Rejected[] = {
        {{"-l", "95"}, "invalid argument usage 95"},
        {{"-p", "80"}, "invalid argument usage 80"},
        {{"-r", "-1"}, "invalid argument usage -1"},
        {{"-r", "2M"}, "invalid argument usage 2M"},
        {{"-u", "0"}, "invalid argument usage 0"},
        {{"--down", "0"}, "invalid argument usage 0"},
        {{"-m", "0"}, "invalid argument usage 0"},
        {{"-m", "100001"}, "invalid argument usage 100001"},
        {{"-n", "10000"}, "invalid argument usage 10000"},
        {{"-m", "500", "-n", "600"}, "invalid argument usage 600"},
        {{"-n", "600", "-m", "500"}, "invalid argument usage 500"},
        {{"-n", "600", "-m", "600"}, "invalid argument usage 600"},
        {{"--high", "100.5"}, "invalid argument usage 100.5"},
        {{"-u", "0", "--help"}, "invalid argument usage 0"},
        {{"--rate"}, "missing argument --rate"},
    };
    for (const auto& C : Rejected) {
        SCOPED_TRACE(C.Message);
        Sandbox S;
        S.Put("a.wav", PcmWave(Ramp, 1, 8000));
        std::vector<std::string> Args = C.Args;
        if (Args.back() != "--rate") Args.push_back("a.wav");
        ExpectRun(S.Run(Args), "", "sonolift: " + C.Message + "\nTry `sonolift --help' for more information.\n", 1);
        EXPECT_TRUE(S.Outputs().empty());
    }
}

} // namespace
