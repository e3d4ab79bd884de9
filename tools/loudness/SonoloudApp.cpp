#include "SonoloudApp.h"

#include "vxSysUtils.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

namespace sonoloud {

namespace {

using vx::EvxError;
using vx::TvxConsoleApplication;

// The notes kept of one file; the rest are counted. A file of many chunks stays one row.
constexpr size_t MostNotes = 16;

// Takes the wave layer's notes on opening a file while it lives, in sonoloud's words, so that
// they cannot break the rows of a CSV report; then they go where they went before.
class TNotes {
public:
    TNotes() : FSaved(wave::SetWaveNoteSink([this](const wave::TWaveNote& N) { Add(NoteText(N)); })) {}
    ~TNotes() { wave::SetWaveNoteSink(std::move(FSaved)); }
    TNotes(const TNotes&) = delete;
    TNotes& operator=(const TNotes&) = delete;
    const std::vector<std::string>& Lines() const { return FLines; }
    std::string Text() const {
        std::string T;
        for (const std::string& L : FLines) T += (T.empty() ? "" : "; ") + L;
        return FMore == 0 ? T : T + "; " + std::to_string(FMore) + " more";
    }

private:
    void Add(const std::string& Line) {
        if (FLines.size() < MostNotes)
            FLines.push_back(Line);
        else
            ++FMore;
    }
    wave::TWaveNoteSink FSaved;
    std::vector<std::string> FLines;
    size_t FMore = 0;
};

} // namespace

TSonoloudApp::TSonoloudApp() {
    using T = TSonoloudApp;
    AddValueSwitch("t", "target", Bind(&T::HandleTarget), false, "",
                   "normalise to this integrated loudness in LUFS, [-70..0]");
    AddValueSwitch("c", "ceiling", Bind(&T::HandleCeiling), false, "-1.0",
                   "highest true peak of a normalised file in dBTP, [-70..0] default -1.0");
    AddSwitch("", "csv", Bind(&T::HandleCsv), "print RFC 4180 rows under a header instead of lines");
    AddSwitch("", "static", Bind(&T::HandleStatic), "with -t, one static gain lowered for the ceiling instead of the limiter");
    // A name that matches no file is a failure to tell, not a word to pass over.
    SetKeepUnmatched(true);
}

double TSonoloudApp::Level(const std::string& Value, const char* What, const char* Unit) {
    double V = 0;
    if (!vx::TextToFloat(Value, V) || !(V >= -70 && V <= 0))
        UsageError(std::string(": invalid ") + What + " '" + Value + "' (" + Unit + ", -70..0)");
    return V;
}

void TSonoloudApp::HandleTarget(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    FTarget = Level(Value, "target", "LUFS");
}
void TSonoloudApp::HandleCeiling(TvxConsoleApplication&, const std::string&, bool, const std::string& Value) {
    FCeiling = Level(Value, "ceiling", "dBTP");
    FCeilingGiven = true;
}
void TSonoloudApp::HandleCsv(TvxConsoleApplication&, const std::string&, bool) { FCsv = true; }
void TSonoloudApp::HandleStatic(TvxConsoleApplication&, const std::string&, bool) { FStatic = true; }

void TSonoloudApp::HandleUnrecognized(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong, const std::string& Value) {
    const size_t Equals = Value.find('=');
    vx::TvxApplicationSwitchData Row;
    if (Value.starts_with("--") && Equals != std::string::npos && FindSwitch(true, Value.substr(2, Equals - 2), Row) &&
        Row.Kind == vx::TvxSwitchKind::skValue && Row.ValueHandler)
        return Row.ValueHandler(*this, Row.LongName, true, Value.substr(Equals + 1));
    TTonebenchApp::HandleUnrecognized(Sender, Name, IsLong, Value);
}

void TSonoloudApp::HandleDoneArgs(TvxConsoleApplication& Sender, const std::string& Name, bool IsLong) {
    if (FCeilingGiven && std::isnan(FTarget)) UsageError(": a ceiling (-c) is only for a target (-t)");
    TTonebenchApp::HandleDoneArgs(Sender, Name, IsLong);
}

void TSonoloudApp::BeginFiles() {
    if (FCsv) vx::WriteOut(CsvHeader());
}

void TSonoloudApp::Process() {
    TReport& R = FReport;
    std::unique_ptr<wave::TWaveIO> Input;
    {
        TNotes Notes;
        try {
            Input = std::make_unique<wave::TWaveIO>(R.Path, wave::TWaveIOMode::wioRead, IOWindow());
        } catch (...) {
            R.Notes = Notes.Text();
            throw;
        }
        R.Notes = Notes.Text();
        if (Verbose() && !FCsv)
            for (const std::string& Line : Notes.Lines()) vx::WriteOut("note: " + R.Path + ": " + Line + "\n");
    }
    R.Corrupt = Input->Modified();
    const vx::TSampleEncoding E = MeasurableEncoding(*Input);
    R.Figures = MeasureWave(*Input, E);
    R.Status = Measured(R.Figures, Input->Format().SamplesPerSec, R.Normalising ? TFileStatus::fsNormalised : TFileStatus::fsMeasured);
    if (R.Status != TFileStatus::fsNormalised) return;

    const std::string OutFile = OutName() + "-loud.wav";
    // Creating the output would destroy an input that it names.
    if (Input->RefersTo(OutFile) || vx::LinksToAnyOf(OutFile, Files())) throw EvxError("its output " + OutFile + " would replace an input");
    R.Plan = PlanTarget(*Input, E, R.Figures, FTarget, FCeiling, FStatic);
    const std::unique_ptr<wave::TWaveIO> Output = CreateLike(*Input, OutFile, IOWindow());
    R.Output = OutFile;
    FillTarget(*Input, E, R.Plan, [&](const uint8_t* Bytes, size_t Count) { Output->WriteWaveData(Bytes, static_cast<int32_t>(Count)); });
    Output->Release();
    if (R.Plan.Missed) R.Status = TFileStatus::fsMissed;
    Input->Release();
}

int TSonoloudApp::ProcessFile(const std::string& Path) {
    FReport = TReport{};
    FReport.Path = Path;
    FReport.Normalising = !std::isnan(FTarget);
    Process();
    const TReport& R = FReport;
    vx::WriteOut(FCsv ? CsvRow(R) : TextLine(R));
    if (R.Status == TFileStatus::fsMissed) { // written, and numbered, but not at the target
        FAnyFailed = true;
        vx::WriteErr(vx::ExePath() + ": " + Path + ": " + MissedText(R.Plan) + "\n");
    }
    if (R.Status == TFileStatus::fsMeasured || R.Status == TFileStatus::fsNormalised || R.Status == TFileStatus::fsMissed) return 0;
    // Too short or too quiet: no number taken; with a target, the file missed it.
    if (R.Normalising) {
        FAnyFailed = true;
        vx::WriteErr(vx::ExePath() + ": " + Path + ": " + Unmeasured(R) + "\n");
    }
    return -1;
}

void TSonoloudApp::FileFailed(const std::string& Path, const EvxError& Why) {
    // A half-written output is no result: it goes, and its number is taken by the next file.
    if (!FReport.Output.empty()) ::unlink(FReport.Output.c_str());
    FAnyFailed = true;
    vx::WriteErr(vx::ExePath() + ": " + Path + ": " + Why.Message() + "\n");
    if (!Why.Hint().empty()) vx::WriteErr(vx::ExePath() + ": " + Why.Hint() + "\n");
    TReport Failed;
    Failed.Path = Path;
    Failed.Notes = FReport.Notes + (FReport.Notes.empty() ? "" : "; ") + Why.Message();
    if (FCsv)
        vx::WriteOut(CsvRow(Failed));
    else
        TTonebenchApp::FileFailed(Path, Why);
    FReport = TReport{};
}

int TSonoloudApp::Execute() {
    const int Status = TTonebenchApp::Execute();
    return Status != 0 ? Status : FAnyFailed ? FilesFailedStatus : 0;
}

} // namespace sonoloud
