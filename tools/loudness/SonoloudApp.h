// The loudness tool of the family: its switches, and for each file the measurement and, with a
// target, the normalised copy. Prints one report per file through LoudnessReport.
#pragma once

#include "LoudnessReport.h"
#include "TonebenchApp.h"

#include <cmath>
#include <string>

namespace sonoloud {

class TSonoloudApp : public vx::TTonebenchApp {
public:
    TSonoloudApp();

    // The CSV header, when rows are asked for.
    void BeginFiles() override;
    // Measures one file and, with a target, writes OutName + "-loud.wav"; prints its report.
    // 0 when it wrote an output or measured a file; -1 on a failure or when there is nothing
    // to normalise (too short, too quiet).
    int ProcessFile(const std::string& Path) override;

    virtual void HandleTarget(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleCeiling(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value);
    virtual void HandleCsv(vx::TvxConsoleApplication& Sender, const std::string& Name, bool IsLong);

    // Settings: the target in LUFS (NaN: measure only), the ceiling in dBTP, CSV rows.
    double Target() const { return FTarget; }
    void SetTarget(double V) { FTarget = V; }
    double Ceiling() const { return FCeiling; }
    void SetCeiling(double V) { FCeiling = V; }
    bool Csv() const { return FCsv; }
    void SetCsv(bool V) { FCsv = V; }

private:
    // Opens, measures and (with a target) normalises; fills R; raises on any failure.
    void Process(TReport& R);

    double FTarget = NAN;
    double FCeiling = -1.0;
    bool FCsv = false;
};

} // namespace sonoloud
