#include "TonebenchApp.h"

#include "WaveFiles.h"
#include "vxSysUtils.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <locale.h>

namespace vx {

void RunTool(int argc, char** argv, const TToolText& Text, const std::function<std::unique_ptr<TTonebenchApp>()>& Make) {
    // Only the sort of file names follows the locale; numbers are always written with '.'.
    std::setlocale(LC_COLLATE, "");
    std::setlocale(LC_CTYPE, "");
    // A write past the file-size limit must fail like any other write, not kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        vxSystemStartup(argc, argv, Text.NegativeValues);
        TonebenchStartup();
        ProgramInfo.Name = Text.Name;
        ProgramInfo.Usage = Text.Usage;
        ProgramInfo.Description = Text.Description;
        ProgramInfo.Version = SONOLIFT_VERSION;
        std::unique_ptr<TTonebenchApp> App = Make();
        App->Initialize();
        App->Run();
        App.reset();
    } catch (const std::exception& E) {
        WriteErr(ExePath() + ": " + E.what() + "\n");
        ProcessExit(1);
    } catch (...) {
        WriteErr(ExePath() + ": unknown failure\n");
        ProcessExit(1);
    }
    ProcessExit(0);
}

void TonebenchStartup() {
    ProgramInfo.Package = "tonebench";
    ProgramInfo.EMail = "sonolift-bugs@users.noreply.sonolift.invalid";
    ProgramInfo.Author = "the sonolift developers";
    ProgramInfo.Year = "2004";
    ProgramInfo.Company = "the sonolift developers";
}

TTonebenchApp::TTonebenchApp() {
    using T = TTonebenchApp;
    // The wave object's notes on chunks it passes over are part of every tool's output.
    wave::SetWaveNoteSink([](const wave::TWaveNote& Note) { vx::WriteOut(wave::NoteLine(Note)); });
    AddBlankLine("Global1");
    AddSwitch("v", "verbose", Bind(&T::HandleVerbose), "enable verbose comments");
}

void TTonebenchApp::HandleTextOnly(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    FFiles.push_back(Value);
}

void TTonebenchApp::HandleNoArgs(TvxConsoleApplication&, const std::string&, bool) {
    DoMissing("- file name required");
}

void TTonebenchApp::HandleDoneArgs(TvxConsoleApplication&, const std::string&, bool) { ExpandFileList(); }

void TTonebenchApp::HandleVerbose(TvxConsoleApplication&, const std::string&, bool) { FVerbose = true; }
void TTonebenchApp::BeginFiles() {}
int TTonebenchApp::ProcessFile(const std::string&) { return 0; }
void TTonebenchApp::EndFiles(int) {}

void TTonebenchApp::FileFailed(const std::string& Path, const EvxError&) {
    WriteOut("FileName: " + Path + " is not a wave file.\n");
}

void TTonebenchApp::ExpandFileList() {
    std::vector<std::string> Expanded;
    for (const std::string& Wanted : FFiles)
        if (FindFiles(Wanted, Expanded) == 0 && FKeepUnmatched) Expanded.push_back(Wanted);
    FFiles = std::move(Expanded);
}

int TTonebenchApp::RunFile(const std::string& Path) {
    try {
        return ProcessFile(Path);
    } catch (const EvxError& E) {
        FileFailed(Path, E);
    } catch (const std::exception& E) {
        FileFailed(Path, EvxError(E.what()));
    } catch (...) {
        FileFailed(Path, EvxError("unknown failure"));
    }
    return -1;
}

int TTonebenchApp::Execute() {
    FFileIndex = 0;
    BeginFiles();
    int Status = 0;
    for (size_t I = 0; I < FFiles.size() && Status == 0; ++I) {
        const std::string Relative = ExtractRelativePath(CurrentDir() + "/", ExpandFileName(FFiles[I]));
        Status = RunFile(Relative);
        if (Status == 0) ++FFileIndex;
        if (Status == -1) Status = 0;
    }
    EndFiles(Status);
    return Status;
}

std::string TTonebenchApp::FileName() const {
    if (FFileIndex < 0 || FFileIndex >= static_cast<int64_t>(FFiles.size())) return std::string();
    return FFiles[static_cast<size_t>(FFileIndex)];
}

std::string TTonebenchApp::OutName() const {
    return "waveout-" + ZeroPad(FFileIndex, static_cast<int>(FFiles.size() / 10 + 1));
}

namespace {

size_t SkipBlanks(const std::string& Text) {
    size_t I = 0;
    while (I < Text.size() && (Text[I] == ' ' || Text[I] == '\t')) ++I;
    return I;
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

} // namespace

bool TextToInt(const std::string& Text, int64_t& Value) {
    size_t I = SkipBlanks(Text);
    bool Negative = false;
    if (I < Text.size() && (Text[I] == '+' || Text[I] == '-')) Negative = Text[I++] == '-';
    int Base = 10;
    if (I < Text.size() && Text[I] == '$') {
        Base = 16;
        ++I;
    } else if (I + 1 < Text.size() && Text[I] == '0' && (Text[I + 1] == 'x' || Text[I + 1] == 'X')) {
        Base = 16;
        I += 2;
    }
    if (I >= Text.size()) return false;
    uint64_t Magnitude = 0;
    const char* First = Text.data() + I;
    const char* Last = Text.data() + Text.size();
    auto [End, Err] = std::from_chars(First, Last, Magnitude, Base);
    if (Err != std::errc() || End != Last) return false;
    const uint64_t Limit = Negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (Magnitude > Limit) return false;
    Value = Negative ? static_cast<int64_t>(0 - Magnitude) : static_cast<int64_t>(Magnitude);
    return true;
}

bool TextToFloat(const std::string& Text, double& Value) {
    size_t I = SkipBlanks(Text);
    bool Negative = false;
    if (I < Text.size() && (Text[I] == '+' || Text[I] == '-')) Negative = Text[I++] == '-';
    const size_t Start = I;
    size_t Digits = 0;
    while (I < Text.size() && IsDigit(Text[I])) ++I, ++Digits;
    if (I < Text.size() && Text[I] == '.') {
        ++I;
        while (I < Text.size() && IsDigit(Text[I])) ++I, ++Digits;
    }
    if (Digits == 0) return false;
    if (I < Text.size() && (Text[I] == 'e' || Text[I] == 'E')) {
        ++I;
        if (I < Text.size() && (Text[I] == '+' || Text[I] == '-')) ++I;
        size_t ExpDigits = 0;
        while (I < Text.size() && IsDigit(Text[I])) ++I, ++ExpDigits;
        if (ExpDigits == 0) return false;
    }
    if (I != Text.size()) return false;
    double Converted = 0;
    // from_chars reads with '.' whatever the locale, rounded to nearest.
    auto [End, Err] = std::from_chars(Text.data() + Start, Text.data() + Text.size(), Converted,
                                      std::chars_format::general);
    if (Err == std::errc::result_out_of_range && End == Text.data() + Text.size()) {
        // Too small for a normal double: the nearest double is a subnormal or 0. Too large
        // has no nearest double and stays refused.
        const std::string Digits = Text.substr(Start);
        static const locale_t CLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
        if (CLocale == nullptr) return false;
        Converted = ::strtod_l(Digits.c_str(), nullptr, CLocale);
        if (!std::isfinite(Converted) || std::fabs(Converted) > 1.0) return false;
        Err = std::errc();
    }
    if (Err != std::errc() || End != Text.data() + Text.size() || !std::isfinite(Converted)) return false;
    Value = Negative ? -Converted : Converted;
    return true;
}

// Value receives a converted number at once, even one that its bounds then refuse.
template <class T>
bool TTonebenchApp::AcceptArg(const std::string& Text, bool Converted, T Number, T& Value, T Min, T Max) {
    if (Converted) Value = Number;
    if (Converted && Min <= Value && Value <= Max) return true;
    DoInvalid(Text);
    return false;
}

bool TTonebenchApp::ParseIntArg(const std::string& Text, int64_t& Value, int64_t Min, int64_t Max) {
    int64_t Converted = 0;
    const bool Ok = TextToInt(Text, Converted);
    return AcceptArg(Text, Ok, Converted, Value, Min, Max);
}

bool TTonebenchApp::ParseFloatArg(const std::string& Text, double& Value, double Min, double Max) {
    double Converted = 0;
    const bool Ok = TextToFloat(Text, Converted);
    return AcceptArg(Text, Ok, Converted, Value, Min, Max);
}

bool TTonebenchApp::ParseTimeArg(const std::string& Text, double& Value, double Min, double Max) {
    std::string Number = Text;
    long double Factor = 1;
    if (!Number.empty()) {
        switch (Number.back()) {
        case 's': Factor = 1; Number.pop_back(); break;
        case 'm': Factor = 60; Number.pop_back(); break;
        case 'h': Factor = 3600; Number.pop_back(); break;
        default: break;
        }
    }
    double Converted = 0;
    const bool Ok = TextToFloat(Number, Converted);
    // A product past the largest double is infinite, and so outside any finite bound.
    const double Seconds = static_cast<double>(static_cast<long double>(Converted) * Factor);
    return AcceptArg(Text, Ok, Seconds, Value, Min, Max);
}

} // namespace vx
