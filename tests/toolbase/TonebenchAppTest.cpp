#include "InProcess.h"
#include "TestSupport.h"
#include "TonebenchApp.h"
#include "vxSysUtils.h"

#include <algorithm>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <stdexcept>
#include <tuple>

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
    std::string Log;
    size_t Calls = 0;
};

class TonebenchTest : public ::testing::Test {
protected:
    void SetUp() override { Startup({}), Cwd = vx::CurrentDir() + "/"; ASSERT_TRUE(Here.Ok()); }
    testsupport::TempDir Dir;
    inprocess::ChdirGuard Here{Dir.Path()};
    std::string Cwd;
};

// -1 skips a file without using up its number, any other non-zero status ends the run, and so
// does a failure escaping ProcessFile, with status 1 and no message.
TEST_F(TonebenchTest, FileLoopStatusProtocol) {
    const struct { std::vector<int> Script; std::string Log; int Result; int64_t Processed; } Cases[] = {
        {{0, -1, 0}, "a.wav:0:waveout-0 b.wav:1:waveout-1 c.wav:1:waveout-1 end(0)", 0, 2},
        {{0, 2, 0}, "a.wav:0:waveout-0 b.wav:1:waveout-1 end(2)", 2, 1},
        {{-2, 0, 0}, "a.wav:0:waveout-0 end(-2)", -2, 0},
        {{0, Throws, 0}, "a.wav:0:waveout-0 b.wav:1:waveout-1 end(1)", 1, 1},
    };
    for (const auto& C : Cases) {
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

TEST_F(TonebenchTest, OutNameWidthGrowsWithEveryTenEntries) {
    for (const auto& [Count, Name] : {std::pair<size_t, const char*>{9, "waveout-0"}, {10, "waveout-00"},
                                      {12, "waveout-00"}, {25, "waveout-000"}, {100, "waveout-00000000000"}}) {
        vx::TTonebenchApp App;
        App.Files().assign(Count, "/x.wav");
        EXPECT_EQ(App.OutName(), Name) << Count;
    }
    // ProcessFile gets paths relative to the working directory, with "../" steps for files
    // outside it, and a skipped file leaves no gap in the numbering.
    std::string Climb;
    for (size_t I = 1; I < static_cast<size_t>(std::count(Cwd.begin(), Cwd.end(), '/')); ++I) Climb += "../";
    TScriptApp App;
    App.Files() = {Cwd + "sub/b.wav", vx::ExpandFileName(Cwd + "../p.wav"), "/zz-outside/c.wav"};
    App.Files().resize(12, Cwd + "a.wav");
    App.Script = {-1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(App.Execute(), 0);
    EXPECT_EQ(App.Log.substr(0, App.Log.find(" a.wav")), "begin sub/b.wav:0:waveout-00 ../p.wav:0:waveout-00 " + Climb +
                                                           "zz-outside/c.wav:1:waveout-01");
    EXPECT_NE(App.Log.find(" a.wav:10:waveout-10 end(0)"), std::string::npos);

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
    const struct { Names Words, Files; std::string Err; } Cases[] = {
        {{"b.wav", "*.wav", "none.wav", "sub/", "-v"}, {Cwd + "b.wav", Cwd + "A.wav", Cwd + "b.wav"}, ""},
        {{"*.txt", "--verbose"}, {}, ""},
        {{}, {}, "./tool: missing argument - file name required\n" + Hint},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Words.size());
        Startup(C.Words);
        vx::TTonebenchApp App;
        const Captured R = Capture([&] { App.Run(); });
        EXPECT_EQ(R.Code, C.Err.empty() ? -1 : 1);
        EXPECT_EQ(R.Err + R.Out, C.Err);
        EXPECT_EQ(App.Files(), C.Files);
        EXPECT_EQ(App.Verbose(), C.Err.empty());
    }
}

// Good texts convert over the type's whole range; bad ones do not convert, so Value keeps 777.
// Bounds rows {text, min, max, accepted, value}: a converted number is stored even when its
// bounds refuse it. A refused text ends the process with the usage error naming it.
template <class T>
void CheckParser(bool (vx::TTonebenchApp::*Parse)(const std::string&, T&, T, T),
                 const std::vector<std::pair<const char*, T>>& Good, const std::vector<const char*>& Bad,
                 std::vector<std::tuple<const char*, T, T, bool, T>> Bounds) {
    const T Lo = std::numeric_limits<T>::lowest(), Hi = std::numeric_limits<T>::max();
    for (const auto& [Text, Value] : Good) Bounds.emplace_back(Text, Lo, Hi, true, Value);
    for (const char* Text : Bad) Bounds.emplace_back(Text, Lo, Hi, false, 777);
    Startup({});
    vx::TTonebenchApp App;
    for (const auto& [Text, Min, Max, Accepted, Expected] : Bounds) {
        SCOPED_TRACE(std::string("text \"") + Text + "\"");
        T Value = 777;
        bool Result = false;
        const Captured R = Capture([&, Text = Text, Min = Min, Max = Max] { Result = (App.*Parse)(Text, Value, Min, Max); });
        EXPECT_EQ(Value, Expected);
        EXPECT_EQ(Result, Accepted);
        EXPECT_EQ(R.Code, Accepted ? -1 : 1);
        EXPECT_EQ(R.Err, Accepted ? "" : std::string("./tool: invalid argument usage ") + Text + "\n" + Hint);
    }
}

TEST(ConversionHelpers, ParseIntArg) {
    CheckParser<int64_t>(&vx::TTonebenchApp::ParseIntArg,
        {{"$10", 16}, {"0x1F", 31}, {"0X1f", 31}, {"-$10", -16}, {"  +7", 7}, {"007", 7},
         {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN}},
        {"7 ", "", "-", "0x", "1.5", "1e3", "9223372036854775808", "-9223372036854775809", "18446744073709551616",
         "+-1", "$-5", "0x0x5"},
        {{"1", 1, 4, true, 1}, {"4", 1, 4, true, 4}, {"0", 1, 4, false, 0}, {"$10", 1, 4, false, 16}});
}

TEST(ConversionHelpers, ParseFloatArg) {
    CheckParser<double>(&vx::TTonebenchApp::ParseFloatArg,
        {{"  -2.5e1", -25}, {".5", 0.5}, {"5.", 5}, {"1E2", 100}, {"+1e+2", 100}, {"0.1", 0.1}, {"007.50", 7.5},
         {"1.7976931348623157e308", DBL_MAX},
         // below the smallest double: the nearest double (0, or a subnormal) is taken
         {"1e-400", 0}, {"-4e-324", -4.9406564584124654e-324}},
        {"", ".", "e5", "1e", "1e+", "1,5", "0x10", "$10", "inf", "nan", "1e400", "1.5 ", "1.5.2", "--1"},
        {{"100", 0, 100, true, 100}, {"0", 0, 100, true, 0}, {"100.0001", 0, 100, false, 100.0001}});
}

TEST(ConversionHelpers, ParseTimeArg) {
    CheckParser<double>(&vx::TTonebenchApp::ParseTimeArg,
        {{"90", 90}, {"90s", 90}, {"1.5m", 90}, {"0.5h", 1800}, {" 2h", 7200}, {"1e1m", 600}, {".5m", 30},
         {"0.01s", 0.01}},
        {"2M", "2S", "2H", "", "s", "2ms", "2 m", "2m ", "1,5m"},
        {{"59s", 0, 59, true, 59}, {"1m", 0, 59, false, 60}, {"-1s", 0, 1e9, false, -1},
         {"1e305h", 0, DBL_MAX, false, HUGE_VAL}}); // the product overflows a double
}

TEST(ConversionHelpers, ThePointIsTheSeparatorInAnyLocale) {
    for (const char* Name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8"}) {
        if (std::setlocale(LC_ALL, Name) == nullptr) continue;
        double Point = 0, Comma = 0;
        const bool Ok = vx::TextToFloat("1.5", Point) && Point == 1.5 && !vx::TextToFloat("1,5", Comma);
        std::setlocale(LC_ALL, "C");
        EXPECT_TRUE(Ok) << Name;
    }
}

} // namespace
