#include "InProcess.h"
#include "TestSupport.h"
#include "vxConsole.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using inprocess::Capture;
using inprocess::Captured;
using inprocess::Startup;
using vx::TvxConsoleApplication;
using Words = std::vector<std::string>;

std::string Hint(const std::string& Name) { return "Try `" + Name + " --help' for more information.\n"; }

// Records every handler call as a short text: name, /L or /S, and the value or state.
class TLogApp : public TvxConsoleApplication {
public:
    TLogApp() {
        AddSwitch("v", "verbose", [this](auto&, auto& Name, bool L) { Log += Name + Kind(L) + " "; }, "plain");
        AddValueSwitch("r", "rate", Bind(&TLogApp::OnValue), false, "", "value");
        AddValueSwitch("d", "def", Bind(&TLogApp::OnValue), true, "42", "value, short form uses the default");
        for (const auto& [Short, Long, Default] : {std::tuple{"o", "onoff", "off"}, {"q", "quiet", ""}}) {
            vx::TvxApplicationSwitchData R;
            R.ShortName = Short, R.LongName = Long, R.DefaultValue = Default, R.Kind = vx::TvxSwitchKind::skOnOff;
            R.StateHandler = [this](auto&, const std::string& Name, bool L, vx::TvxSwitchState S) {
                Log += Name + Kind(L) + (S == vx::TvxSwitchState::ssOn ? ":on " : ":off ");
            };
            AddSwitchData(R);
        }
        AddBlankLine("G1");
    }
    void HandleTextOnly(TvxConsoleApplication&, const std::string&, bool, const std::string& V) override { Log += "text=" + V + " "; }
    void HandleNoArgs(TvxConsoleApplication&, const std::string&, bool) override { Log += "noargs "; }
    void HandleDoneArgs(TvxConsoleApplication&, const std::string&, bool) override { Log += "done"; }
    void OnValue(TvxConsoleApplication&, const std::string& Name, bool L, const std::string& V) { Log += Name + Kind(L) + "=" + V + " "; }
    static std::string Kind(bool IsLong) { return IsLong ? "/L" : "/S"; }
    std::string Log;
};

// Error is the first line after the executable path; empty when parsing completes.
TEST(ParseCommandLine, WordsReachTheirHandlersOrEndWithAUsageError) {
    const struct { Words In; std::string Log, Error; } Cases[] = {
        {{}, "noargs done", ""},                            {{"-vr", "x"}, "v/S r/S=x done", ""},
        {{"--verbose", "-v"}, "verbose/L v/S done", ""},    {{"--rate", "-5"}, "rate/L=-5 done", ""},
        {{"--rate", "-12"}, "rate/L=-1 ", ": unrecognized option -2"}, // split before parsing
        {{"--rate"}, "", ": missing argument --rate"},      {{"-v", "-r"}, "v/S ", ": missing argument -r"},
        {{"--rate+", "1"}, "", ": unrecognized option --rate+"}, {{"-v-"}, "", ": unrecognized option -v-"},
        {{"file-", "-", ""}, "text=file- text=- text= done", ""}, {{"--"}, "", ": unrecognized option --"},
        {{"-x", "--help"}, "", ": unrecognized option -x"}, {{"--Help"}, "", ": unrecognized option --Help"},
        {{"--!Blank.G1"}, "done", ""},                      {{"-d", "7"}, "d/S=42 text=7 done", ""},
        {{"--def", "7"}, "def/L=7 done", ""},               {{"-q"}, "", ": unrecognized option -q"},
        {{"-o", "-o+", "--onoff-", "--onoff+"}, "o/S:off o/S:on onoff/L:off onoff/L:on done", ""},
        {{"--quiet+", "-q-"}, "quiet/L:on q/S:off done", ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.In.empty() ? "(no words)" : C.In[0]);
        Startup(C.In);
        TLogApp App;
        const Captured R = Capture([&] { App.ParseCommandLine(); });
        const std::string Err = C.Error.empty() ? "" : "./tool" + C.Error + "\n" + Hint("tool");
        EXPECT_EQ(std::tie(App.Log, R.Out, R.Err, R.Code), std::tuple(C.Log, "", Err, C.Error.empty() ? -1 : 1));
    }
}

TEST(EventOperations, DispatchThroughTheInternalEntries) {
    using Call = void (*)(TvxConsoleApplication&);
    const std::string Usage = "\n" + Hint("tool");
    const std::pair<Call, std::string> Cases[] = {
        {[](TvxConsoleApplication& A) { A.DoInvalid("12x"); }, "/x/tool: invalid argument usage 12x" + Usage},
        {[](TvxConsoleApplication& A) { A.DoUnrecognized("-z"); }, "/x/tool: unrecognized option -z" + Usage},
        {[](TvxConsoleApplication& A) { A.DoMissing("--m"); }, "/x/tool: missing argument --m" + Usage},
        {[](TvxConsoleApplication& A) { A.DoTextOnly("w"); }, "/x/tool: unrecognized option w" + Usage},
        {[](TvxConsoleApplication& A) { A.InternalError(); }, "/x/tool: internal error\n"},
        {[](TvxConsoleApplication& A) { A.TerminateWith(1); }, ""},
    };
    Startup({}, "/x/tool");
    for (const auto& [Do, Err] : Cases) {
        TvxConsoleApplication App;
        const Captured R = Capture([&, Do = Do] { Do(App); });
        EXPECT_EQ(std::pair(R.Code, R.Err + R.Out), std::pair(1, Err));
    }
}

// The framework's entries come first: the internal ones (whose short names are their names), then
// help and version.
TEST(SwitchTable, FindSwitchMatchesCaseSensitivelyAndTheFirstMatchWins) {
    Startup({});
    TLogApp App;
    App.AddSwitch("v", "second", nullptr, "a duplicate short name");
    for (const auto& [IsLong, Name, Found] :
         {std::tuple{false, "v", "v|verbose"}, {true, "second", "v|second"}, {true, "", "!Invalid|"}, {false, "", "|help"},
          {true, "!Blank.G1", "!Blank.G1|!Blank.G1"}, {false, "V", ""}, {true, "Verbose", ""}, {false, "verbose", ""}}) {
        vx::TvxApplicationSwitchData Row;
        EXPECT_EQ(App.FindSwitch(IsLong, Name, Row) ? Row.ShortName + "|" + Row.LongName : "", Found) << Name;
    }
}

class TLayoutApp : public TvxConsoleApplication {
public:
    TLayoutApp() {
        AddSwitch("!Comment.1", "", nullptr, "Options:");
        AddBlankLine("B");
        AddSwitch("x", "extralongname", nullptr, "long one");
        AddSwitch("y", "", nullptr, "short only");
        AddSwitch("!Hidden", "invisible-entry", nullptr, "never shown"); // the longest long name
    }
    void VersionExtra() override { vx::WriteOut("extra line\n"); }
};

TEST(HelpAndVersion, ColumnsFollowTheLongestLongNameOfAnyEntry) {
    Startup({}, "/x/tool");
    vx::TProgramInfo& Info = vx::ProgramInfo;
    Info.Usage = Info.Description = Info.EMail = Info.Package = Info.Version = Info.Author = Info.Rights = "";
    Info.Epilogue = "See also.", Info.Name = "tool", Info.Year = "1999", Info.Company = "Co";
    TLayoutApp App;
    // W is 15, so every help text starts in column 26.
    const std::string Help = "Usage: tool \n\n"
                             "      --help             display this help and exit\n"
                             "      --version          output version information and exit\n"
                             "Options:\n\n"
                             "  -x, --extralongname    long one\n"
                             "  -y                     short only\n"
                             "\nSee also.\n";
    const Captured H = Capture([&] { App.HandleHelp(App, "help", true); });
    const Captured V = Capture([&] { App.HandleVersion(App, "version", true); });
    EXPECT_EQ(std::tuple(App.VersionText(), H.Out + V.Out, H.Code, V.Code),
              std::tuple("tool\n\nCopyright (C) 1999 Co\n\n", Help + "tool\n\nextra line\nCopyright (C) 1999 Co\n\n", 0, 0));
}

struct ChildCase { std::string Program, ArgZero; Words Args; std::string Out, Err; int Status; Words Env = {}; };

// BaseTool is the bare base class; BASETOOL_EXECUTE makes its Execute return that status.
TEST(ChildTools, ExitStatusesHelpVersionAndUsageErrorsUnderEitherName) {
    const std::string BaseVersion = "basetool \"./basetool\" (nopackage) 0.0.0\nWritten by some people.\n\n"
                                    "Copyright (C) 2003 by a unknown company\n"
                                    "This is free software under the MIT license; it comes with NO WARRANTY.\n";
    const std::string BaseHelp = "Usage: basetool [OPTION]\nA program.\n\n"
                                 "      --help     display this help and exit\n"
                                 "      --version  output version information and exit\n"
                                 "\nReport bugs to <nobody@example.invalid>\n";
    const std::string Rows = "\n      --help            display this help and exit\n"
                             "      --version         output version information and exit\n\n"
                             "  -v, --verbose         enable verbose comments\n"
                             "  -r, --rate            dynamic amp rate of change, [0+] default 0.01s\n"
                             "  -u, --up              speed of volume increase, [1+] default 5\n"
                             "  -d, --down            speed of volume reduction, [1+] default 1\n"
                             "  -p, --peak            target peak volume percentage, [high..100] default 95.00\n"
                             "  -h, --high            target volume percentage, [low..100] default 90.00\n"
                             "  -l, --low             volume muting percentage, [0..high] default 1.00\n"
                             "  -m, --max             maximum amount of amplification, [min..100000] \n"
                             "  -n, --min             minimum amount of amplification, [0..max] \n\n"
                             "Report bugs to <sonolift-bugs@users.noreply.sonolift.invalid>\n";
    const auto Version = [](const std::string& FirstWord) {
        return FirstWord + " (tonebench) 0.1.0\nWritten by the sonolift developers.\n\nCopyright (C) 2004 the sonolift "
                           "developers\nThis is free software under the MIT license; it comes with NO WARRANTY.\n";
    };
    const auto Usage = [](const std::string& N) { return "Usage: " + N + " [file...]\nwave file dynamic amplification utility.\n"; };
    testsupport::TempDir Dir;
    const std::string Tool = BASETOOL_BINARY, Rejected = "./basetool: unrecognized option ";
    const std::string Real = testsupport::SonoliftBinary(), Link = Dir / "lift2";
    ASSERT_EQ(::symlink(Real.c_str(), Link.c_str()), 0);
    const ChildCase Cases[] = {
        {Tool, "./basetool", {}, "", "", 0},
        {Tool, "./basetool", {"word"}, "", Rejected + "word\n" + Hint("basetool"), 1},
        {Tool, "./basetool", {}, "", "", 2, {"BASETOOL_EXECUTE=2"}}, // ends before the destructor
        {Tool, "./basetool", {}, "destroyed\n", "", 0, {"BASETOOL_EXECUTE=0"}},
        {Tool, "./basetool", {"--version", "-x"}, BaseVersion, "", 0},
        {Tool, "./basetool", {"-x", "--version"}, "", Rejected + "-x\n" + Hint("basetool"), 1},
        {Tool, "./basetool", {"--help", "word", "-x"}, BaseHelp, "", 0, {"BASETOOL_EXECUTE=2"}},
        {Real, "sonolift", {"--help", "-x"}, Usage("sonolift") + Rows, "", 0},
        {Real, "./sonolift", {"--version"}, Version("sonolift"), "", 0},
        {Real, "./sonolift", {}, "", "./sonolift: missing argument - file name required\n" + Hint("sonolift"), 1},
        {Real, "./sonolift", {"-v"}, "", "", 0},
        {Link, "", {"--help"}, Usage("lift2") + Rows, "", 0},
        {Link, "", {"--version"}, Version("lift2 \"sonolift\""), "", 0},
        {Link, "", {"--rate"}, "", Link + ": missing argument --rate\n" + Hint("lift2"), 1},
    };
    for (const ChildCase& C : Cases) {
        testsupport::RunOptions Options;
        Options.Cwd = Dir.Path(), Options.ArgZero = C.ArgZero, Options.Env = C.Env;
        const testsupport::RunResult R = testsupport::Run(C.Program, C.Args, Options);
        SCOPED_TRACE(C.Program + " " + (C.Args.empty() ? "(no words)" : C.Args[0]) + (C.Env.empty() ? "" : C.Env[0]));
        EXPECT_EQ(std::tie(R.Out, R.Err, R.Status), std::tie(C.Out, C.Err, C.Status));
    }
}

} // namespace
