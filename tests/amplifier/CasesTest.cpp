// The program end to end on the cases of the *.cases files beside this source: each case makes
// its files in a fresh folder, runs sonolift (argument zero "sonolift", LC_ALL=C) and checks
// standard output, standard error, the exit status and every file left behind: inputs
// unchanged, outputs byte for byte, nothing else. Every case is also run by the plain build
// (one system call per request) and the small-window build, which must leave exactly the same
// outcome; a case marked "sweep" is run by all three under many file-size limits besides.
//
// A case is a block of lines ('#' starts a comment):
//   case NAME                     starts it
//   file NAME RECIPE              an input, written from a recipe (see WaveRecipe.h)
//   link|symlink NAME TARGET, fifo NAME, dir NAME, chmod MODE NAME    other entries
//   cwd DIR, env NAME=VALUE, limit fsize|nofile N                     how sonolift runs
//   run WORD...                   the command line after argument zero
//   out TEXT, err TEXT            a line of standard output or error (the text after one blank)
//   overloads POS S G1 G2         the overload lines of sample S at POS for gains G1 down to G2
//   status N                      the exit status (default 0)
//   expect NAME RECIPE            an output file
//   expect NAME from IN gains I:G...  IN's samples amplified from sample index I on with gain G
//   compare                       checked only against the other builds, not against lines
//   sweep                         also run under many file-size limits
#include "TestSupport.h"
#include "WaveRecipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

struct TCase {
    std::string Name, Where;
    std::vector<std::vector<std::string>> Setup; // file, link, symlink, fifo, dir, chmod lines
    std::map<std::string, std::string> Recipes;
    std::vector<std::string> Args, Env = {"LC_ALL=C"};
    std::string Cwd, Out, Err;
    int Status = 0;
    int64_t FileSize = -1, OpenFiles = -1;
    std::map<std::string, Bytes> Expected;
    bool Sweep = false, Compare = false; // Compare: checked only against the other builds
};

std::vector<std::string> Split(const std::string& Line) {
    std::istringstream In(Line);
    std::vector<std::string> W;
    for (std::string S; In >> S;) W.push_back(S);
    return W;
}

std::string Rest(const std::string& Line, size_t Words) {
    size_t At = 0;
    for (size_t I = 0; I < Words && At != std::string::npos; ++I) At = Line.find_first_not_of(' ', Line.find(' ', At));
    return At == std::string::npos ? "" : Line.substr(At);
}

testwave::Bytes Expectation(const TCase& C, const std::vector<std::string>& W, const std::string& Line) {
    if (W.size() < 3 || W[2] != "from") return testwave::Build(Rest(Line, 2));
    testwave::TGains Gains;
    for (size_t I = 5; I < W.size(); ++I) Gains.emplace_back(std::stoll(W[I]), std::stoll(W[I].substr(W[I].find(':') + 1)));
    return testwave::Amplified(C.Recipes.at(W[3]), Gains);
}

std::vector<TCase> LoadCases() {
    std::vector<TCase> Cases;
    std::vector<fs::path> Files;
    for (const auto& E : fs::directory_iterator(SONOLIFT_CASES))
        if (E.path().extension() == ".cases") Files.push_back(E.path());
    std::sort(Files.begin(), Files.end());
    for (const fs::path& F : Files) {
        std::ifstream In(F);
        int N = 0;
        for (std::string Line; std::getline(In, Line);) {
            ++N;
            const std::vector<std::string> W = Split(Line);
            if (W.empty() || W[0][0] == '#') continue;
            const std::string Where = F.filename().string() + ":" + std::to_string(N);
            if (W[0] == "case") {
                Cases.emplace_back();
                Cases.back().Name = Rest(Line, 1), Cases.back().Where = Where;
                continue;
            }
            if (Cases.empty()) throw std::runtime_error(Where + ": no case yet");
            TCase& C = Cases.back();
            if (W[0] == "file" || W[0] == "link" || W[0] == "symlink" || W[0] == "fifo" || W[0] == "dir" || W[0] == "chmod") {
                C.Setup.push_back(W);
                if (W[0] == "file") C.Recipes[W[1]] = Rest(Line, 2);
            } else if (W[0] == "cwd") { // run in this folder of the case's folder
                C.Cwd = W[1];
            } else if (W[0] == "env") {
                C.Env.push_back(W[1]);
            } else if (W[0] == "run") {
                C.Args.assign(W.begin() + 1, W.end());
            } else if (W[0] == "out" || W[0] == "err") { // the text after one blank, as it stands
                (W[0] == "out" ? C.Out : C.Err) += (Line.size() > 4 ? Line.substr(4) : "") + "\n";
            } else if (W[0] == "overloads") { // POS S G1 G2: a line for each gain from G1 down to G2
                for (int64_t G = std::stoll(W[3]); G >= std::stoll(W[4]); --G)
                    C.Out += "Overload " + W[1] + " " + W[2] + " " + std::to_string(testwave::AmplifyInt(std::stoll(W[2]), G)) + "\n";
            } else if (W[0] == "status") {
                C.Status = std::stoi(W[1]);
            } else if (W[0] == "limit") {
                (W[1] == "fsize" ? C.FileSize : C.OpenFiles) = std::stoll(W[2]);
            } else if (W[0] == "expect") {
                C.Expected[W[1]] = Expectation(C, W, Line);
            } else if (W[0] == "sweep") {
                C.Sweep = true;
            } else if (W[0] == "compare") {
                C.Compare = true;
            } else {
                throw std::runtime_error(Where + ": unknown word " + W[0]);
            }
        }
    }
    return Cases;
}

// Every entry of a folder tree: a file by its bytes, a link by its target, other kinds by their kind.
std::map<std::string, std::string> Listing(const std::string& Dir) {
    std::map<std::string, std::string> L;
    for (const auto& E : fs::recursive_directory_iterator(Dir)) {
        const std::string Name = fs::relative(E.path(), Dir).string();
        if (E.is_symlink()) L[Name] = "link to " + fs::read_symlink(E.path()).string();
        else if (E.is_regular_file()) { const Bytes B = ReadFile(E.path().string()); L[Name] = std::string(B.begin(), B.end()); }
        else L[Name] = E.is_directory() ? "folder" : "other";
    }
    return L;
}

struct TOutcome {
    RunResult R;
    std::map<std::string, std::string> Before, After;
    std::string Text() const { // all of it, for comparing builds
        std::string T = std::to_string(R.Status) + "/" + std::to_string(R.Signal) + "\n" + R.Out + "--\n" + R.Err + "--\n";
        for (const auto& [Name, Content] : After) T += Name + " " + std::to_string(Content.size()) + " " + std::to_string(std::hash<std::string>{}(Content)) + "\n";
        return T;
    }
};

TOutcome RunCase(const std::string& Program, const TCase& C, int64_t FileSize) {
    TempDir D;
    for (const auto& W : C.Setup) {
        const std::string Path = D / W[1];
        bool Ok = true;
        if (W[0] == "file") WriteFile(Path, testwave::Build(C.Recipes.at(W[1])));
        else if (W[0] == "link") Ok = ::link((D / W[2]).c_str(), Path.c_str()) == 0;
        else if (W[0] == "symlink") Ok = ::symlink(W[2].c_str(), Path.c_str()) == 0;
        else if (W[0] == "fifo") Ok = ::mkfifo(Path.c_str(), 0644) == 0;
        else if (W[0] == "dir") Ok = ::mkdir(Path.c_str(), 0755) == 0;
        else if (W[0] == "chmod") Ok = ::chmod((D / W[2]).c_str(), static_cast<mode_t>(std::stoul(W[1], nullptr, 8))) == 0;
        if (!Ok) throw std::runtime_error(C.Where + ": cannot make " + W[1]);
    }
    RunOptions O;
    O.Cwd = D / C.Cwd, O.ArgZero = "sonolift", O.Env = C.Env;
    O.FileSizeLimit = FileSize, O.OpenFilesLimit = C.OpenFiles, O.TimeoutSeconds = 60;
    TOutcome Outcome;
    Outcome.Before = Listing(D.Path());
    Outcome.R = Run(Program, C.Args, O);
    Outcome.After = Listing(D.Path());
    return Outcome;
}

const std::string Twins[] = {SONOLIFT_PLAIN, SONOLIFT_W4096};

TEST(Cases, EachCaseGivesItsStreamsStatusAndFiles) {
    const std::vector<TCase> Cases = LoadCases();
    ASSERT_FALSE(Cases.empty());
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Where + " " + C.Name);
        const TOutcome O = RunCase(SonoliftBinary(), C, C.FileSize);
        for (const std::string& Twin : Twins) EXPECT_EQ(RunCase(Twin, C, C.FileSize).Text(), O.Text()) << Twin;
        std::map<std::string, std::string> Files = O.Before; // inputs stay as they were
        if (!C.Compare) {
            EXPECT_EQ(O.R.Out, C.Out);
            EXPECT_EQ(O.R.Err, C.Err);
            EXPECT_EQ(std::make_pair(O.R.Status, O.R.Signal), std::make_pair(C.Status, 0));
            for (const auto& [Name, Content] : C.Expected) Files[Name] = std::string(Content.begin(), Content.end());
            for (const auto& [Name, Content] : O.After)
                if (!Files.count(Name)) ADD_FAILURE() << "a stray file: " << Name;
        }
        for (const auto& [Name, Content] : Files) {
            const auto Got = O.After.find(Name);
            if (Got == O.After.end()) {
                ADD_FAILURE() << Name << " is missing";
            } else if (Got->second != Content) {
                const auto At = std::mismatch(Got->second.begin(), Got->second.end(), Content.begin(), Content.end()).first;
                ADD_FAILURE() << Name << ": " << Got->second.size() << " bytes, expected " << Content.size()
                              << "; first difference at byte " << At - Got->second.begin();
            }
        }
    }
}

// A write refused for the file-size limit must fail at the same byte in every build: limits in
// the header, at window edges and inside the blocks that overload.
TEST(Cases, EveryBuildFailsAlikeUnderFileSizeLimits) {
    int Swept = 0;
    for (const TCase& C : LoadCases()) {
        if (!C.Sweep) continue;
        ++Swept;
        const TOutcome Full = RunCase(SonoliftBinary(), C, -1);
        int64_t Size = 0;
        for (const auto& [Name, Content] : Full.After)
            if (!Full.Before.count(Name)) Size = std::max<int64_t>(Size, static_cast<int64_t>(Content.size()));
        std::vector<int64_t> Limits = {0, 8, 36, 43, 44, Size - 1};
        for (int64_t Edge : {int64_t{44 + 512}, int64_t{44 + 4096}, int64_t{44 + 3 * 4096}, int64_t{SONOLIFT_IO_WINDOW},
                             int64_t{44 + SONOLIFT_IO_WINDOW}})
            for (int64_t Near : {-1, 0, 1}) Limits.push_back(Edge + Near);
        // inside blocks that overload: the first, one in the middle, the last
        std::vector<int64_t> At;
        for (size_t P = 0; (P = Full.R.Out.find("Overload ", P)) != std::string::npos; P += 9)
            At.push_back(44 + std::stoll(Full.R.Out.substr(P + 9)) * 4);
        for (size_t K : {size_t{0}, At.size() / 2, At.size() - 1})
            if (K < At.size()) Limits.insert(Limits.end(), {At[K] + 2, At[K] + 300});
        for (int64_t Limit : Limits) {
            SCOPED_TRACE(C.Where + " limit " + std::to_string(Limit));
            const std::string Main = RunCase(SonoliftBinary(), C, Limit).Text();
            for (const std::string& Twin : Twins) EXPECT_EQ(RunCase(Twin, C, Limit).Text(), Main) << Twin;
        }
    }
    EXPECT_GT(Swept, 0);
}

} // namespace
