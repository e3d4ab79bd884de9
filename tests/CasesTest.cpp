// The programs end to end on the cases of the *.cases files under tests/, each case a test of
// its own named FILE.CASE (the file's name and the case's words; `ctest -R` picks one, and ctest
// runs them side by side). Each case makes its files in a fresh folder, runs sonolift (by default argument zero "sonolift", LC_ALL=C) and checks
// standard output, standard error, the exit status and every file left behind: inputs
// unchanged, outputs byte for byte, nothing else. Every case is also run by the plain build
// (one system call per request) and the small-window build, which must leave exactly the same
// outcome (not with an empty argument zero: each build then names itself by its own file); a
// case with a "sweep" line is run by all three under its file-size limits besides.
//
// A case is a block of lines ('#' starts a comment):
//   case NAME                     starts it
//   file NAME RECIPE              an input, written from a recipe (see WaveRecipe.h)
//   link|symlink NAME TARGET, fifo NAME, dir NAME                      other entries
//   cwd DIR, env NAME=VALUE, limit fsize N, argzero WORD ('' for an empty one)  how it runs
//   program demo-levels|probe|sonolift-tree|sonolift-meta|sonoloud   runs the demo's level chart,
//                                 the wave probe, the archive driver or its helper, or the
//                                 loudness tool instead (one build; any other word is an error);
//                                 "@DIR" in their streams stands for the case's folder
//   run WORD...                   the command line after argument zero
//   out TEXT, err TEXT            a line of standard output or error (the text after one blank)
//   crlf                          the out lines after it end in CR LF
//   overloads POS S G1 G2         the overload lines of sample S at POS for gains G1 down to G2
//   status N                      the exit status (default 0)
//   expect NAME RECIPE            an output file
//   expect NAME from IN gains I:G...  IN's samples amplified from sample index I on with gain G
//   expect NAME *                 an output file, whatever it holds
//   compare                       checked only against the other builds, not against lines
//   sweep LIMIT...                also run under these file-size limits
#include "TestSupport.h"
#include "WaveRecipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
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
    std::string Name, Where, TestName; // TestName: FILE.CASE as the test is registered
    std::vector<std::vector<std::string>> Setup; // file, link, symlink, fifo and dir lines
    std::map<std::string, std::string> Recipes;
    std::vector<std::string> Args, Env = {"LC_ALL=C"};
    std::string Program = SONOLIFT_BINARY, Cwd, Out, Err, ArgZero = "sonolift";
    int Status = 0;
    int64_t FileSize = -1;
    std::vector<std::string> ExpectLines; // made into bytes when the case runs
    std::vector<std::string> Present; // outputs whose bytes are not checked
    std::vector<int64_t> Sweep; // file-size limits under which the builds must fail alike
    bool Compare = false; // checked only against the other builds
    bool Crlf = false;
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

// The bytes an "expect NAME RECIPE" or "expect NAME from IN gains ..." line asks for.
testwave::Bytes Expectation(const TCase& C, const std::string& Line) {
    const std::vector<std::string> W = Split(Line);
    if (W.size() < 3 || W[2] != "from") return testwave::Build(Rest(Line, 2));
    testwave::TGains Gains;
    for (size_t I = 5; I < W.size(); ++I) Gains.emplace_back(std::stoll(W[I]), std::stoll(W[I].substr(W[I].find(':') + 1)));
    return testwave::Amplified(C.Recipes.at(W[3]), Gains);
}

// Letters and digits of Text, every other run of characters one '_': a name gtest and ctest take.
std::string Identifier(const std::string& Text) {
    std::string Id;
    for (const char Ch : Text)
        if (std::isalnum(static_cast<unsigned char>(Ch))) Id += Ch;
        else if (!Id.empty() && Id.back() != '_') Id += '_';
    while (!Id.empty() && Id.back() == '_') Id.pop_back();
    return Id;
}

// The programs a case may name, by the word that names them.
const std::map<std::string, std::string>& Programs() {
    static const std::map<std::string, std::string> P = {
        {"demo-levels", SONOLIFT_DEMO_LEVELS}, {"probe", SONOLIFT_PROBE}, {"sonolift-tree", SONOLIFT_TREE},
        {"sonolift-meta", fs::path(SONOLIFT_TREE).replace_filename("sonolift-meta")}, {"sonoloud", SONOLOUD_BINARY}};
    return P;
}

std::vector<TCase> LoadCases() {
    std::vector<TCase> Cases;
    std::vector<fs::path> Files;
    for (const auto& E : fs::recursive_directory_iterator(SONOLIFT_CASES))
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
                Cases.back().TestName = Identifier(F.stem().string()) + "." + Identifier(Cases.back().Name);
                continue;
            }
            if (Cases.empty()) throw std::runtime_error(Where + ": no case yet");
            TCase& C = Cases.back();
            if (W[0] == "file" || W[0] == "link" || W[0] == "symlink" || W[0] == "fifo" || W[0] == "dir") {
                C.Setup.push_back(W);
                if (W[0] == "file") C.Recipes[W[1]] = Rest(Line, 2);
            } else if (W[0] == "cwd") { // run in this folder of the case's folder
                C.Cwd = W[1];
            } else if (W[0] == "program") {
                const auto P = Programs().find(W.size() > 1 ? W[1] : "");
                if (P == Programs().end()) throw std::runtime_error(Where + ": unknown program " + Rest(Line, 1));
                C.Program = P->second, C.ArgZero = W[1];
            } else if (W[0] == "argzero") {
                C.ArgZero = W[1] == "''" ? "" : W[1];
            } else if (W[0] == "env") {
                C.Env.push_back(W[1]);
            } else if (W[0] == "run") {
                C.Args.assign(W.begin() + 1, W.end());
            } else if (W[0] == "out" || W[0] == "err") { // the text after one blank, as it stands
                (W[0] == "out" ? C.Out : C.Err) += (Line.size() > 4 ? Line.substr(4) : "") + (W[0] == "out" && C.Crlf ? "\r\n" : "\n");
            } else if (W[0] == "crlf") {
                C.Crlf = true;
            } else if (W[0] == "overloads") { // POS S G1 G2: a line for each gain from G1 down to G2
                for (int64_t G = std::stoll(W[3]); G >= std::stoll(W[4]); --G)
                    C.Out += "Overload " + W[1] + " " + W[2] + " " + std::to_string(testwave::AmplifyInt(std::stoll(W[2]), G)) + "\n";
            } else if (W[0] == "status") {
                C.Status = std::stoi(W[1]);
            } else if (W[0] == "limit") {
                C.FileSize = std::stoll(W[2]);
            } else if (W[0] == "expect" && W.size() == 3 && W[2] == "*") {
                C.Present.push_back(W[1]);
            } else if (W[0] == "expect") {
                C.ExpectLines.push_back(Line);
            } else if (W[0] == "sweep") {
                for (size_t I = 1; I < W.size(); ++I) C.Sweep.push_back(std::stoll(W[I]));
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
        if (!Ok) throw std::runtime_error(C.Where + ": cannot make " + W[1]);
    }
    RunOptions O;
    O.Cwd = D / C.Cwd, O.ArgZero = C.ArgZero, O.Env = C.Env;
    O.FileSizeLimit = FileSize, O.TimeoutSeconds = 60;
    TOutcome Outcome;
    Outcome.Before = Listing(D.Path());
    Outcome.R = Run(Program, C.Args, O);
    for (std::string* Stream : {&Outcome.R.Out, &Outcome.R.Err}) // the folder's name varies from run to run
        for (size_t At; (At = Stream->find(D.Path())) != std::string::npos;) Stream->replace(At, D.Path().size(), "@DIR");
    Outcome.After = Listing(D.Path());
    return Outcome;
}

const std::string Twins[] = {SONOLIFT_PLAIN, SONOLIFT_W4096};

// One case: its streams, status and files, the same outcome from the twin builds, and under each
// file-size limit of its sweep the same failure from every build.
void Check(const TCase& C) {
    const TOutcome O = RunCase(C.Program, C, C.FileSize);
    for (const std::string& Twin : Twins) {
        if (C.Program != SONOLIFT_BINARY || C.ArgZero.empty()) break; // other builds, other file names
        EXPECT_EQ(RunCase(Twin, C, C.FileSize).Text(), O.Text()) << Twin;
    }
    std::map<std::string, std::string> Files = O.Before; // inputs stay as they were
    if (!C.Compare) {
        EXPECT_EQ(O.R.Out, C.Out);
        EXPECT_EQ(O.R.Err, C.Err);
        EXPECT_EQ(std::make_pair(O.R.Status, O.R.Signal), std::make_pair(C.Status, 0));
        for (const std::string& Line : C.ExpectLines) {
            const Bytes Content = Expectation(C, Line);
            Files[Split(Line)[1]] = std::string(Content.begin(), Content.end());
        }
        for (const std::string& Name : C.Present) Files[Name] = O.After.count(Name) ? O.After.at(Name) : "";
        for (const auto& [Name, Content] : O.After)
            if (!Files.count(Name)) ADD_FAILURE() << "a stray file: " << Name;
    }
    for (const auto& [Name, Content] : Files) {
        const auto Got = O.After.find(Name);
        EXPECT_TRUE(Got != O.After.end() && Got->second == Content)
            << Name << ": " << (Got == O.After.end() ? "missing" : std::to_string(Got->second.size()) + " bytes")
            << ", expected " << Content.size();
    }
    for (int64_t Limit : C.Sweep) { // a write refused for the limit fails at the same byte in every build
        SCOPED_TRACE("limit " + std::to_string(Limit));
        const std::string Main = RunCase(SONOLIFT_BINARY, C, Limit).Text();
        for (const std::string& Twin : Twins) EXPECT_EQ(RunCase(Twin, C, Limit).Text(), Main) << Twin;
    }
}

class TCaseTest : public testing::Test {
public:
    explicit TCaseTest(TCase C) : FCase(std::move(C)) {}
    void TestBody() override { Check(FCase); }

private:
    TCase FCase;
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::vector<TCase> Cases;
    try {
        Cases = LoadCases();
    } catch (const std::exception& E) { // a case file that does not read is a failure of the suite
        std::fprintf(stderr, "CasesTest: %s\n", E.what());
        return 1;
    }
    std::map<std::string, int> Seen;
    for (const TCase& C : Cases) {
        std::string Name = C.TestName;
        if (const int N = ++Seen[Name]; N > 1) Name += "_" + std::to_string(N); // two cases of one name
        const size_t Dot = Name.find('.');
        testing::RegisterTest(Name.substr(0, Dot).c_str(), Name.substr(Dot + 1).c_str(), nullptr, nullptr,
                              C.Where.c_str(), 0, [C] { return new TCaseTest(C); });
    }
    return RUN_ALL_TESTS();
}
