// The loudness tool of the family: its switches, and for each file the measurement and, with a
// target, the normalised copy. Prints one report per file through LoudnessReport, and each
// failure on standard error.
#pragma once

#include "LoudnessReport.h"
#include "TonebenchApp.h"

#include <cmath>
#include <string>

namespace sonoloud {

// The exit status of a run in which a file failed or, with a target, was not normalised.
inline constexpr int FilesFailedStatus = 2;

class TSonoloudApp : public vx::TTonebenchApp {
public:
    TSonoloudApp();

    // The CSV header, when rows are asked for.
    void BeginFiles() override;
    // Measures one file and, with a target, writes OutName + "-loud.wav"; prints its report.
    // 0 when it wrote an output or measured a file; -1 when there is nothing to normalise (too
    // short, too quiet); raises why a file cannot be measured or normalised.
    int ProcessFile(const std::string& Path) override;
    // A failed file: its output removed, "sonoloud: NAME: REASON" (and a hint) on standard
    // error, then its failed row, or the family's failure line.
    void FileFailed(const std::string& Path, const vx::EvxError& Why) override;
    // The file loop's status, or FilesFailedStatus when a file failed or missed the target.
    int Execute() override;

    virtual void HandleTarget(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleCeiling(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleCsv(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong);
    virtual void HandleStatic(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong);
    // "--target=-16" and "--ceiling=-1", as the archive driver takes them.
    void HandleUnrecognized(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value) override;
    // A ceiling without a target is refused, then the file words are expanded.
    void HandleDoneArgs(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong) override;

    // Settings: the target in LUFS (NaN: measure only), the ceiling in dBTP, CSV rows, one
    // static gain instead of the limiter.
    double Target() const { return FTarget; }
    void SetTarget(double V) { FTarget = V; }
    double Ceiling() const { return FCeiling; }
    void SetCeiling(double V) { FCeiling = V; }
    bool Csv() const { return FCsv; }
    void SetCsv(bool V) { FCsv = V; }
    bool Static() const { return FStatic; }
    void SetStatic(bool V) { FStatic = V; }

private:
    // Opens, measures and (with a target) normalises; fills FReport; raises on any failure.
    void Process();
    // A value of -t or -c within -70..0, or a usage error naming the switch, its unit and range.
    double Level(const std::string& Value, const char* What, const char* Unit);

    double FTarget = NAN;
    double FCeiling = -1.0;
    bool FCeilingGiven = false;
    bool FCsv = false;
    bool FStatic = false;
    bool FAnyFailed = false;
    TReport FReport; // the file in hand
};

} // namespace sonoloud
