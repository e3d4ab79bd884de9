// Faults from outside the program, end to end with the real binary: outputs that cannot be
// files, a file-size limit, a descriptor limit, inputs that are not regular files or change
// behind the program's back. Whatever happens, no input changes and no stray file appears.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace testsupport;

namespace {

std::string Failed(const std::string& Name) { return "FileName: " + Name + " is not a wave file.\n"; }

// Samples that never cross zero: no segment ends, the gain stays 100 and an output holds the
// input's samples unchanged, so a finished output is PcmWave of the same samples.
std::vector<int16_t> Flat(size_t Count, int16_t Value = 1000) { return std::vector<int16_t>(Count, Value); }

// A mono file whose data chunk (and RIFF size) claim Extra bytes more than the file holds.
Bytes ClaimsMore(const std::vector<int16_t>& Samples, uint32_t Extra) {
    Bytes Payload;
    for (int16_t S : Samples) Put16(Payload, static_cast<uint16_t>(S));
    const int32_t Size = static_cast<int32_t>(Payload.size() + Extra);
    return WaveBuilder().Fmt(1, 44100, 16).ChunkWithSize("data", Size, Payload).Build(36 + Size);
}

std::vector<std::string> Names(const std::string& Dir) {
    std::set<std::string> N;
    for (const auto& E : std::filesystem::directory_iterator(Dir)) N.insert(E.path().filename().string());
    return {N.begin(), N.end()};
}

std::map<std::string, std::string> Digests(const TempDir& D, const std::vector<std::string>& Files) {
    std::map<std::string, std::string> M;
    for (const std::string& F : Files) M[F] = Digest(D / F);
    return M;
}

// The time-out is a guard against a hang, not a measurement.
RunOptions In(const TempDir& D) { RunOptions O; O.Cwd = D.Path(), O.TimeoutSeconds = 60; return O; }

// A finished run: not killed, status 0, nothing on standard error, the expected listing.
void ExpectRun(const RunResult& R, const std::string& Out) {
    EXPECT_EQ(std::tuple(0, 0, std::string()), std::tuple(R.Signal, R.Status, R.Err));
    EXPECT_EQ(Out, R.Out);
}

// Names must be the inputs and the outputs with their contents, nothing else.
void ExpectFiles(const TempDir& D, std::vector<std::string> Names, const std::map<std::string, Bytes>& Outputs) {
    for (const auto& [Name, Content] : Outputs) {
        Names.push_back(Name);
        EXPECT_EQ(Content, ReadFile(D / Name)) << Name;
    }
    std::sort(Names.begin(), Names.end());
    EXPECT_EQ(Names, ::Names(D.Path()));
}

} // namespace

// An output name that cannot become a regular file: creating it fails without blocking, the
// entry is left as it was and the loop goes on with the next file. (An output that is the
// input under another name is covered end to end with the amplifier.)
TEST(Fault, OutputNameThatCannotBeCreated) {
    for (const bool Fifo : {false, true}) {
        SCOPED_TRACE(Fifo ? "FIFO" : "symbolic link to /dev/full");
        TempDir D;
        WriteFile(D / "a.wav", PcmWave(Flat(300)));
        WriteFile(D / "b.wav", PcmWave(Flat(200)));
        const std::string Out = D / "waveout-0-lift.wav";
        ASSERT_EQ(0, Fifo ? ::mkfifo(Out.c_str(), 0644) : ::symlink("/dev/full", Out.c_str()));
        struct stat Before {}, After {};
        const auto Inputs = Digests(D, {"a.wav", "b.wav"});
        ASSERT_EQ(0, ::lstat(Out.c_str(), &Before));
        ExpectRun(RunSonolift({"a.wav", "b.wav"}, In(D)), "a.wav\n" + Failed("a.wav") + "b.wav\n" + Failed("b.wav"));
        ASSERT_EQ(0, ::lstat(Out.c_str(), &After));
        EXPECT_EQ(Inputs, Digests(D, {"a.wav", "b.wav"}));
        EXPECT_TRUE(Before.st_mode == After.st_mode && Before.st_ino == After.st_ino);
        ExpectFiles(D, {"a.wav", "b.wav", "waveout-0-lift.wav"}, {});
    }
}

// A write refused for the file-size limit fails that file like any other write failure (the
// process is not killed): the partial output stays and the loop goes on.
TEST(Fault, FileSizeLimit) {
    const std::vector<int16_t> Small = Flat(100, 700), Big = Flat(2000, 1000);
    // what a created output holds before it is finished: the default format, sizes 36 and 0
    const Bytes BigWave = PcmWave(Big), Header = WaveBuilder().Fmt(2, 44100, 16).Data({}).Build();
    Bytes Partial = Header;
    Partial.insert(Partial.end(), BigWave.begin() + 44, BigWave.begin() + 1000);
    const struct {
        int64_t Limit;
        std::string Out;
        std::map<std::string, Bytes> Outputs;
    } Cases[] = {
        // inside the data of the second file: its creation header and the samples that fit
        {1000, "1.wav\n2.wav\n" + Failed("2.wav") + Failed("3.txt"),
         {{"waveout-0-lift.wav", PcmWave(Small)}, {"waveout-1-lift.wav", Partial}}},
        // inside the header: no output can be created
        {20, "1.wav\n" + Failed("1.wav") + "2.wav\n" + Failed("2.wav") + Failed("3.txt"),
         {{"waveout-0-lift.wav", Bytes(Header.begin(), Header.begin() + 20)}}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Limit);
        TempDir D;
        WriteFile(D / "1.wav", PcmWave(Small));
        WriteFile(D / "2.wav", BigWave);
        WriteText(D / "3.txt", "not a wave file\n");
        RunOptions O = In(D);
        O.FileSizeLimit = C.Limit;
        ExpectRun(RunSonolift({"1.wav", "2.wav", "3.txt"}, O), C.Out);
        ExpectFiles(D, {"1.wav", "2.wav", "3.txt"}, C.Outputs);
    }
}

// Every way of failing, 2,000 times, under a limit of 64 descriptors: a single leaked
// descriptor per file would exhaust it long before the good file at the end.
TEST(Fault, ManyFailingInputsUnderDescriptorLimit) {
    TempDir D;
    const Bytes Kinds[] = {Bytes{'n', 'o', 't', ' ', 'w', 'a', 'v', 'e'},                         // not RIFF
                           Bytes{'R', 'I', 'F', 'F', 8, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't'}, // walk runs off
                           ClaimsMore(Flat(50), 2), // output created, read fails
                           WaveBuilder().Fmt(1, 8000, 8).Data(Flat(10)).Build()}; // refused format
    std::string Expected;
    for (int I = 0; I < 2000; ++I) {
        const std::string Name = std::to_string(10000 + I).replace(0, 1, "f") + ".wav"; // f0000.wav ...
        WriteFile(D / Name, Kinds[I % 4]);
        Expected += (I % 4 == 2 ? Name + " -- Corrupt\n" : I % 4 == 3 ? Name + "\n" : "") + Failed(Name);
    }
    WriteFile(D / "z.wav", PcmWave(Flat(300)));
    Expected += "z.wav\n";
    RunOptions O = In(D);
    O.OpenFilesLimit = 64;
    ExpectRun(RunSonolift({"*.wav"}, O), Expected);
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
    for (const auto& [Target, Link] : {std::pair{"missing.wav", "l.wav"}, {"d.wav", "s.wav"}, {"/dev/zero", "z.wav"}})
        ASSERT_EQ(0, ::symlink(Target, (D / Link).c_str())) << Link;
    ExpectRun(RunSonolift({"*.wav"}, In(D)), "a.wav\n" + Failed("f.wav") + Failed("l.wav") + Failed("s.wav") + Failed("z.wav"));
    EXPECT_EQ(PcmWave(Flat(300)), ReadFile(D / "waveout-0-lift.wav"));
    ExpectRun(RunSonolift({"d.wav", "d.wav/"}, In(D)), "");
}

// An input cut short between the expansion and its turn: the failed first file leaves only a
// creation header under the name of the next input, which then names its own output and is
// refused; the one after it is processed.
TEST(Fault, InputTruncatedBetweenExpansionAndProcessing) {
    TempDir D;
    const Bytes First = ClaimsMore(Flat(300), 512);
    WriteFile(D / "a.wav", First);
    WriteFile(D / "waveout-0-lift.wav", PcmWave(Flat(120, 7)));
    WriteFile(D / "waveout-1-lift.wav", PcmWave(Flat(80, 9)));
    ExpectRun(RunSonolift({"*.wav"}, In(D)), "a.wav -- Corrupt\n" + Failed("a.wav") + "waveout-0-lift.wav\n" +
                                                  Failed("waveout-0-lift.wav") + "waveout-1-lift.wav\n");
    EXPECT_EQ(First, ReadFile(D / "a.wav"));
    ExpectFiles(D, {"a.wav"}, {{"waveout-0-lift.wav", PcmWave(Flat(80, 9))}, {"waveout-1-lift.wav", PcmWave(Flat(80, 9))}});
}

// Good and bad inputs mixed, one given twice, under two sets of settings: every input keeps
// every byte, and the only new files are the outputs of the files that succeeded.
TEST(Fault, MixedRunLeavesInputsUntouched) {
    std::vector<int16_t> Tone;
    for (int I = 0; I < 3000; ++I) Tone.push_back(static_cast<int16_t>((I / 300 % 2 ? 30000 : 400) * ((I % 7) - 3) / 3));
    Bytes Short = WaveBuilder().Chunk("fmt ", Bytes{1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 1, 0, 2, 0}).Data(Tone).Build();
    const std::vector<std::pair<std::string, Bytes>> Inputs = {
        {"good.wav", PcmWave(Tone)}, {"stereo.wav", PcmWave(Tone, 2, 22050)},
        {"riff-size.wav", WaveBuilder().Fmt(1, 44100, 16).Data(Tone).Build(100)},
        {"unknown-chunk.wav", WaveBuilder().Fmt(1, 44100, 16).Chunk("LIST", Bytes(9, 'x')).Data(Tone).Build()},
        {"two-fmt.wav", WaveBuilder().Fmt(2, 8000, 16).Fmt(1, 44100, 16).Data(Tone).Build()},
        {"8-bit.wav", WaveBuilder().Fmt(1, 8000, 8).Data(Tone).Build()}, {"claims-more.wav", ClaimsMore(Tone, 1000)},
        {"no-block-align.wav", WaveBuilder().FmtRaw(1, 1, 44100, 88200, 0, 16).Data(Tone).Build()},
        {"short-fmt.wav", Short}, {"text.wav", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}},
        {"eleven.wav", Bytes{'R', 'I', 'F', 'F', 3, 0, 0, 0, 'W', 'A', 'V'}}, {"empty.wav", Bytes{}},
    };
    for (const std::vector<std::string>& Switches : {std::vector<std::string>{}, {"-r", "0", "-u", "400", "-n", "150", "-d", "7"}}) {
        SCOPED_TRACE(Switches.size());
        TempDir D;
        std::vector<std::string> Files, Args = Switches;
        for (const auto& [Name, Content] : Inputs) WriteFile(D / Name, Content), Files.push_back(Name), Args.push_back(Name);
        ::chmod((D / "good.wav").c_str(), 0444);
        Args.push_back("claims-more.wav");
        const auto Before = Digests(D, Files);
        const RunResult R = RunSonolift(Args, In(D));
        ExpectRun(R, R.Out); // the listing is counted below
        EXPECT_EQ(Before, Digests(D, Files));
        // good, stereo, riff-size (cut to its RIFF end), unknown-chunk and two-fmt succeed; the
        // other seven fail, claims-more twice; the second time, last of all, it leaves the output
        // it created: a sixth
        size_t Lines = 0;
        for (size_t At = R.Out.find("FileName: "); At != std::string::npos; At = R.Out.find("FileName: ", At + 1)) ++Lines;
        EXPECT_EQ(8u, Lines) << R.Out;
        for (int N = 0; N <= 5; ++N) Files.push_back("waveout-0" + std::to_string(N) + "-lift.wav"); // 13 entries
        std::sort(Files.begin(), Files.end());
        EXPECT_EQ(Files, Names(D.Path()));
    }
}
