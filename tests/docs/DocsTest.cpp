// The README's switch table, the bash completion and the demo's level chart, checked against
// the built programs, so the documentation cannot drift from the code.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

struct TSwitch {
    std::string Short; // without the dash; empty for long-only switches
    std::string Long;
    std::string Default; // "–" in the README, empty in the help text, when there is none
    std::string Range;
};

std::string Text(const std::string& Path) {
    const Bytes B = ReadFile(Path);
    return std::string(B.begin(), B.end());
}

std::vector<TSwitch> HelpSwitches() {
    const RunResult R = RunSonolift({"--help"});
    EXPECT_EQ(R.Status, 0);
    std::vector<TSwitch> Out;
    const std::regex Row(R"(^  (?:-(\w), |    )--([a-z]+) +(.*)$)");
    const std::regex Range(R"((\[[^\]]*\]))");
    const std::regex Default(R"(default (\S+)$)");
    std::istringstream In(R.Out);
    for (std::string Line; std::getline(In, Line);) {
        std::smatch M, Part;
        if (!std::regex_match(Line, M, Row)) continue;
        TSwitch S{M[1], M[2], "", ""};
        const std::string Help = M[3];
        if (std::regex_search(Help, Part, Range)) S.Range = Part[1];
        if (std::regex_search(Help, Part, Default)) S.Default = Part[1];
        Out.push_back(S);
    }
    return Out;
}

// Rows of the form | `-r`, `--rate` | `0.01s` | `[0+]` | effect |
std::vector<TSwitch> ReadmeSwitches() {
    std::vector<TSwitch> Out;
    const std::regex Row(R"(^\| (?:`-(\w)`, )?`--([a-z]+)` \| (`[^`]*`|–) \| (`[^`]*`|–) \| .+ \|$)");
    std::istringstream In(Text(SONOLIFT_README));
    for (std::string Line; std::getline(In, Line);) {
        std::smatch M;
        if (!std::regex_match(Line, M, Row)) continue;
        auto Bare = [](const std::string& Cell) { return Cell == "–" ? std::string() : Cell.substr(1, Cell.size() - 2); };
        Out.push_back(TSwitch{M[1], M[2], Bare(M[3]), Bare(M[4])});
    }
    return Out;
}

int StatusOf(const std::vector<std::string>& Args) { return RunSonolift(Args).Status; }

RunResult Levels(const TempDir& Dir, const std::string& File) {
    RunOptions Options;
    Options.Cwd = Dir.Path();
    return Run(SONOLIFT_DEMO_LEVELS, {File}, Options);
}

} // namespace

TEST(Readme, SwitchTableAgreesWithHelp) {
    const std::vector<TSwitch> Help = HelpSwitches();
    ASSERT_EQ(Help.size(), 11u) << "help rows not recognised";
    std::map<std::string, TSwitch> Readme;
    for (const TSwitch& S : ReadmeSwitches()) EXPECT_TRUE(Readme.emplace(S.Long, S).second) << "twice: --" << S.Long;
    EXPECT_EQ(Readme.size(), Help.size()) << "the README's table must list every switch of the help text";
    for (const TSwitch& H : Help) {
        SCOPED_TRACE("--" + H.Long);
        auto It = Readme.find(H.Long);
        ASSERT_NE(It, Readme.end()) << "missing from the README's table";
        EXPECT_EQ(It->second.Short, H.Short);
        EXPECT_EQ(It->second.Range, H.Range);
        if (!H.Default.empty()) {
            EXPECT_EQ(It->second.Default, H.Default);
        }
    }
}

// The help text shows no default for max and min; their defaults show in each other's bounds.
TEST(Readme, DefaultsTheHelpDoesNotShow) {
    std::map<std::string, std::string> Default;
    for (const TSwitch& S : ReadmeSwitches()) Default[S.Long] = S.Default;
    const long Max = std::stol(Default.at("max"));
    const long Min = std::stol(Default.at("min"));
    EXPECT_EQ(StatusOf({"--min", std::to_string(Max - 1)}), 0);
    EXPECT_EQ(StatusOf({"--min", std::to_string(Max)}), 1);
    EXPECT_EQ(StatusOf({"--max", std::to_string(Min + 1)}), 0);
    EXPECT_EQ(StatusOf({"--max", std::to_string(Min)}), 1);
}

TEST(Completion, OffersEverySwitchAndSkipsValues) {
    const std::string Script = Text(SONOLIFT_COMPLETION);
    std::smatch Words, Values;
    ASSERT_TRUE(std::regex_search(Script, Words, std::regex(R"(compgen -W '([^']*)')")));
    ASSERT_TRUE(std::regex_search(Script, Values, std::regex(R"(case \$prev in\s+([^)]*)\))")));
    auto Has = [](const std::string& List, const std::string& Word) {
        return std::regex_search(List, std::regex("(^|[\\s|])" + Word + "($|[\\s|])"));
    };
    for (const TSwitch& S : HelpSwitches()) {
        const bool TakesValue = !S.Range.empty();
        for (const std::string& Name : {S.Short.empty() ? "" : "-" + S.Short, "--" + S.Long}) {
            if (Name.empty()) continue;
            EXPECT_TRUE(Has(Words[1], Name)) << Name;
            EXPECT_EQ(Has(Values[1], Name), TakesValue) << Name;
        }
    }
}

// 1.5 s at 8000 Hz: a full-scale half second, one at a tenth of full scale, one of silence.
TEST(DemoLevels, ChartOfHalfSecondPeaks) {
    TempDir Dir;
    std::vector<int16_t> Samples(12000, 0);
    Samples[10] = -32767;
    Samples[4000] = 3277;
    Samples[4001] = -3000;
    WriteFile(Dir / "in.wav", PcmWave(Samples, 1, 8000));
    const RunResult R = Levels(Dir, "in.wav");
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Out, "peak per half second in dBFS (each # is 2.5 dB above -60 dBFS)\n\n"
                     "  time  in.wav\n"
                     "  0.0s     0.0 ########################\n"
                     "  0.5s   -20.0 ################\n"
                     "  1.0s    -inf\n");
    const RunResult Bad = Levels(Dir, "missing.wav");
    EXPECT_EQ(Bad.Status, 1);
    EXPECT_EQ(Bad.Out, "");
}
