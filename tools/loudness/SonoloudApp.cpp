#include "SonoloudApp.h"

#include "vxSysUtils.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace sonoloud {

namespace {

using vx::EvxError;
using vx::TvxConsoleApplication;

// Takes the wave layer's notes on opening a file while it lives, so that they cannot break the
// rows of a CSV report; then they go where they went before.
class TNotes {
public:
    explicit TNotes(bool Active) : FActive(Active) {
        if (Active) FSaved = wave::SetWaveNoteSink([this](const std::string& Line) {
            FText += (FText.empty() ? "" : "; ") + Line.substr(0, Line.find('\n'));
        });
    }
    ~TNotes() {
        if (FActive) wave::SetWaveNoteSink(std::move(FSaved));
    }
    TNotes(const TNotes&) = delete;
    TNotes& operator=(const TNotes&) = delete;
    const std::string& Text() const { return FText; }

private:
    bool FActive;
    wave::TWaveNoteSink FSaved;
    std::string FText;
};

} // namespace

TSonoloudApp::TSonoloudApp() {
    using T = TSonoloudApp;
    AddValueSwitch("t", "target", Bind(&T::HandleTarget), false, "",
                   "normalise to this integrated loudness in LUFS, [-70..0]");
    AddValueSwitch("c", "ceiling", Bind(&T::HandleCeiling), false, "-1.0",
                   "highest true peak of a normalised file in dBTP, [-70..0] default -1.0");
    AddSwitch("", "csv", Bind(&T::HandleCsv), "print RFC 4180 rows under a header instead of lines");
}

void TSonoloudApp::HandleTarget(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseFloatArg(Value, FTarget, -70, 0);
}
void TSonoloudApp::HandleCeiling(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    ParseFloatArg(Value, FCeiling, -70, 0);
}
void TSonoloudApp::HandleCsv(TvxConsoleApplication&, const std::string&, bool) { FCsv = true; }

void TSonoloudApp::BeginFiles() {
    if (FCsv) vx::WriteOut(CsvHeader());
}

void TSonoloudApp::Process(TReport& R) {
    std::unique_ptr<wave::TWaveIO> Input;
    {
        TNotes Notes(FCsv);
        Input = std::make_unique<wave::TWaveIO>(R.Path, wave::TWaveIOMode::wioRead, IOWindow());
        R.Notes = Notes.Text();
    }
    R.Corrupt = Input->Modified();
    const vx::TSampleEncoding E = MeasurableEncoding(*Input);
    R.Figures = MeasureWave(*Input, E);
    R.Status = Measured(R.Figures, Input->Format().SamplesPerSec, R.Normalising ? TFileStatus::fsNormalised : TFileStatus::fsMeasured);
    if (R.Status != TFileStatus::fsNormalised) return;

    R.Plan = PlanGain(R.Figures, FTarget, FCeiling, E);
    const std::string OutFile = OutName() + "-loud.wav";
    // Creating the output would destroy an input that it names.
    if (Input->RefersTo(OutFile) || vx::LinksToAnyOf(OutFile, Files())) throw EvxError("output is an input");
    R.Output = OutFile;
    WriteNormalised(*Input, OutFile, E, R.Plan.Factor, IOWindow());
    Input->Release();
}

int TSonoloudApp::ProcessFile(const std::string& Path) {
    TReport R;
    R.Path = Path;
    R.Normalising = !std::isnan(FTarget);
    try {
        Process(R);
    } catch (...) {
        // A half-written output is no result: it goes, and its number is taken by the next file.
        if (!R.Output.empty()) ::unlink(R.Output.c_str());
        const std::string Notes = R.Notes;
        R = TReport{};
        R.Path = Path, R.Notes = Notes;
    }
    vx::WriteOut(FCsv ? CsvRow(R) : TextLine(R));
    return R.Status == TFileStatus::fsMeasured || R.Status == TFileStatus::fsNormalised ? 0 : -1;
}

} // namespace sonoloud
