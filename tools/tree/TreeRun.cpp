#include "TreeRun.h"

#include "ShellQuote.h"
#include "TreeJob.h"
#include "TreeManifest.h"
#include "TreeSource.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace tree {

namespace {

volatile std::sig_atomic_t Stopped = 0;
void Stop(int Signal) { Stopped = Signal; }

void PutLine(const std::string& Line) {
    std::fputs((Line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::vector<std::string> PathList(std::istream& In) {
    std::vector<std::string> Paths;
    for (std::string P; std::getline(In, P, '\0');) Paths.push_back(P);
    return Paths;
}
std::vector<std::string> PathList(const std::string& Name) {
    std::ifstream In(Name, std::ios::binary);
    return PathList(In);
}

bool IsFile(const std::string& Name) {
    struct stat Info;
    return ::stat(Name.c_str(), &Info) == 0 && S_ISREG(Info.st_mode);
}

// The audio digest of a file, empty when it cannot be read as a wave file.
std::string DigestOf(const std::string& Name) {
    try {
        return TSource(Name).AudioDigest();
    } catch (const std::exception&) {
        return "";
    }
}

// The digest and the loudness columns of a file, from one read of its audio.
std::tuple<std::string, std::string, std::string, std::string> Figures(TSource& File) {
    TFigures F(File.Wave);
    File.Pass(F);
    return std::tuple_cat(std::make_tuple(F.Digest()), LoudnessColumns(F.Loudness()));
}

// A skipped file keeps its row, or gets one made from the files as they are.
TRow SkippedRow(const TRunSettings& S, const std::string& Path, const std::map<std::string, TRow>& Old) {
    if (auto It = Old.find(Path); It != Old.end()) {
        TRow Row = It->second;
        Row[colStatus] = "skipped";
        return Row;
    }
    TRow Row{Path, "skipped"};
    try {
        TSource Source(S.SourceDir + "/" + Path);
        Row[colNote] = Source.Note();
        std::tie(Row[colSourceSha], Row[colSourceLufs], Row[colSourceRange], Row[colSourcePeak]) = Figures(Source);
    } catch (const std::exception&) {
    }
    try {
        TSource Result(S.DestDir + "/" + Path);
        Row[colFrames] = std::to_string(Result.Frames()), Row[colSeconds] = SecondsText(Result.Seconds());
        std::tie(Row[colResultSha], Row[colResultLufs], Row[colResultRange], Row[colResultPeak]) = Figures(Result);
    } catch (const std::exception&) {
    }
    Row[colVersion] = S.Version, Row[colTime] = S.Time;
    return Row;
}

} // namespace

std::string OthersText(size_t Count) {
    if (Count == 0) return "";
    return ", " + std::to_string(Count) + " other audio file" + (Count == 1 ? "" : "s") + " (not WAVE, not levelled)";
}

namespace {

// The collector's state: the log, the manifest's rows and the failures as records come in.
class TCollector {
public:
    explicit TCollector(const TRunSettings& S) : S(S) {
        if (!S.Log.empty()) FLog.open(S.Log, std::ios::binary | std::ios::app);
    }

    // The skipped files' rows: the old row kept, or one made from the files as they are.
    void TakeSkipped() {
        FSkipped = PathList(S.Skipped);
        std::map<std::string, TRow> Old;
        if (!FSkipped.empty())
            for (TRow& R : ReadManifest(S.DestDir + "/" + ManifestName)) Old[R[colPath]] = std::move(R);
        for (const std::string& Path : FSkipped) {
            LogLine(Path, "skipped", "0.00", "-");
            FRows.push_back(SkippedRow(S, Path, Old));
        }
    }

    // The audio files of other formats: a log line each, and their count.
    void TakeOthers() {
        FOthers = PathList(S.Others);
        for (const std::string& Path : FOthers) LogLine(Path, "other", "0.00", "-");
    }

    // The jobs' records, read from Fd to its end.
    void TakeRecords(int Fd) {
        std::string Buffer;
        char Chunk[65536];
        for (ssize_t N; (N = ::read(Fd, Chunk, sizeof Chunk)) != 0;) {
            if (N < 0) {
                if (errno == EINTR) continue;
                break;
            }
            Buffer.append(Chunk, static_cast<size_t>(N));
            for (TJobRecord R; DecodeRecord(Buffer, R);) Take(R);
        }
    }

    // A file of the plan without a record was never run to its end.
    void TakeMissing() {
        for (const std::string& Path : PathList(S.Todo)) {
            auto It = FFailure.find(Path);
            if (It == FFailure.end()) {
                LogLine(Path, "failed", "0.00", "0");
                FFailed.push_back(ShellQuote(Path) + ": not run");
                FRows.push_back({Path, "failed", "", "", "0", DigestOf(S.SourceDir + "/" + Path), "", S.Version, S.Switches, S.Time, ""});
            } else if (!It->second.empty()) {
                FFailed.push_back(ShellQuote(Path) + ": " + It->second);
            }
        }
    }

    void WriteManifest() {
        FLog.close();
        if (FRows.empty()) return;
        const std::string Manifest = S.DestDir + "/" + ManifestName;
        try {
            MergeManifest(Manifest, FRows);
        } catch (const std::exception& E) {
            FManifestFailed = true;
            std::fprintf(stderr, "%s: cannot write %s: %s\n", TreeProgram, ShellQuote(Manifest).c_str(), E.what());
        }
    }

    // The summary line and a line per failure; the exit status (1 also when the manifest could
    // not be written).
    int Summary() const {
        PutLine(std::string(TreeProgram) + ": " + std::to_string(FDone) + " done, " + std::to_string(FFailed.size()) +
                " failed, " + std::to_string(FSkipped.size()) + " skipped" + OthersText(FOthers.size()));
        for (const std::string& F : FFailed) PutLine("failed: " + F);
        for (const std::string& M : FMissed) PutLine("missed the target: " + M);
        return FFailed.empty() && FMissed.empty() && !FManifestFailed ? 0 : 1;
    }

private:
    void LogLine(const std::string& Path, const std::string& Status, const std::string& Elapsed, const std::string& Overloads) {
        if (FLog.is_open()) FLog << ShellQuote(Path) << '\t' << Status << '\t' << Elapsed << '\t' << Overloads << '\n' << std::flush;
    }

    void Take(const TJobRecord& R) {
        LogLine(R.Path, R.Status, R.Elapsed, R.Overloads);
        const bool IsDone = R.Status == "done";
        FDone += IsDone;
        FFailure[R.Path] = IsDone ? "" : R.Reason.empty() ? "failed" : R.Reason;
        const bool Missed = IsDone && R.Missed == "yes";
        if (Missed) FMissed.push_back(ShellQuote(R.Path) + ": " + R.Note.substr(R.Note.rfind("missed the target")));
        FRows.push_back({R.Path, Missed ? "missed target" : IsDone ? "levelled" : "failed", R.Frames, R.Seconds, R.Overloads,
                         R.SourceSha, R.ResultSha, S.Version, S.Switches, S.Time, R.Note, R.Target, R.Ceiling, R.SourceLufs,
                         R.SourceRange, R.SourcePeak, R.ResultLufs, R.ResultRange, R.ResultPeak, R.LimitedBy, R.LimitedTime});
    }

    const TRunSettings& S;
    std::ofstream FLog;
    std::vector<std::string> FSkipped, FOthers;
    std::vector<TRow> FRows;
    std::map<std::string, std::string> FFailure; // by path: why, or empty when done
    size_t FDone = 0;
    std::vector<std::string> FFailed;
    bool FManifestFailed = false;
    std::vector<std::string> FMissed; // results placed that missed their target: path and by how much
};

} // namespace

int Collect(const TRunSettings& S) {
    // Stopped by a signal, the collector still takes every record the jobs finish.
    struct sigaction Action {};
    Action.sa_handler = Stop;
    Action.sa_flags = SA_RESTART;
    for (int Signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(Signal, &Action, nullptr);

    TCollector C(S);
    C.TakeSkipped();
    C.TakeOthers();
    C.TakeRecords(STDIN_FILENO);
    // A file without a record was never run to its end, unless the run was stopped.
    if (Stopped == 0) C.TakeMissing();
    C.WriteManifest();
    return Stopped != 0 ? 128 + Stopped : C.Summary();
}

int Verify(const std::string& DestDir, const std::string& SourceDir) {
    std::set<std::string> Listed;
    size_t Checked = 0, Problems = 0;
    auto Report = [&](const char* What, const std::string& Path) {
        PutLine(std::string(What) + ": " + ShellQuote(Path));
        ++Problems;
    };
    for (const TRow& Row : ReadManifest(DestDir + "/" + ManifestName)) {
        const std::string& Path = Row[colPath];
        if (Row[colResultSha].empty()) continue; // a failed file has no result
        Listed.insert(Path), ++Checked;
        if (!IsFile(DestDir + "/" + Path)) Report("missing", Path);
        else if (DigestOf(DestDir + "/" + Path) != Row[colResultSha]) Report("changed", Path);
        if (SourceDir.empty()) continue;
        if (!IsFile(SourceDir + "/" + Path)) Report("source missing", Path);
        else if (DigestOf(SourceDir + "/" + Path) != Row[colSourceSha]) Report("source changed", Path);
    }
    for (const std::string& Path : PathList(std::cin))
        if (Listed.count(Path) == 0) Report("not listed", Path);
    PutLine(std::string(TreeProgram) + ": " + std::to_string(Checked) + " checked, " + std::to_string(Problems) + " problems");
    return Problems == 0 ? 0 : 1;
}

} // namespace tree
