// Faults from outside the program, end to end with the real binary: outputs that cannot be
// files, a file-size limit, a descriptor limit, inputs that are not regular files or change
// behind the program's back. Whatever happens, no input changes and no stray file appears.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

std::string Failed(const std::string& Name) { return "FileName: " + Name + " is not a wave file.\n"; }

// Samples that never cross zero: no segment ends, the gain stays 100 and an output holds the
// input's samples unchanged, so a finished output is PcmWave of the same samples.
std::vector<int16_t> Flat(size_t Count, int16_t Value = 1000) { return std::vector<int16_t>(Count, Value); }

// What a created output holds before it is finished: the default format, sizes 36 and 0.
Bytes CreationHeader() { return WaveBuilder().Fmt(2, 44100, 16).Data({}).Build(); }

// A mono file whose data chunk (and RIFF size) claim Extra bytes more than the file holds.
Bytes ClaimsMore(const std::vector<int16_t>& Samples, uint32_t Extra) {
    Bytes Payload;
    for (int16_t S : Samples) Put16(Payload, static_cast<uint16_t>(S));
    const int32_t Size = static_cast<int32_t>(Payload.size() + Extra);
    WaveBuilder W;
    W.Fmt(1, 44100, 16).ChunkWithSize("data", Size, Payload);
    return W.Build(36 + Size);
}

std::vector<std::string> Names(const std::string& Dir) {
    std::vector<std::string> N;
    for (const auto& E : std::filesystem::directory_iterator(Dir)) N.push_back(E.path().filename().string());
    std::sort(N.begin(), N.end());
    return N;
}

std::map<std::string, std::string> Digests(const TempDir& D, const std::vector<std::string>& Files) {
    std::map<std::string, std::string> M;
    for (const std::string& F : Files) M[F] = Digest(D / F);
    return M;
}

RunOptions In(const TempDir& D) {
    RunOptions O;
    O.Cwd = D.Path();
    O.TimeoutSeconds = 60; // a guard against a hang, not a measurement
    return O;
}

} // namespace

// An output name that cannot become a regular file, or that is the input under another name:
// creating it fails, the input is untouched and the loop goes on with the next file.
TEST(Fault, OutputNameThatCannotBeCreated) {
    struct Case {
        const char* What;
        std::function<int(const TempDir& D, const char* Out)> Make;
        bool SecondInput; // a second input shows the loop going on
    } Cases[] = {
        {"symbolic link to /dev/full", [](const TempDir&, const char* Out) { return ::symlink("/dev/full", Out); }, true},
        {"FIFO", [](const TempDir&, const char* Out) { return ::mkfifo(Out, 0644); }, true},
        {"directory", [](const TempDir&, const char* Out) { return ::mkdir(Out, 0755); }, true},
        {"hard link to the input", [](const TempDir& D, const char* Out) { return ::link((D / "a.wav").c_str(), Out); }, false},
        {"symbolic link to the input", [](const TempDir&, const char* Out) { return ::symlink("a.wav", Out); }, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        TempDir D;
        WriteFile(D / "a.wav", PcmWave(Flat(300)));
        WriteFile(D / "b.wav", PcmWave(Flat(200)));
        const std::string Out = D / "waveout-0-lift.wav";
        ASSERT_EQ(0, C.Make(D, Out.c_str()));
        struct stat Before {};
        ASSERT_EQ(0, ::lstat(Out.c_str(), &Before));
        const auto Inputs = Digests(D, {"a.wav", "b.wav"});
        std::vector<std::string> Args{"a.wav"};
        std::string Expected = "a.wav\n" + Failed("a.wav");
        if (C.SecondInput) {
            Args.push_back("b.wav");
            Expected += "b.wav\n" + Failed("b.wav");
        }
        RunResult R = RunSonolift(Args, In(D));
        EXPECT_EQ(0, R.Signal);
        EXPECT_EQ(0, R.Status);
        EXPECT_EQ("", R.Err);
        EXPECT_EQ(Expected, R.Out);
        EXPECT_EQ(Inputs, Digests(D, {"a.wav", "b.wav"}));
        struct stat After {};
        ASSERT_EQ(0, ::lstat(Out.c_str(), &After));
        EXPECT_EQ(Before.st_mode, After.st_mode);
        EXPECT_EQ(Before.st_ino, After.st_ino);
        EXPECT_EQ((std::vector<std::string>{"a.wav", "b.wav", "waveout-0-lift.wav"}), Names(D.Path()));
    }
}

// A write refused for the file-size limit fails that file like any other write failure (the
// process is not killed): the partial output stays and the loop goes on.
TEST(Fault, FileSizeLimit) {
    const std::vector<int16_t> Small = Flat(100, 700), Big = Flat(2000, 1000);
    struct Case {
        int64_t Limit;
        std::string Out;
        std::map<std::string, Bytes> Outputs;
    };
    const Bytes BigWave = PcmWave(Big), Header = CreationHeader();
    Bytes Partial = Header;
    Partial.insert(Partial.end(), BigWave.begin() + 44, BigWave.begin() + 1000);
    const Case Cases[] = {
        // inside the data of the second file: its creation header and the samples that fit
        {1000, "1.wav\n2.wav\n" + Failed("2.wav") + Failed("3.txt"),
         {{"waveout-0-lift.wav", PcmWave(Small)}, {"waveout-1-lift.wav", Partial}}},
        // inside the header: no output can be created
        {20, "1.wav\n" + Failed("1.wav") + "2.wav\n" + Failed("2.wav") + Failed("3.txt"),
         {{"waveout-0-lift.wav", Bytes(Header.begin(), Header.begin() + 20)}}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Limit);
        TempDir D;
        WriteFile(D / "1.wav", PcmWave(Small));
        WriteFile(D / "2.wav", BigWave);
        WriteText(D / "3.txt", "not a wave file\n");
        RunOptions O = In(D);
        O.FileSizeLimit = C.Limit;
        RunResult R = RunSonolift({"1.wav", "2.wav", "3.txt"}, O);
        EXPECT_EQ(0, R.Signal);
        EXPECT_EQ(0, R.Status);
        EXPECT_EQ("", R.Err);
        EXPECT_EQ(C.Out, R.Out);
        std::vector<std::string> Expected{"1.wav", "2.wav", "3.txt"};
        for (const auto& [Name, Content] : C.Outputs) {
            Expected.push_back(Name);
            EXPECT_EQ(Content, ReadFile(D / Name)) << Name;
        }
        std::sort(Expected.begin(), Expected.end());
        EXPECT_EQ(Expected, Names(D.Path()));
    }
}

// Every way of failing, 2,000 times, under a limit of 64 descriptors: a single leaked
// descriptor per file would exhaust it long before the good file at the end.
TEST(Fault, ManyFailingInputsUnderDescriptorLimit) {
    TempDir D;
    const Bytes Kinds[] = {
        Bytes{'n', 'o', 't', ' ', 'w', 'a', 'v', 'e'},                         // not RIFF
        Bytes{'R', 'I', 'F', 'F', 8, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't'}, // walk runs off
        ClaimsMore(Flat(50), 2),                                               // output created, read fails
        WaveBuilder().Fmt(1, 8000, 8).Data(Flat(10)).Build(),                  // refused format
    };
    std::string Expected;
    for (int I = 0; I < 2000; ++I) {
        char Name[16];
        std::snprintf(Name, sizeof Name, "f%04d.wav", I);
        const int Kind = I % 4;
        WriteFile(D / Name, Kinds[Kind]);
        if (Kind == 2) Expected += Name + std::string(" -- Corrupt\n");
        if (Kind == 3) Expected += Name + std::string("\n");
        Expected += Failed(Name);
    }
    WriteFile(D / "z.wav", PcmWave(Flat(300)));
    Expected += "z.wav\n";
    RunOptions O = In(D);
    O.OpenFilesLimit = 64;
    RunResult R = RunSonolift({"*.wav"}, O);
    EXPECT_EQ(0, R.Signal);
    EXPECT_EQ(0, R.Status);
    EXPECT_EQ("", R.Err);
    EXPECT_EQ(Expected, R.Out);
    // 2,001 entries: a 201-digit number
    EXPECT_EQ(PcmWave(Flat(300)), ReadFile(D / ("waveout-" + std::string(201, '0') + "-lift.wav")));
    EXPECT_EQ(2002u, Names(D.Path()).size());
}

// Entries that are not regular files never block the program: a FIFO, a dangling link, links
// to a device and to a folder are refused like unreadable files; a folder is never selected.
TEST(Fault, InputsThatAreNotRegularFiles) {
    TempDir D;
    WriteFile(D / "a.wav", PcmWave(Flat(300)));
    ASSERT_EQ(0, ::mkdir((D / "d.wav").c_str(), 0755));
    ASSERT_EQ(0, ::mkfifo((D / "f.wav").c_str(), 0644));
    ASSERT_EQ(0, ::symlink("missing.wav", (D / "l.wav").c_str()));
    ASSERT_EQ(0, ::symlink("d.wav", (D / "s.wav").c_str()));
    ASSERT_EQ(0, ::symlink("/dev/zero", (D / "z.wav").c_str()));

    RunResult R = RunSonolift({"*.wav"}, In(D));
    EXPECT_EQ(0, R.Signal);
    EXPECT_EQ(0, R.Status);
    EXPECT_EQ("", R.Err);
    EXPECT_EQ("a.wav\n" + Failed("f.wav") + Failed("l.wav") + Failed("s.wav") + Failed("z.wav"), R.Out);
    EXPECT_EQ(PcmWave(Flat(300)), ReadFile(D / "waveout-0-lift.wav"));

    R = RunSonolift({"d.wav", "d.wav/"}, In(D));
    EXPECT_EQ(0, R.Status);
    EXPECT_EQ("", R.Out + R.Err);
}

// Inputs that change between the expansion and their turn: a second run over a folder that
// holds the first run's outputs replaces them while they wait in the list.
TEST(Fault, InputReplacedBetweenExpansionAndProcessing) {
    const std::vector<int16_t> Old0 = Flat(120, 7), Old1 = Flat(80, 9), Music = Flat(300);
    struct Case {
        const char* What;
        Bytes First;
        std::string Out;
        std::map<std::string, Bytes> After;
    } Cases[] = {
        {"each input replaced by the output before it", PcmWave(Music),
         "a.wav\nwaveout-0-lift.wav\nwaveout-1-lift.wav\n",
         {{"waveout-0-lift.wav", PcmWave(Music)}, {"waveout-1-lift.wav", PcmWave(Music)},
          {"waveout-2-lift.wav", PcmWave(Music)}}},
        // the failed first file leaves only a creation header under the next input's name,
        // which then names its own output and is refused
        {"an input cut to a bare header", ClaimsMore(Music, 512),
         "a.wav -- Corrupt\n" + Failed("a.wav") + "waveout-0-lift.wav\n" + Failed("waveout-0-lift.wav") +
             "waveout-1-lift.wav\n",
         {{"waveout-0-lift.wav", PcmWave(Old1)}, {"waveout-1-lift.wav", PcmWave(Old1)}}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        TempDir D;
        WriteFile(D / "a.wav", C.First);
        WriteFile(D / "waveout-0-lift.wav", PcmWave(Old0));
        WriteFile(D / "waveout-1-lift.wav", PcmWave(Old1));
        RunResult R = RunSonolift({"*.wav"}, In(D));
        EXPECT_EQ(0, R.Status);
        EXPECT_EQ("", R.Err);
        EXPECT_EQ(C.Out, R.Out);
        EXPECT_EQ(C.First, ReadFile(D / "a.wav"));
        std::vector<std::string> Expected{"a.wav"};
        for (const auto& [Name, Content] : C.After) {
            Expected.push_back(Name);
            EXPECT_EQ(Content, ReadFile(D / Name)) << Name;
        }
        EXPECT_EQ(Expected, Names(D.Path()));
    }
}

// Good and bad inputs mixed, one given twice, under two sets of settings: every input keeps
// every byte, and the only new files are the outputs of the files that succeeded.
TEST(Fault, MixedRunLeavesInputsUntouched) {
    std::vector<int16_t> Tone;
    for (int I = 0; I < 3000; ++I) Tone.push_back(static_cast<int16_t>((I / 300 % 2 ? 30000 : 400) * ((I % 7) - 3) / 3));
    Bytes Short = WaveBuilder().Chunk("fmt ", Bytes{1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 1, 0, 2, 0}).Data(Tone).Build();
    const std::vector<std::pair<std::string, Bytes>> Inputs = {
        {"good.wav", PcmWave(Tone)},
        {"stereo.wav", PcmWave(Tone, 2, 22050)},
        {"riff-size.wav", WaveBuilder().Fmt(1, 44100, 16).Data(Tone).Build(100)},
        {"unknown-chunk.wav", WaveBuilder().Fmt(1, 44100, 16).Chunk("LIST", Bytes(9, 'x')).Data(Tone).Build()},
        {"two-fmt.wav", WaveBuilder().Fmt(2, 8000, 16).Fmt(1, 44100, 16).Data(Tone).Build()},
        {"8-bit.wav", WaveBuilder().Fmt(1, 8000, 8).Data(Tone).Build()},
        {"claims-more.wav", ClaimsMore(Tone, 1000)},
        {"no-block-align.wav", WaveBuilder().FmtRaw(1, 1, 44100, 88200, 0, 16).Data(Tone).Build()},
        {"short-fmt.wav", Short},
        {"text.wav", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}},
        {"eleven.wav", Bytes{'R', 'I', 'F', 'F', 3, 0, 0, 0, 'W', 'A', 'V'}},
        {"empty.wav", Bytes{}},
    };
    const std::vector<std::vector<std::string>> Settings = {{}, {"-r", "0", "-u", "400", "-n", "150", "-d", "7"}};
    for (const auto& Switches : Settings) {
        SCOPED_TRACE(Switches.size());
        TempDir D;
        std::vector<std::string> Files;
        for (const auto& [Name, Content] : Inputs) {
            WriteFile(D / Name, Content);
            Files.push_back(Name);
        }
        ::chmod((D / "good.wav").c_str(), 0444);
        std::vector<std::string> Args = Switches;
        Args.insert(Args.end(), Files.begin(), Files.end());
        Args.push_back("claims-more.wav");
        const auto Before = Digests(D, Files);
        RunResult R = RunSonolift(Args, In(D));
        EXPECT_EQ(0, R.Signal);
        EXPECT_EQ(0, R.Status);
        EXPECT_EQ("", R.Err);
        EXPECT_EQ(Before, Digests(D, Files));
        // good, stereo, riff-size (cut to its RIFF end), unknown-chunk and two-fmt succeed; the
        // other seven fail, one of them twice
        const size_t Failures = 8;
        // the last file, claims-more, fails after its output was created: a sixth output
        size_t Lines = 0;
        for (size_t At = R.Out.find("FileName: "); At != std::string::npos; At = R.Out.find("FileName: ", At + 1)) ++Lines;
        EXPECT_EQ(Failures, Lines) << R.Out;
        std::vector<std::string> Expected = Files;
        for (int N = 0; N <= 5; ++N) Expected.push_back("waveout-0" + std::to_string(N) + "-lift.wav"); // 13 entries
        std::sort(Expected.begin(), Expected.end());
        EXPECT_EQ(Expected, Names(D.Path()));
    }
}

// A step up as large as the switch allows ends at once and gives the same result as any
// step that overshoots the clip guard.
TEST(Fault, HugeGainStepUpFinishes) {
    std::vector<int16_t> Tone;
    for (int I = 0; I < 22050; ++I)
        Tone.push_back(static_cast<int16_t>((I / 2000 % 3 + 1) * 3000 * ((I % 9) - 4) / 4));
    std::map<std::string, std::pair<std::string, Bytes>> Results;
    for (const char* Up : {"100000", "2147483647"}) {
        TempDir D;
        WriteFile(D / "a.wav", PcmWave(Tone));
        RunResult R = RunSonolift({"-u", Up, "a.wav"}, In(D));
        ASSERT_EQ(0, R.Signal) << Up;
        EXPECT_EQ(0, R.Status);
        Results[Up] = {R.Out, ReadFile(D / "waveout-0-lift.wav")};
    }
    EXPECT_EQ(Results["100000"], Results["2147483647"]);
    EXPECT_NE(PcmWave(Tone), Results["100000"].second); // the gain did move
}
