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
        using T = TLogApp;
        AddSwitch("v", "verbose", Bind(&T::OnPlain), "plain");
        AddValueSwitch("r", "rate", Bind(&T::OnValue), false, "", "value");
        AddValueSwitch("d", "def", Bind(&T::OnValue), true, "42", "value, short form uses the default");
        AddOnOff("o", "onoff", "off");
        AddOnOff("q", "quiet", "");
        AddBlankLine("G1");
    }
    void HandleTextOnly(TvxConsoleApplication&, const std::string& Name, bool IsLong,
                        const std::string& Value) override {
        Log += "text(" + Name + Kind(IsLong) + ")=" + Value + " ";
    }
    void HandleNoArgs(TvxConsoleApplication&, const std::string& Name, bool IsLong) override {
        Log += "noargs(" + Name + Kind(IsLong) + ") ";
    }
    void HandleDoneArgs(TvxConsoleApplication&, const std::string&, bool) override { Log += "done"; }
    void OnPlain(TvxConsoleApplication&, const std::string& Name, bool IsLong) { Log += Name + Kind(IsLong) + " "; }
    void OnValue(TvxConsoleApplication&, const std::string& Name, bool IsLong, const std::string& Value) {
        Log += Name + Kind(IsLong) + "=" + Value + " ";
    }

    std::string Log;

private:
    static std::string Kind(bool IsLong) { return IsLong ? "/L" : "/S"; }
    void AddOnOff(const std::string& Short, const std::string& Long, const std::string& Default) {
        vx::TvxApplicationSwitchData Row;
        Row.ShortName = Short;
        Row.LongName = Long;
        Row.DefaultValue = Default;
        Row.Kind = vx::TvxSwitchKind::skOnOff;
        Row.StateHandler = [this](TvxConsoleApplication&, const std::string& Name, bool IsLong, vx::TvxSwitchState S) {
            Log += Name + Kind(IsLong) + (S == vx::TvxSwitchState::ssOn ? ":on " : ":off ");
        };
        AddSwitchData(Row);
    }
};

TEST(ParseCommandLine, WordsReachTheirHandlersOrEndWithAUsageError) {
    struct Case {
        Words In;
        std::string Log;
        std::string Error; // first line after the executable path; empty when parsing completes
    };
    const Case Cases[] = {
        {{}, "noargs(/S) done", ""},
        {{"-vr", "x"}, "v/S r/S=x done", ""},
        {{"--verbose", "-v"}, "verbose/L v/S done", ""},
        {{"--rate", "-5"}, "rate/L=-5 done", ""},
        {{"--rate", "5+"}, "rate/L=5+ done", ""},
        {{"--rate", "-12"}, "rate/L=-1 ", ": unrecognized option -2"},
        {{"--rate"}, "", ": missing argument --rate"},
        {{"-v", "-r"}, "v/S ", ": missing argument -r"},
        {{"--rate+", "1"}, "", ": unrecognized option --rate+"},
        {{"--verbose+"}, "", ": unrecognized option --verbose+"},
        {{"-v-"}, "", ": unrecognized option -v-"},
        {{"file-", "-", ""}, "text(/S)=file- text(/S)=- text(/S)= done", ""},
        {{"-a b"}, "", ": unrecognized option -a b"},
        {{"--"}, "", ": unrecognized option --"},
        {{"-+"}, "", ": unrecognized option -+"},
        {{"-x", "--help"}, "", ": unrecognized option -x"},
        {{"--Help"}, "", ": unrecognized option --Help"},
        {{"--!Blank.G1"}, "done", ""},
        {{"-d", "7"}, "d/S=42 text(/S)=7 done", ""},
        {{"--def", "7"}, "def/L=7 done", ""},
        {{"-o", "-o+", "--onoff-", "--onoff+"}, "o/S:off o/S:on onoff/L:off onoff/L:on done", ""},
        {{"--quiet+", "-q-"}, "quiet/L:on q/S:off done", ""},
        {{"-q"}, "", ": unrecognized option -q"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.In.empty() ? "(no words)" : C.In[0]);
        Startup(C.In);
        TLogApp App;
        const Captured R = Capture([&] { App.ParseCommandLine(); });
        EXPECT_EQ(App.Log, C.Log);
        EXPECT_EQ(R.Out, "");
        if (C.Error.empty()) {
            EXPECT_EQ(R.Code, -1);
            EXPECT_EQ(R.Err, "");
        } else {
            EXPECT_EQ(R.Code, 1);
            EXPECT_EQ(R.Err, "./tool" + C.Error + "\n" + Hint("tool"));
        }
    }
}

TEST(EventOperations, DispatchThroughTheInternalEntries) {
    struct Case {
        void (*Call)(TvxConsoleApplication&);
        std::string Err;
    };
    const std::string Hinted = Hint("tool");
    const Case Cases[] = {
        {[](TvxConsoleApplication& A) { A.DoInvalid("12x"); }, "/x/tool: invalid argument usage 12x\n" + Hinted},
        {[](TvxConsoleApplication& A) { A.DoUnrecognized("-z"); }, "/x/tool: unrecognized option -z\n" + Hinted},
        {[](TvxConsoleApplication& A) { A.DoMissing("--m"); }, "/x/tool: missing argument --m\n" + Hinted},
        {[](TvxConsoleApplication& A) { A.DoTextOnly("w"); }, "/x/tool: unrecognized option w\n" + Hinted},
        {[](TvxConsoleApplication& A) { A.InternalError(); }, "/x/tool: internal error\n"},
        {[](TvxConsoleApplication& A) { A.TerminateWith(1); }, ""},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Err);
        Startup({}, "/x/tool");
        TvxConsoleApplication App;
        const Captured R = Capture([&] { C.Call(App); });
        EXPECT_EQ(R.Code, 1);
        EXPECT_EQ(R.Err, C.Err);
        EXPECT_EQ(R.Out, "");
    }
    // The base reactions to no words and to the end of the words do nothing.
    TvxConsoleApplication App;
    const Captured R = Capture([&] {
        App.DoNoArgs();
        App.DoDoneArgs();
    });
    EXPECT_EQ(R.Code, -1);
    EXPECT_EQ(R.Err + R.Out, "");
}

TEST(SwitchTable, FrameworkEntriesComeFirstAndTheFirstMatchWins) {
    Startup({});
    TLogApp App;
    const char* const Expected[][3] = {
        {"!Invalid", "", "internal"}, {"!Unrecognized", "", "internal"},
        {"!Missing", "", "internal"}, {"!TextOnly", "", "internal"},
        {"!NoArgs", "", "internal"},  {"!DoneArgs", "", "internal"},
        {"", "help", "display this help and exit"},
        {"", "version", "output version information and exit"},
    };
    ASSERT_GE(App.Switches().size(), std::size(Expected));
    for (size_t I = 0; I < std::size(Expected); ++I) {
        const vx::TvxApplicationSwitchData& Row = App.Switches()[I];
        EXPECT_EQ(Row.ShortName + "|" + Row.LongName + "|" + Row.HelpText,
                  std::string(Expected[I][0]) + "|" + Expected[I][1] + "|" + Expected[I][2]);
        EXPECT_EQ(Row.Kind, I < 4 ? vx::TvxSwitchKind::skValue : vx::TvxSwitchKind::skPlain);
    }

    App.AddSwitch("v", "second", nullptr, "a duplicate short name");
    vx::TvxApplicationSwitchData Row;
    ASSERT_TRUE(App.FindSwitch(false, "v", Row));
    EXPECT_EQ(Row.LongName, "verbose");
    ASSERT_TRUE(App.FindSwitch(true, "second", Row));
    EXPECT_EQ(Row.ShortName, "v");
    ASSERT_TRUE(App.FindSwitch(true, "", Row));
    EXPECT_EQ(Row.ShortName, "!Invalid");
    ASSERT_TRUE(App.FindSwitch(false, "", Row));
    EXPECT_EQ(Row.LongName, "help");
    ASSERT_TRUE(App.FindSwitch(true, "!Blank.G1", Row));
    EXPECT_EQ(Row.HelpText, "Blank Line G1");
    EXPECT_FALSE(App.FindSwitch(false, "V", Row));
    EXPECT_FALSE(App.FindSwitch(true, "Verbose", Row));
    EXPECT_FALSE(App.FindSwitch(false, "verbose", Row));
}

class TLayoutApp : public TvxConsoleApplication {
public:
    TLayoutApp() {
        AddRow("!Comment.1", "", "Options:");
        AddBlankLine("B");
        AddSwitch("x", "extralongname", nullptr, "long one");
        AddSwitch("y", "", nullptr, "short only");
        AddRow("!Hidden", "invisible-entry", "never shown"); // the longest long name
    }
    void VersionExtra() override { vx::WriteOut("extra line\n"); }

private:
    void AddRow(const std::string& Short, const std::string& Long, const std::string& Help) {
        vx::TvxApplicationSwitchData Row;
        Row.ShortName = Short;
        Row.LongName = Long;
        Row.HelpText = Help;
        AddSwitchData(Row);
    }
};

TEST(HelpAndVersion, ColumnsFollowTheLongestLongNameOfAnyEntry) {
    Startup({}, "/x/tool");
    vx::ProgramInfo.Usage = "";
    vx::ProgramInfo.Description = "";
    vx::ProgramInfo.Epilogue = "See also.";
    vx::ProgramInfo.EMail = "";
    TLayoutApp App;
    // W is 15, so every help text starts in column 26.
    const auto Blanks = [](size_t N) { return std::string(N, ' '); };
    const std::string Help = "Usage: tool \n"
                             "\n"
                             "      --help" + Blanks(13) + "display this help and exit\n"
                             "      --version" + Blanks(10) + "output version information and exit\n"
                             "Options:\n"
                             "\n"
                             "  -x, --extralongname" + Blanks(4) + "long one\n"
                             "  -y" + Blanks(21) + "short only\n"
                             "\n"
                             "See also.\n";
    EXPECT_EQ(App.HelpText(), Help);
    Captured R = Capture([&] { App.HandleHelp(App, "help", true); });
    EXPECT_EQ(R.Code, 0);
    EXPECT_EQ(R.Out, Help);

    vx::ProgramInfo.Name = "tool";
    vx::ProgramInfo.Package = "";
    vx::ProgramInfo.Version = "";
    vx::ProgramInfo.Author = "";
    vx::ProgramInfo.Rights = "";
    vx::ProgramInfo.Year = "1999";
    vx::ProgramInfo.Company = "Co";
    EXPECT_EQ(App.VersionText(), "tool\n\nCopyright (C) 1999 Co\n\n");
    R = Capture([&] { App.HandleVersion(App, "version", true); });
    EXPECT_EQ(R.Code, 0);
    EXPECT_EQ(R.Out, "tool\n\nextra line\nCopyright (C) 1999 Co\n\n");
}

// The child tool built on the bare base class.
TEST(BaseTool, ExitStatusesOfTheRunSequence) {
    const std::string Version = "basetool \"./basetool\" (nopackage) 0.0.0\n"
                                "Written by some people.\n"
                                "\n"
                                "Copyright (C) 2003 by a unknown company\n"
                                "This is free software under the MIT license; it comes with NO WARRANTY.\n";
    const std::string Help = "Usage: basetool [OPTION]\n"
                             "A program.\n"
                             "\n"
                             "      --help     display this help and exit\n"
                             "      --version  output version information and exit\n"
                             "\n"
                             "Report bugs to <nobody@example.invalid>\n";
    struct Case {
        Words Args;
        std::string ExecuteStatus; // empty: the base class itself
        std::string Out;
        std::string Err;
        int Status;
    };
    const Case Cases[] = {
        {{}, "", "", "", 0},
        {{"word"}, "", "", "./basetool: unrecognized option word\n" + Hint("basetool"), 1},
        {{}, "2", "", "", 2},
        {{}, "0", "destroyed\n", "", 0},
        {{"--version", "-x"}, "", Version, "", 0},
        {{"-x", "--version"}, "", "", "./basetool: unrecognized option -x\n" + Hint("basetool"), 1},
        {{"--help", "word", "-x"}, "2", Help, "", 0},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Args.empty() ? "(no words) " + C.ExecuteStatus : C.Args[0]);
        testsupport::RunOptions Options;
        Options.ArgZero = "./basetool";
        if (!C.ExecuteStatus.empty()) Options.Env = {"BASETOOL_EXECUTE=" + C.ExecuteStatus};
        const testsupport::RunResult R = testsupport::Run(BASETOOL_BINARY, C.Args, Options);
        EXPECT_EQ(R.Out, C.Out);
        EXPECT_EQ(R.Err, C.Err);
        EXPECT_EQ(R.Status, C.Status);
    }
}

const char* const SonoliftRows = "\n"
                                 "      --help            display this help and exit\n"
                                 "      --version         output version information and exit\n"
                                 "\n"
                                 "  -v, --verbose         enable verbose comments\n"
                                 "  -r, --rate            dynamic amp rate of change, [0+] default 0.01s\n"
                                 "  -u, --up              speed of volume increase, [1+] default 5\n"
                                 "  -d, --down            speed of volume reduction, [1+] default 1\n"
                                 "  -p, --peak            target peak volume percentage, [high..100] default 95.00\n"
                                 "  -h, --high            target volume percentage, [low..100] default 90.00\n"
                                 "  -l, --low             volume muting percentage, [0..high] default 1.00\n"
                                 "  -m, --max             maximum amount of amplification, [min..100000] \n"
                                 "  -n, --min             minimum amount of amplification, [0..max] \n"
                                 "\n"
                                 "Report bugs to <sonolift-bugs@users.noreply.sonolift.invalid>\n";

std::string SonoliftVersion(const std::string& FirstWord) {
    return FirstWord + " (tonebench) 0.1.0\n"
                       "Written by the sonolift developers.\n"
                       "\n"
                       "Copyright (C) 2004 the sonolift developers\n"
                       "This is free software under the MIT license; it comes with NO WARRANTY.\n";
}

TEST(SonoliftTexts, HelpVersionAndUsageErrorsUnderEitherName) {
    testsupport::TempDir Dir;
    const std::string Link = Dir / "lift2";
    ASSERT_EQ(::symlink(testsupport::SonoliftBinary().c_str(), Link.c_str()), 0);
    struct Case {
        std::string Program;
        std::string ArgZero;
        Words Args;
        std::string Out;
        std::string Err;
        int Status;
    };
    const std::string Real = testsupport::SonoliftBinary();
    const std::string Usage = "Usage: sonolift [file...]\nwave file dynamic amplification utility.\n";
    const Case Cases[] = {
        {Real, "sonolift", {"--help", "-x"}, Usage + SonoliftRows, "", 0},
        {Real, "./sonolift", {"--version"}, SonoliftVersion("sonolift"), "", 0},
        {Real, "./sonolift", {"-x", "--help"}, "", "./sonolift: unrecognized option -x\n" + Hint("sonolift"), 1},
        {Link, "", {"--help"}, "Usage: lift2 [file...]\nwave file dynamic amplification utility.\n" + std::string(SonoliftRows), "", 0},
        {Link, "", {"--version"}, SonoliftVersion("lift2 \"sonolift\""), "", 0},
        {Link, "", {"--rate"}, "", Link + ": missing argument --rate\n" + Hint("lift2"), 1},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Program + " " + C.Args[0]);
        testsupport::RunOptions Options;
        Options.Cwd = Dir.Path();
        Options.ArgZero = C.ArgZero;
        const testsupport::RunResult R = testsupport::Run(C.Program, C.Args, Options);
        EXPECT_EQ(R.Out, C.Out);
        EXPECT_EQ(R.Err, C.Err);
        EXPECT_EQ(R.Status, C.Status);
    }
}

} // namespace
