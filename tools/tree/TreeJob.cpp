#include "TreeJob.h"

#include "GainCurve.h"
#include "LoudnessReport.h"
#include "OverloadLine.h"
#include "SampleCodec.h"
#include "TreeAssemble.h"
#include "TargetGain.h"
#include "TreeSource.h"
#include "vxSystem.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tree {

namespace {

// A new folder of its own in Folder, named after the scratch pattern; empty when none can be made.
std::string MakeScratch(const std::string& Folder) {
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device Seed;
    std::mt19937 Random(Seed());
    for (int Try = 0; Try < 100; ++Try) {
        std::string Name = Folder + "/" + ScratchPrefix;
        for (int I = 0; I < 6; ++I) Name += Letters[Random() % (sizeof Letters - 1)];
        Name += ScratchSuffix;
        if (::mkdir(Name.c_str(), 0700) == 0) return Name;
        if (errno != EEXIST) break;
    }
    return "";
}

// sonolift started in Folder on in.wav with the switches, its streams into Folder's out and
// err; -1 when it cannot be started.
pid_t StartSonolift(const TJobSettings& S, const std::string& Folder) {
    std::vector<std::string> Words = {S.Sonolift};
    Words.insert(Words.end(), S.Switches.begin(), S.Switches.end());
    Words.push_back("in.wav");
    std::vector<char*> Argv;
    for (std::string& W : Words) Argv.push_back(W.data());
    Argv.push_back(nullptr);
    // (the child allocates nothing: another thread may hold the allocator's lock)
    const std::string OutName = Folder + "/out", ErrName = Folder + "/err";
    const pid_t Child = ::fork();
    if (Child == 0) {
        const int In = ::open("/dev/null", O_RDONLY);
        const int Out = ::open(OutName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int Err = ::open(ErrName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (In < 0 || Out < 0 || Err < 0 || ::dup2(In, 0) < 0 || ::dup2(Out, 1) < 0 || ::dup2(Err, 2) < 0 || ::chdir(Folder.c_str()) != 0)
            ::_exit(126);
        ::execv(Argv[0], Argv.data());
        ::_exit(127);
    }
    return Child;
}

// Child's exit status as a shell gives it (128 + N for a signal); -1 when there is none.
int WaitFor(pid_t Child) {
    int Status = 0;
    if (Child < 0) return -1;
    while (::waitpid(Child, &Status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFSIGNALED(Status) ? 128 + WTERMSIG(Status) : WEXITSTATUS(Status);
}

std::string TextOf(const std::string& Name) {
    std::ifstream In(Name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

int CountOverloads(const std::string& Text) {
    int N = 0;
    const std::string_view Tag = vx::OverloadLine;
    for (size_t At = 0; At < Text.size();) {
        N += Text.compare(At, Tag.size(), Tag) == 0;
        const size_t End = Text.find('\n', At);
        if (End == std::string::npos) break;
        At = End + 1;
    }
    return N;
}

// The source as the result is made of it: its chunks (its audio is read by TSourceFigures).
struct TSourcePass {
    std::unique_ptr<TSource> File;
    std::string Failure; // why it cannot be levelled
};

// Why the source cannot be levelled, with the hint where a converter would help.
std::string ReasonOf(const vx::EvxError& E) { return E.Hint().empty() ? E.Message() : E.Message() + "; " + E.Hint(); }

TSourcePass OpenSource(const std::string& Name) {
    TSourcePass P;
    try {
        P.File = std::make_unique<TSource>(Name, 0);
        vx::ReadableEncoding(P.File->Wave);
    } catch (const vx::EvxError& E) {
        P.Failure = ReasonOf(E);
    } catch (const std::exception& E) {
        P.Failure = std::string("cannot read the source: ") + E.what();
    }
    return P;
}

// The source's audio read once on a thread of its own, beside sonolift and then beside the
// result's pass: its digest and its loudness from the same bytes.
class TSourceFigures {
public:
    explicit TSourceFigures(const std::string& Name) : FThread([this, Name] { Read(Name); }) {}
    ~TSourceFigures() { Join(); }
    TSourceFigures(const TSourceFigures&) = delete;
    TSourceFigures& operator=(const TSourceFigures&) = delete;
    // Waits for the figures; Failure says why there are none.
    void Join() {
        if (FThread.joinable()) FThread.join();
    }
    std::string Digest, Failure;
    sonoloud::TLoudness Loudness;

private:
    void Read(const std::string& Name) {
        try {
            TSource Source(Name);
            TFigures Figures(Source.Wave);
            Source.Pass(Figures);
            Digest = Figures.Digest(), Loudness = Figures.Loudness();
        } catch (const vx::EvxError& E) {
            Failure = "cannot read the source: " + E.Message();
        } catch (const std::exception& E) {
            Failure = std::string("cannot read the source: ") + E.what();
        }
    }
    std::thread FThread; // last: started once the figures it fills are there
};

// What goes into place: a file, its frames and the figures taken while it was written or read.
struct TResult {
    std::string File;
    int64_t Frames = 0;
    std::string Digest;
    sonoloud::TLoudness Loudness;
};

// The levelled audio into Out: plain, or with the source's metadata around it; Fill writes it,
// or it is the levelled file's own, copied (or, plain, the levelled file itself, read).
TResult Write(const TJobSettings& S, TSourcePass& Source, TSource& Levelled, const std::string& Out, const TAssembly& Audio) {
    TFigures Figures(Levelled.Wave);
    TResult R;
    R.File = Out, R.Frames = Levelled.Frames();
    if (!S.History.empty()) {
        TAssembly How = Audio;
        How.History = S.History, How.Figures = &Figures;
        Assemble(*Source.File, Levelled, Out, How);
    } else if (Audio.Fill) {
        const std::unique_ptr<wave::TWaveIO> Output = sonoloud::CreateLike(Levelled.Wave, Out, wave::WaveIOWindow);
        Audio.Fill([&](const uint8_t* P, size_t N) { Output->WriteWaveData(P, static_cast<int32_t>(N)), Figures.Add(P, N); });
        Output->Release();
    } else {
        R.File = Levelled.Wave.FileName();
        Levelled.Pass(Figures);
    }
    R.Digest = Figures.Digest(), R.Loudness = Figures.Loudness();
    return R;
}

// The levelled file brought to the target under the ceiling as sonoloud brings it, as it is
// written, the limiter's figures in R and its settings in the coding history where it ran; as
// it is where it is too short or too quiet to have an integrated loudness.
TResult ToTarget(const TJobSettings& S, TSourcePass& Source, TSource& Levelled, const std::string& Out, TJobRecord& R) {
    const vx::TSampleEncoding E = sonoloud::MeasurableEncoding(Levelled.Wave);
    const sonoloud::TLoudness L = sonoloud::MeasureWave(Levelled.Wave, E);
    const auto Note = [&](const std::string& Text) { R.Note += (R.Note.empty() ? "" : "; ") + Text; };
    if (!std::isfinite(L.Integrated)) {
        Note("too short or too quiet for the target");
        return Write(S, Source, Levelled, Out, {});
    }
    sonoloud::TGainPlan Plan = sonoloud::PlanTarget(Levelled.Wave, E, L, std::stod(S.Target), std::stod(S.Ceiling), false);
    TAssembly Audio;
    Audio.DataBytes = Levelled.Frames() * Levelled.Wave.Format().BlockAlign;
    Audio.Fill = [&](const sonoloud::TBytesSink& Put) { sonoloud::FillTarget(Levelled.Wave, E, Plan, Put); };
    TJobSettings Named = S;
    if (Plan.Limiter && !Named.History.empty()) Named.History += " (" + sonoloud::LimiterSettings() + ")";
    TResult Result = Write(Named, Source, Levelled, Out, Audio);
    if (Plan.Limiter) R.LimitedBy = sonoloud::CsvFigure(Plan.Reduction), R.LimitedTime = sonoloud::CsvFigure(100 * Plan.Share);
    if (Plan.Missed) R.Missed = "yes", Note(sonoloud::MissedText(Plan));
    return Result;
}

// Runs Do; on a failure sets the record's reason (Why and the failure's own words), false.
template <class TDo>
bool Step(TJobRecord& R, const char* Why, TDo&& Do) {
    try {
        Do();
        return true;
    } catch (const std::exception& E) {
        R.Reason = std::string(Why) + ": " + E.what();
        return false;
    }
}

bool IsFile(const std::string& Name) {
    struct stat Info;
    return ::stat(Name.c_str(), &Info) == 0 && S_ISREG(Info.st_mode);
}

// The result made from sonolift's output, its fields in the record; false (Reason set) when it
// cannot be.
bool Produce(const TJobSettings& S, const std::string& Scratch, TSourcePass& Source, TResult& Out, TJobRecord& R) {
    std::unique_ptr<TSource> In;
    if (!Step(R, "cannot read the result", [&] { In = std::make_unique<TSource>(Scratch + "/waveout-0-lift.wav"); })) return false;
    const char* Why = !S.Target.empty()    ? "cannot bring the result to the target"
                      : !S.History.empty() ? "cannot carry the metadata"
                                           : "cannot read the result";
    const std::string Made = Scratch + "/result.wav";
    auto Make = [&] { Out = S.Target.empty() ? Write(S, Source, *In, Made, {}) : ToTarget(S, Source, *In, Made, R); };
    if (!Step(R, Why, Make)) return false;
    std::tie(R.ResultLufs, R.ResultRange, R.ResultPeak) = std::tuple_cat(LoudnessColumns(Out.Loudness));
    R.ResultSha = Out.Digest, R.Frames = std::to_string(Out.Frames), R.Seconds = SecondsText(In->Seconds());
    return true;
}

// The job's steps after sonolift ran; Reason set on the first that fails.
void Finish(const TJobSettings& S, const std::string& Scratch, TSourcePass& Source, TSourceFigures* Figures, TJobRecord& R) {
    if (Source.File) R.Note = Source.File->Note();
    R.Reason = Source.Failure;
    const bool Levelled = R.Reason.empty() && IsFile(Scratch + "/waveout-0-lift.wav");
    if (R.Reason.empty() && !Levelled) R.Reason = "no result";
    TResult Out;
    const bool Made = Levelled && Produce(S, Scratch, Source, Out, R);
    if (Figures != nullptr) {
        Figures->Join();
        R.SourceSha = Figures->Digest;
        if (Levelled) std::tie(R.SourceLufs, R.SourceRange, R.SourcePeak) = std::tuple_cat(LoudnessColumns(Figures->Loudness));
        if (Made && !Figures->Failure.empty()) R.Reason = Figures->Failure;
    }
    if (!Made || !R.Reason.empty()) return;
    if (Out.Frames != Source.File->Frames()) {
        R.Reason = "result has " + std::to_string(Out.Frames) + " frames, source has " + std::to_string(Source.File->Frames());
    } else if (std::rename(Out.File.c_str(), (S.DestDir + "/" + S.Path).c_str()) != 0) {
        R.Reason = std::string("cannot put the result in place: ") + std::strerror(errno);
    } else {
        R.Status = "done";
    }
}

} // namespace

TJobSettings JobSettings(const std::vector<std::string>& Args) {
    if (Args.size() < 7) throw vx::EvxError("job: expected SOURCE_DIR DEST_DIR SONOLIFT HISTORY TARGET CEILING [SWITCH...] PATH");
    return {Args[0], Args[1], Args[2], Args[3], Args[4], Args[5], std::vector<std::string>(Args.begin() + 6, Args.end() - 1), Args.back()};
}

TJobRecord RunJob(const TJobSettings& S) {
    const auto Start = std::chrono::steady_clock::now();
    TJobRecord R;
    R.Path = S.Path, R.Target = S.Target;
    if (!S.Target.empty()) R.Ceiling = S.Ceiling;
    const std::string Out = S.DestDir + "/" + S.Path;
    const std::string Scratch = MakeScratch(Out.substr(0, Out.rfind('/')));
    // The link keeps the file's name away from sonolift's wildcards and switches.
    if (Scratch.empty() || ::symlink((S.SourceDir + "/" + S.Path).c_str(), (Scratch + "/in.wav").c_str()) != 0) {
        R.Reason = "cannot write in the destination folder";
    } else {
        const pid_t Sonolift = StartSonolift(S, Scratch);
        TSourcePass Source = OpenSource(Scratch + "/in.wav");
        std::unique_ptr<TSourceFigures> Figures;
        if (Source.File) Figures = std::make_unique<TSourceFigures>(Scratch + "/in.wav");
        const int Status = WaitFor(Sonolift);
        R.Overloads = std::to_string(CountOverloads(TextOf(Scratch + "/out")));
        const std::string Err = TextOf(Scratch + "/err");
        if (Status != 0)
            R.Reason = "sonolift exit status " + std::to_string(Status) + (Err.empty() ? "" : ": " + Err.substr(0, Err.find('\n')));
        else
            Finish(S, Scratch, Source, Figures.get(), R);
    }
    std::error_code Ignored;
    if (!Scratch.empty()) std::filesystem::remove_all(Scratch, Ignored);
    if (R.Status != "done")
        for (std::string* F : {&R.Frames, &R.Seconds, &R.ResultSha, &R.ResultLufs, &R.ResultRange, &R.ResultPeak, &R.LimitedBy, &R.LimitedTime, &R.Missed})
            F->clear();
    const auto Centiseconds = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count() / 10;
    char Elapsed[32];
    std::snprintf(Elapsed, sizeof Elapsed, "%lld.%02lld", static_cast<long long>(Centiseconds / 100), static_cast<long long>(Centiseconds % 100));
    R.Elapsed = Elapsed;
    return R;
}

std::string EncodeRecord(const TJobRecord& R) {
    TJobRecord Copy = R;
    std::string Text;
    for (const std::string* F : Copy.Fields()) Text += *F + '\0';
    return Text;
}

bool DecodeRecord(std::string& Buffer, TJobRecord& R) {
    std::vector<std::string> Found;
    for (size_t At = 0, Zero; Found.size() < R.Fields().size() && (Zero = Buffer.find('\0', At)) != std::string::npos; At = Zero + 1)
        Found.push_back(Buffer.substr(At, Zero - At));
    if (Found.size() < R.Fields().size()) return false;
    size_t Used = 0;
    for (size_t I = 0; I < Found.size(); ++I) Used += Found[I].size() + 1, *R.Fields()[I] = std::move(Found[I]);
    Buffer.erase(0, Used);
    return true;
}

} // namespace tree
