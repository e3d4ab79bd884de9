// The README's switch table, checked against the built program's help, so the documentation
// cannot drift from the code.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <regex>
#include <sstream>
#include <string>

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

std::string Text(const std::string& Path) { const Bytes B = ReadFile(Path); return {B.begin(), B.end()}; }

} // namespace

TEST(Readme, SwitchTableAgreesWithHelp) {
    // Rows of the form "  -r, --rate            dynamic amp rate of change, [0+] default 0.01s";
    // the look-ahead takes the default first, as the README's table has it.
    const RunResult R = testsupport::Run(SONOLIFT_BINARY, {"--help"});
    ASSERT_EQ(R.Status, 0);
    TSwitches Help = Switches(R.Out, R"(^  (?:-(\w), |    )--([a-z]+) +(?=(?:.* default (\S+))?)[^\[]*(\[[^\]]*\])?.*$)");
    ASSERT_EQ(Help.size(), 11u) << "help rows not recognised";
    // Rows of the form | `-r`, `--rate` | `0.01s` | `[0+]` | effect |
    const TSwitches Readme =
        Switches(Text(SONOLIFT_README), R"(^\| (?:`-(\w)`, )?`--([a-z]+)` \| (?:`([^`]*)`|–) \| (?:`([^`]*)`|–) \| .+ \|$)");
    // The help shows no default for max and min (each bounds the other); the cases pin these.
    Help.at("max")[1] = "10000", Help.at("min")[1] = "0";
    EXPECT_EQ(Readme, Help);
}
