// The real program on WAVE files written here: standard output, standard error, exit status and
// the bytes of every output file.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using namespace testsupport;

struct Sandbox {
    TempDir Dir;

    void Put(const std::string& Name, const Bytes& B) const { WriteFile(Dir / Name, B); }
    Bytes Get(const std::string& Name) const { return ReadFile(Dir / Name); }
    RunResult Run(const std::vector<std::string>& Args) const {
        RunOptions O;
        O.Cwd = Dir.Path();
        O.ArgZero = "sonolift";
        return RunSonolift(Args, O);
    }
    // The names of the output files present, sorted.
    std::vector<std::string> Outputs() const {
        std::vector<std::string> Names;
        for (const auto& E : std::filesystem::directory_iterator(Dir.Path()))
            if (E.path().filename().string().rfind("waveout-", 0) == 0) Names.push_back(E.path().filename());
        std::sort(Names.begin(), Names.end());
        return Names;
    }
};

void ExpectRun(const RunResult& R, const std::string& Out, const std::string& Err = "", int Status = 0) {
    EXPECT_EQ(std::tie(R.Out, R.Err, R.Status, R.Signal), std::make_tuple(Out, Err, Status, 0));
}

// Compares a file with the expected bytes, naming the first byte that differs.
void ExpectFile(const Sandbox& S, const std::string& Name, const Bytes& Expected) {
    const Bytes Got = S.Get(Name);
    const auto At = std::mismatch(Got.begin(), Got.end(), Expected.begin(), Expected.end()).first - Got.begin();
    EXPECT_TRUE(Got == Expected) << Name << ": " << Got.size() << " bytes, expected " << Expected.size()
                                 << "; first difference at " << At;
}

// The name line and the failure line of a file refused before its output is created.
std::string Refused(const std::string& Name) { return Name + "\nFileName: " + Name + " is not a wave file.\n"; }

// A square wave that starts positive and flips sign every Half frames; Level(f) is the magnitude
// of frame f (stereo: both channels alike).
std::vector<int16_t> Square(int64_t Frames, int64_t Half, const std::function<int64_t(int64_t)>& Level) {
    std::vector<int16_t> S;
    for (int64_t F = 0; F < Frames; ++F) S.push_back(static_cast<int16_t>((F / Half) % 2 ? -Level(F) : Level(F)));
    return S;
}

// The segment of frame F in a square of half period 50 at 8000 Hz (segments of at least 80
// frames end at every second flip: the first at frame 100, then every 100), counted from 1.
int64_t Segment(int64_t F) { return std::max<int64_t>(1, (F + 99) / 100); }

TEST(AmpEndToEnd, EachSegmentIsWrittenWithTheGainDecidedAtItsEnd) {
    // Stereo frames of 32767 / -32768 cross twice per frame, so segments are exactly 441 frames:
    // the guard takes the first to 98, then a step down per segment until 94 is inside the band.
    const int16_t Full[][2] = {{32112, -32113}, {31784, -31785}, {31456, -31457}, {31129, -31130}, {30801, -30802}};
    std::vector<int16_t> FullIn, FullOut;
    for (int64_t F = 0; F < 3000; ++F) {
        FullIn.insert(FullIn.end(), {32767, -32768});
        const auto& G = Full[std::min<int64_t>(F / 441, 4)];
        FullOut.insert(FullOut.end(), {G[0], G[1]});
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
    auto SilenceLevel = [](int64_t F) { return F < 8000 ? 0 : 32000; };
    const int64_t SilenceGains[] = {101, 100, 99, 99};
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
        {"full scale: guard to 98, down to the band, hold", {}, 2, 44100, FullIn, FullOut, ""},
        {"quiet passage muted, loud one restored", {}, 1, 8000, Square(1650, 50, QuietLevel),
         Square(1650, 50, [&](int64_t F) { return QuietLevel(F) * QuietGain(F) / 100; }), ""},
        {"digital silence", {}, 1, 8000, Square(8400, 50, SilenceLevel),
         Square(8400, 50, [&](int64_t F) { return F < 8000 ? 0 : 320 * SilenceGains[Segment(F - 8000) - 1]; }), ""},
        {"stereo overload position across chunks", {}, 2, 8000, FlatIn, FlatOut, OverloadLines(133, 32767, {32767, 32439})},
        // Each segment starts at 150 (VolMin over the guard's 146) and overloads at its first
        // frame down to 147; the tail after the last end keeps 147.
        {"VolMin above the guard overloads", {"-n", "150"}, 1, 8000, Square(400, 50, [](int64_t) { return 22000; }),
         Square(400, 50, [](int64_t) { return 32340; }),
         OverloadLines(0, 22000, {33000, 32780, 32560}) + OverloadLines(101, 22000, {33000, 32780, 32560}) +
             OverloadLines(201, 22000, {33000, 32780, 32560})},
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
    auto Wave = [](const std::function<int64_t(int64_t)>& Level) { return PcmWave(Square(201, 50, Level), 1, 8000); };
    // a.wav: one loud segment (gain 105), then a quiet one that saves 105 and mutes to 104.
    S.Put("a.wav", Wave([](int64_t F) { return F <= 100 ? 10000 : 200; }));
    S.Put("b.wav", Wave([](int64_t) { return 10000; }));
    ExpectRun(S.Run({"a.wav", "b.wav"}), "a.wav\nb.wav\n");
    ExpectFile(S, "waveout-0-lift.wav", Wave([](int64_t F) { return F <= 100 ? 10500 : 208; }));
    // b.wav starts at 100, but its first segment restores 105 and steps to 110.
    ExpectFile(S, "waveout-1-lift.wav", Wave([](int64_t F) { return F <= 100 ? 11000 : 11500; }));
}

const std::vector<int16_t> Ramp = {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000};

Bytes WithFormat(uint16_t Channels, uint16_t BlockAlign, uint16_t Bits) {
    return WaveBuilder().FmtRaw(1, Channels, 8000, 8000u * BlockAlign, BlockAlign, Bits).Data(Ramp).Build();
}

// Files refused before their output is created use no output number; one whose data runs out
// keeps the partial output. Eleven entries make the numbers two digits wide.
TEST(AmpEndToEnd, SkippedFilesUseNoOutputNumberAndTheWidthFollowsTheEntries) {
    Sandbox S;
    Bytes Odd, Square300;
    for (int16_t V : Ramp) Put16(Odd, static_cast<uint16_t>(V));
    Odd.push_back(0x7f); // a partial frame
    for (int16_t V : Square(300, 50, [](int64_t) { return 10000; })) Put16(Square300, static_cast<uint16_t>(V));
    const std::pair<std::string, Bytes> Files[] = {
        {"a.wav", PcmWave(Ramp, 1, 8000)},
        {"notes.txt", {'n', 'o', 't', 'e', 's'}},
        {"b8.wav", WithFormat(1, 1, 8)},
        {"c.wav", WaveBuilder().Fmt(1, 8000, 16).Data(Ramp).Build(200)}, // RIFF size too large
        {"s2.wav", WithFormat(2, 2, 16)},                                 // frames smaller than their samples
        {"z0.wav", WithFormat(1, 0, 16)},
        {"n0.wav", WithFormat(0, 2, 16)}, // no channels at all
        {"d.wav", WaveBuilder().Fmt(1, 8000, 16).Chunk("data", Odd).Build()},
        {"e.wav", PcmWave({800, 5}, 1, 8000)},
        {"f.wav", PcmWave({800, 5, -800, -5}, 2, 8000)},
        // 300 frames in a data chunk (and RIFF size) claiming 1000; last, as a failure leaves
        // its number to the next file
        {"t.wav", WaveBuilder().Fmt(1, 8000, 16).ChunkWithSize("data", 2000, Square300).Build(4 + 24 + 8 + 2000)},
    };
    std::vector<std::string> Args;
    for (const auto& [Name, Content] : Files) {
        S.Put(Name, Content);
        Args.push_back(Name);
    }
    ExpectRun(S.Run(Args), "a.wav\nFileName: notes.txt is not a wave file.\n" + Refused("b8.wav") + "c.wav -- Corrupt\n" +
                               Refused("s2.wav") + Refused("z0.wav") + Refused("n0.wav") +
                               "d.wav\ne.wav\nf.wav\nt.wav -- Corrupt\nFileName: t.wav is not a wave file.\n");
    std::vector<std::string> Numbered;
    for (int I = 0; I < 6; ++I) Numbered.push_back("waveout-0" + std::to_string(I) + "-lift.wav");
    EXPECT_EQ(S.Outputs(), Numbered);
    for (int I = 0; I < 3; ++I) ExpectFile(S, Numbered[I], PcmWave(Ramp, 1, 8000));
    // The header as created (default format, empty data), then the two segments of t.wav that
    // ended before the read past the end: gains 105 and 110.
    Bytes Partial = WaveBuilder().FmtRaw(1, 2, 44100, 176400, 4, 16).ChunkWithSize("data", 0, {}).Build(36);
    for (int16_t V : Square(201, 50, [](int64_t F) { return F <= 100 ? 10500 : 11000; }))
        Put16(Partial, static_cast<uint16_t>(V));
    ExpectFile(S, Numbered[3], Files[8].second);
    ExpectFile(S, Numbered[4], Files[9].second);
    ExpectFile(S, Numbered[5], Partial);
}

TEST(AmpEndToEnd, AnOutputNameThatIsAnInputIsRefusedAndLeavesItUntouched) {
    const Bytes In = PcmWave(Square(400, 50, [](int64_t) { return 10000; }), 1, 8000);
    const Bytes A = WithFormat(1, 1, 8);
    const struct {
        const char* Name;
        std::vector<std::string> Args;
        const char* Target; // of waveout-0-lift.wav, made a link
        bool Symbolic;
    } Cases[] = {
        {"the same name", {"waveout-0-lift.wav"}, nullptr, false},
        {"a hard link", {"in.wav"}, "in.wav", false},
        {"a symbolic link", {"in.wav"}, "in.wav", true},
        // a.wav fails for reasons of its own, so in.wav gets number 0, whose name links to a.wav
        {"a hard link to an earlier input", {"a.wav", "in.wav"}, "a.wav", false},
        {"a symbolic link to an earlier input", {"a.wav", "in.wav"}, "a.wav", true},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Sandbox S;
        S.Put("in.wav", In);
        S.Put("a.wav", A);
        const std::string Out = S.Dir / "waveout-0-lift.wav";
        if (!C.Target) S.Put("waveout-0-lift.wav", In);
        const int Made = !C.Target ? 0 : C.Symbolic ? ::symlink(C.Target, Out.c_str())
                                                    : ::link((S.Dir / C.Target).c_str(), Out.c_str());
        ASSERT_EQ(Made, 0);
        std::string Lines;
        for (const auto& Name : C.Args) Lines += Refused(Name);
        ExpectRun(S.Run(C.Args), Lines);
        EXPECT_EQ(S.Get("in.wav"), In);
        EXPECT_EQ(S.Get("a.wav"), A);
        EXPECT_EQ(S.Get("waveout-0-lift.wav"), C.Target && C.Target[0] == 'a' ? A : In);
        struct stat St {};
        ASSERT_EQ(::lstat(Out.c_str(), &St), 0);
        EXPECT_EQ(S_ISLNK(St.st_mode), C.Symbolic);
    }
}

TEST(AmpEndToEnd, SwitchValuesAreCheckedAgainstTheSettingsOfTheirMoment) {
    const std::vector<std::vector<std::string>> Accepted = {
        {"-h", "96", "-l", "95"}, {"-p", "92", "-h", "96"}, {"-r", "0.5h"}, {"-r", "0"}, {"--rate", "90s"},
        {"-u", "1"}, {"-d", "1"}, {"--up", "$10"}, {"-m", "100000"}, {"-n", "9999"}, {"--low", "0"},
        {"-l", "90"}, {"--peak", "100"}, {"-n", "600", "-m", "601"},
    };
    for (const auto& Args : Accepted) {
        SCOPED_TRACE(Args[0] + " " + Args[1]);
        ExpectRun(Sandbox().Run(Args), "");
    }
    // Unless given, the message names the last word.
    const struct {
        std::vector<std::string> Args;
        std::string Message = "";
    } Rejected[] = {
        {{"-l", "95"}}, {{"-p", "80"}}, {{"-r", "-1"}}, {{"-r", "2M"}}, {{"-u", "0"}}, {{"--down", "0"}},
        {{"-m", "100001"}}, {{"-n", "10000"}}, {{"-m", "500", "-n", "600"}}, {{"-n", "600", "-m", "500"}},
        {{"-n", "600", "-m", "600"}}, {{"--high", "100.5"}},
        {{"-u", "0", "--help"}, "invalid argument usage 0"}, {{"--rate"}, "missing argument --rate"},
    };
    for (const auto& C : Rejected) {
        const std::string Message = C.Message.empty() ? "invalid argument usage " + C.Args.back() : C.Message;
        SCOPED_TRACE(Message);
        Sandbox S;
        S.Put("a.wav", PcmWave(Ramp, 1, 8000));
        std::vector<std::string> Args = C.Args;
        if (Args.back() != "--rate") Args.push_back("a.wav");
        ExpectRun(S.Run(Args), "", "sonolift: " + Message + "\nTry `sonolift --help' for more information.\n", 1);
        EXPECT_TRUE(S.Outputs().empty());
    }
}

} // namespace
