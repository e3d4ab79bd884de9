#include "InProcess.h"
#include "TestSupport.h"
#include "TonebenchApp.h"
#include "vxSysUtils.h"

#include <cfloat>
#include <cmath>
#include <clocale>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

using inprocess::Capture;
using inprocess::Captured;
using inprocess::Startup;
using Names = std::vector<std::string>;

const std::string Hint = "Try `tool --help' for more information.\n";
constexpr int Throws = 99;

// Returns the scripted status for each file in turn (Throws: raises instead) and records what
// each call saw.
class TScriptApp : public vx::TTonebenchApp {
public:
    void BeginFiles() override { Log += "begin "; }
    int ProcessFile(const std::string& Path) override {
        Log += Path + ":" + std::to_string(FileIndex()) + ":" + OutName() + " ";
        const int Status = Script.at(Calls++);
        if (Status == Throws) throw std::runtime_error("escaped");
        return Status;
    }
    void EndFiles(int Status) override { Log += "end(" + std::to_string(Status) + ")"; }

    std::vector<int> Script;
    size_t Calls = 0;
    std::string Log;
};

class TonebenchTest : public ::testing::Test {
protected:
    void SetUp() override {
        Startup({});
        ASSERT_TRUE(Here.Ok());
        Cwd = vx::CurrentDir() + "/";
    }
    testsupport::TempDir Dir;
    inprocess::ChdirGuard Here{Dir.Path()};
    std::string Cwd;
};

TEST_F(TonebenchTest, FileLoopStatusProtocol) {
    struct Case {
        std::vector<int> Script;
        std::string Log;
        int Result;
        int64_t Processed;
    };
    const Case Cases[] = {
        {{0, -1, 0}, "a.wav:0:waveout-0 b.wav:1:waveout-1 c.wav:1:waveout-1 end(0)", 0, 2},
        {{-1, -1, -1}, "a.wav:0:waveout-0 b.wav:0:waveout-0 c.wav:0:waveout-0 end(0)", 0, 0},
        {{0, 0, -1}, "a.wav:0:waveout-0 b.wav:1:waveout-1 c.wav:2:waveout-2 end(0)", 0, 2},
        {{0, 2, 0}, "a.wav:0:waveout-0 b.wav:1:waveout-1 end(2)", 2, 1},
        {{-2, 0, 0}, "a.wav:0:waveout-0 end(-2)", -2, 0},
        {{Throws, 0, 0}, "a.wav:0:waveout-0 end(1)", 1, 0},
        {{0, Throws, 0}, "a.wav:0:waveout-0 b.wav:1:waveout-1 end(1)", 1, 1},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Log);
        TScriptApp App;
        App.Files() = {Cwd + "a.wav", Cwd + "b.wav", Cwd + "c.wav"};
        App.Script = C.Script;
        int Result = 0;
        const Captured R = Capture([&] { Result = App.Execute(); });
        EXPECT_EQ(R.Code, -1);
        EXPECT_EQ(R.Out + R.Err, "");
        EXPECT_EQ(App.Log, "begin " + C.Log);
        EXPECT_EQ(Result, C.Result);
        EXPECT_EQ(App.FileIndex(), C.Processed);
    }
}

TEST_F(TonebenchTest, ProcessFileGetsPathsRelativeToTheWorkingDirectory) {
    size_t Depth = 0;
    for (char Ch : Cwd) Depth += Ch == '/';
    std::string Climb;
    for (size_t I = 1; I < Depth; ++I) Climb += "../";
    TScriptApp App;
    App.Files() = {Cwd + "sub/b.wav", vx::ExpandFileName(Cwd + "../p.wav"), "/zz-outside/c.wav"};
    App.Script = {0, 0, 0};
    EXPECT_EQ(App.Execute(), 0);
    EXPECT_EQ(App.Log, "begin sub/b.wav:0:waveout-0 ../p.wav:1:waveout-1 " + Climb + "zz-outside/c.wav:2:waveout-2 end(0)");
}

TEST_F(TonebenchTest, OutNameWidthGrowsWithEveryTenEntries) {
    const std::pair<size_t, const char*> Widths[] = {
        {0, "waveout-0"}, {9, "waveout-0"}, {10, "waveout-00"}, {12, "waveout-00"},
        {25, "waveout-000"}, {100, "waveout-00000000000"},
    };
    for (const auto& [Count, Name] : Widths) {
        vx::TTonebenchApp App;
        App.Files().assign(Count, "/x.wav");
        EXPECT_EQ(App.OutName(), Name) << Count;
    }
    TScriptApp App;
    App.Files().assign(12, Cwd + "a.wav");
    App.Script.assign(12, 0);
    App.Script[0] = -1;
    EXPECT_EQ(App.Execute(), 0);
    EXPECT_NE(App.Log.find("a.wav:0:waveout-00 a.wav:0:waveout-00 a.wav:1:waveout-01 "), std::string::npos);
    EXPECT_NE(App.Log.find("a.wav:10:waveout-10 end(0)"), std::string::npos);

    vx::TTonebenchApp Old;
    Old.SetUseOldName(true);
    for (const auto& [File, Name] : {std::pair{"/data/a.b/take.wav", "take"}, {"/data/a.b/take", "take"},
                                     {"/data/x.tar.gz", "x.tar"}, {"/data/.hidden", ""}}) {
        Old.Files() = {File};
        EXPECT_EQ(Old.OutName(), Name) << File;
    }
}

TEST_F(TonebenchTest, CommandLineCollectsAndExpandsFileWords) {
    testsupport::WriteText(Dir / "b.wav", "x");
    testsupport::WriteText(Dir / "A.wav", "x");
    struct Case {
        std::vector<std::string> Words;
        Names Files;
        bool Verbose;
        std::string Err;
    };
    const Case Cases[] = {
        {{"b.wav", "*.wav", "none.wav", "sub/"}, {Cwd + "b.wav", Cwd + "A.wav", Cwd + "b.wav"}, false, ""},
        {{"-v"}, {}, true, ""},
        {{"*.txt", "--verbose"}, {}, true, ""},
        {{}, {}, false, "./tool: missing argument - file name required\n" + Hint},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Words.empty() ? "(no words)" : C.Words[0]);
        Startup(C.Words);
        vx::TTonebenchApp App;
        const Captured R = Capture([&] { App.Run(); });
        EXPECT_EQ(R.Code, C.Err.empty() ? -1 : 1);
        EXPECT_EQ(R.Err, C.Err);
        EXPECT_EQ(R.Out, "");
        EXPECT_EQ(App.Files(), C.Files);
        EXPECT_EQ(App.Verbose(), C.Verbose);
    }
}

TEST(TonebenchProgram, EmptyCommandLineAndVerboseAlone) {
    testsupport::TempDir Dir;
    testsupport::RunOptions Options;
    Options.Cwd = Dir.Path();
    Options.ArgZero = "./sonolift";
    testsupport::RunResult R = testsupport::RunSonolift({}, Options);
    EXPECT_EQ(R.Err, "./sonolift: missing argument - file name required\nTry `sonolift --help' for more information.\n");
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(R.Status, 1);
    R = testsupport::RunSonolift({"-v"}, Options);
    EXPECT_EQ(R.Out + R.Err, "");
    EXPECT_EQ(R.Status, 0);
}

template <class T>
struct ArgCase {
    const char* Text;
    T Min, Max;
    bool Accepted;
    T Value; // Value after the call; the initial 777 when the text does not convert
};

// Each rejected text ends the process with the usage error naming it.
template <class T>
void CheckParser(bool (vx::TTonebenchApp::*Parse)(const std::string&, T&, T, T), const std::vector<ArgCase<T>>& Cases) {
    Startup({});
    vx::TTonebenchApp App;
    for (const ArgCase<T>& C : Cases) {
        SCOPED_TRACE(std::string("text \"") + C.Text + "\"");
        T Value = 777;
        bool Result = false;
        const Captured R = Capture([&] { Result = (App.*Parse)(C.Text, Value, C.Min, C.Max); });
        EXPECT_EQ(Value, C.Value);
        if (C.Accepted) {
            EXPECT_TRUE(Result);
            EXPECT_EQ(R.Code, -1);
            EXPECT_EQ(R.Err, "");
        } else {
            EXPECT_EQ(R.Code, 1);
            EXPECT_EQ(R.Err, std::string("./tool: invalid argument usage ") + C.Text + "\n" + Hint);
        }
    }
}

TEST(ConversionHelpers, ParseIntArg) {
    const int64_t Lo = INT64_MIN, Hi = INT64_MAX;
    CheckParser<int64_t>(&vx::TTonebenchApp::ParseIntArg, {
        {"$10", Lo, Hi, true, 16}, {"0x1F", Lo, Hi, true, 31}, {"0X1f", Lo, Hi, true, 31},
        {"-$10", Lo, Hi, true, -16}, {" 7", Lo, Hi, true, 7}, {"  +7", Lo, Hi, true, 7},
        {"-7", Lo, Hi, true, -7}, {"007", Lo, Hi, true, 7},
        {"9223372036854775807", Lo, Hi, true, Hi}, {"-9223372036854775808", Lo, Hi, true, Lo},
        {"0x7fffffffffffffff", Lo, Hi, true, Hi},
        {"7 ", Lo, Hi, false, 777}, {"", Lo, Hi, false, 777}, {" ", Lo, Hi, false, 777},
        {"-", Lo, Hi, false, 777}, {"$", Lo, Hi, false, 777}, {"0x", Lo, Hi, false, 777},
        {"9223372036854775808", Lo, Hi, false, 777}, {"-9223372036854775809", Lo, Hi, false, 777},
        {"18446744073709551616", Lo, Hi, false, 777}, {"0x10000000000000000", Lo, Hi, false, 777},
        {"1.5", Lo, Hi, false, 777}, {"1e3", Lo, Hi, false, 777}, {"12abc", Lo, Hi, false, 777},
        {"+-1", Lo, Hi, false, 777}, {"- 1", Lo, Hi, false, 777}, {"$-5", Lo, Hi, false, 777},
        {"0x0x5", Lo, Hi, false, 777}, {"1_000", Lo, Hi, false, 777},
        // bounds are inclusive; an out-of-range value is stored before it is rejected
        {"1", 1, 4, true, 1}, {"4", 1, 4, true, 4}, {"0", 1, 4, false, 0}, {"$10", 1, 4, false, 16},
        {"-1", 0, 100, false, -1},
    });
}

TEST(ConversionHelpers, ParseFloatArg) {
    const double Lo = -DBL_MAX, Hi = DBL_MAX;
    CheckParser<double>(&vx::TTonebenchApp::ParseFloatArg, {
        {"1.5", Lo, Hi, true, 1.5}, {"  -2.5e1", Lo, Hi, true, -25}, {".5", Lo, Hi, true, 0.5},
        {"5.", Lo, Hi, true, 5}, {"1E2", Lo, Hi, true, 100}, {"+1e+2", Lo, Hi, true, 100},
        {"1e-2", Lo, Hi, true, 0.01}, {"0.1", Lo, Hi, true, 0.1}, {"007.50", Lo, Hi, true, 7.5},
        {"1.7976931348623157e308", Lo, Hi, true, DBL_MAX},
        // below the smallest double: the nearest double (0, or a subnormal) is taken
        {"1e-400", Lo, Hi, true, 0}, {"-4e-324", Lo, Hi, true, -4.9406564584124654e-324},
        {"", Lo, Hi, false, 777}, {".", Lo, Hi, false, 777}, {"e5", Lo, Hi, false, 777},
        {"1e", Lo, Hi, false, 777}, {"1e+", Lo, Hi, false, 777}, {"1,5", Lo, Hi, false, 777},
        {"0x10", Lo, Hi, false, 777}, {"$10", Lo, Hi, false, 777}, {"inf", Lo, Hi, false, 777},
        {"nan", Lo, Hi, false, 777}, {"1e400", Lo, Hi, false, 777}, {"1.5 ", Lo, Hi, false, 777},
        {"1.5.2", Lo, Hi, false, 777}, {"--1", Lo, Hi, false, 777}, {"1.5f", Lo, Hi, false, 777},
        {"100", 0, 100, true, 100}, {"0", 0, 100, true, 0},
        {"100.0001", 0, 100, false, 100.0001}, {"-0.5", 0, 100, false, -0.5},
    });
}

TEST(ConversionHelpers, ParseTimeArg) {
    const double Hi = 1e9;
    CheckParser<double>(&vx::TTonebenchApp::ParseTimeArg, {
        {"90", 0, Hi, true, 90}, {"90s", 0, Hi, true, 90}, {"1.5m", 0, Hi, true, 90},
        {"0.5h", 0, Hi, true, 1800}, {"2m", 0, Hi, true, 120}, {" 2h", 0, Hi, true, 7200},
        {"1e1m", 0, Hi, true, 600}, {".5m", 0, Hi, true, 30}, {"0.01s", 0, Hi, true, 0.01},
        {"2M", 0, Hi, false, 777}, {"2S", 0, Hi, false, 777}, {"2H", 0, Hi, false, 777},
        {"", 0, Hi, false, 777}, {"s", 0, Hi, false, 777}, {"2ms", 0, Hi, false, 777},
        {"2 m", 0, Hi, false, 777}, {"2m ", 0, Hi, false, 777}, {"1,5m", 0, Hi, false, 777},
        {"59s", 0, 59, true, 59}, {"1m", 0, 59, false, 60}, {"-1s", 0, Hi, false, -1},
        {"1e305h", 0, DBL_MAX, false, HUGE_VAL}, // the product overflows a double
    });
}

TEST(ConversionHelpers, ThePointIsTheSeparatorInAnyLocale) {
    for (const char* Name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8"}) {
        if (std::setlocale(LC_ALL, Name) == nullptr) continue;
        double V = 0;
        const bool Point = vx::TextToFloat("1.5", V);
        const double Converted = V;
        const bool Comma = vx::TextToFloat("1,5", V);
        std::setlocale(LC_ALL, "C");
        EXPECT_TRUE(Point) << Name;
        EXPECT_EQ(Converted, 1.5) << Name;
        EXPECT_FALSE(Comma) << Name;
    }
}

} // namespace
