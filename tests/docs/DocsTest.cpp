// The README's switch table, the bash completion and the demo's level chart, checked against
// the built programs, so the documentation cannot drift from the code.
#include "TestSupport.h"
#include "WaveRecipe.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

using namespace testsupport;

namespace {

// Short name (without the dash), default and range of each switch, by long name; empty when
// there is none.
using TSwitches = std::map<std::string, std::array<std::string, 3>>;

TSwitches Switches(const std::string& Text, const char* Row) {
    TSwitches Out;
    const std::regex R(Row);
    std::istringstream In(Text);
    std::smatch M;
    for (std::string Line; std::getline(In, Line);)
        if (std::regex_match(Line, M, R)) {
            EXPECT_TRUE(Out.emplace(M[2], std::array<std::string, 3>{M[1], M[3], M[4]}).second) << "twice: " << M[2];
        }
    return Out;
}

// Rows of the form "  -r, --rate            dynamic amp rate of change, [0+] default 0.01s";
// the look-ahead takes the default first, as the README's table has it.
TSwitches HelpSwitches() {
    const RunResult R = RunSonolift({"--help"});
    EXPECT_EQ(R.Status, 0);
    return Switches(R.Out, R"(^  (?:-(\w), |    )--([a-z]+) +(?=(?:.* default (\S+))?)[^\[]*(\[[^\]]*\])?.*$)");
}

std::string Text(const std::string& Path) { const Bytes B = ReadFile(Path); return {B.begin(), B.end()}; }

} // namespace

TEST(Readme, SwitchTableAgreesWithHelp) {
    TSwitches Help = HelpSwitches();
    ASSERT_EQ(Help.size(), 11u) << "help rows not recognised";
    // Rows of the form | `-r`, `--rate` | `0.01s` | `[0+]` | effect |
    const TSwitches Readme =
        Switches(Text(SONOLIFT_README), R"(^\| (?:`-(\w)`, )?`--([a-z]+)` \| (?:`([^`]*)`|–) \| (?:`([^`]*)`|–) \| .+ \|$)");
    // The help shows no default for max and min; they show in each other's bounds instead.
    const long Max = std::stol(Readme.at("max")[1]), Min = std::stol(Readme.at("min")[1]);
    for (const auto& [Switch, Value, Status] : std::initializer_list<std::tuple<const char*, long, int>>{
             {"--min", Max - 1, 0}, {"--min", Max, 1}, {"--max", Min + 1, 0}, {"--max", Min, 1}})
        EXPECT_EQ(RunSonolift({Switch, std::to_string(Value)}).Status, Status) << Switch << " " << Value;
    for (const char* Name : {"max", "min"})
        if (Help.at(Name)[1].empty()) Help.at(Name)[1] = Readme.at(Name)[1];
    EXPECT_EQ(Readme, Help);
}

TEST(Completion, OffersEverySwitchAndSkipsValues) {
    const std::string Script = Text(SONOLIFT_COMPLETION);
    std::smatch Words, Values;
    ASSERT_TRUE(std::regex_search(Script, Words, std::regex(R"(compgen -W '([^']*)')")));
    ASSERT_TRUE(std::regex_search(Script, Values, std::regex(R"(case \$prev in\s+([^)]*)\))")));
    auto Has = [](const std::string& List, const std::string& Word) {
        return std::regex_search(List, std::regex("(^|[\\s|])" + Word + "($|[\\s|])"));
    };
    for (const auto& [Long, S] : HelpSwitches())
        for (const std::string& Name : {S[0].empty() ? "--" + Long : "-" + S[0], "--" + Long}) {
            EXPECT_TRUE(Has(Words[1], Name)) << Name;
            EXPECT_EQ(Has(Values[1], Name), !S[2].empty()) << Name; // a range means a value follows
        }
}

// 1.5 s at 8000 Hz: a full-scale half second, one at a tenth of full scale, one of silence.
TEST(DemoLevels, ChartOfHalfSecondPeaks) {
    TempDir Dir;
    WriteFile(Dir / "in.wav", testwave::Build("pcm16 1 8000 data (0)x10 -32767 (0)x3989 3277 -3000 (0)x7998"));
    RunOptions Options;
    Options.Cwd = Dir.Path();
    const RunResult R = testsupport::Run(SONOLIFT_DEMO_LEVELS, {"in.wav"}, Options);
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Out, "peak per half second in dBFS (each # is 2.5 dB above -60 dBFS)\n\n"
                     "  time  in.wav\n"
                     "  0.0s     0.0 ########################\n"
                     "  0.5s   -20.0 ################\n"
                     "  1.0s    -inf\n");
    const RunResult Bad = testsupport::Run(SONOLIFT_DEMO_LEVELS, {"missing.wav"}, Options);
    EXPECT_EQ(Bad.Status, 1);
    EXPECT_EQ(Bad.Out, "");
}
