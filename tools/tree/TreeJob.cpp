#include "TreeJob.h"

#include "LoudnessReport.h"
#include "SampleCodec.h"
#include "SonoliftApp.h"
#include "TreeAssemble.h"
#include "StaticGain.h"
#include "TreeSource.h"
#include "vxSystem.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
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

// sonolift run in Folder on in.wav with the switches, its streams into Folder's out and err;
// its exit status as a shell gives it (128 + N for a signal), -1 when it cannot be started.
int RunSonolift(const TJobSettings& S, const std::string& Folder) {
    std::vector<std::string> Words = {S.Sonolift};
    Words.insert(Words.end(), S.Switches.begin(), S.Switches.end());
    Words.push_back("in.wav");
    std::vector<char*> Argv;
    for (std::string& W : Words) Argv.push_back(W.data());
    Argv.push_back(nullptr);
    const pid_t Child = ::fork();
    if (Child == 0) {
        const int In = ::open("/dev/null", O_RDONLY);
        const int Out = ::open((Folder + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int Err = ::open((Folder + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (In < 0 || Out < 0 || Err < 0 || ::dup2(In, 0) < 0 || ::dup2(Out, 1) < 0 || ::dup2(Err, 2) < 0 || ::chdir(Folder.c_str()) != 0)
            ::_exit(126);
        ::execv(Argv[0], Argv.data());
        ::_exit(127);
    }
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
    const std::string_view Tag = sonolift::OverloadLine;
    for (size_t At = 0; At < Text.size();) {
        N += Text.compare(At, Tag.size(), Tag) == 0;
        const size_t End = Text.find('\n', At);
        if (End == std::string::npos) break;
        At = End + 1;
    }
    return N;
}

// The levelled file brought to the target under the ceiling, into Out; the levelled file itself
// (with a note) where it is too short or too quiet to have an integrated loudness.
std::string ToTarget(const TJobSettings& S, const std::string& Levelled, const std::string& Out, TJobRecord& R) {
    TSource In(Levelled);
    const vx::TSampleEncoding E = sonoloud::MeasurableEncoding(In.Wave);
    const sonoloud::TLoudness L = sonoloud::MeasureWave(In.Wave, E);
    if (!std::isfinite(L.Integrated)) {
        R.Note += (R.Note.empty() ? "" : "; ") + std::string("too short or too quiet for the target");
        return Levelled;
    }
    const sonoloud::TGainPlan Plan = sonoloud::PlanGain(L, std::stod(S.Target), std::stod(S.Ceiling), E);
    sonoloud::WriteNormalised(In.Wave, Out, E, Plan.Factor);
    return Out;
}

// The job's steps after sonolift ran; Reason set on the first that fails.
void Finish(const TJobSettings& S, const std::string& Scratch, TJobRecord& R) {
    std::unique_ptr<TSource> Source;
    try {
        Source = std::make_unique<TSource>(Scratch + "/in.wav");
    } catch (const std::exception&) {
    }
    if (Source) R.SourceSha = Source->AudioDigest(), R.Note = Source->Note();
    if (!Source || vx::SampleEncoding(Source->Wave.Format(), Source->Wave.Extension()) == vx::TSampleEncoding::seNone) {
        R.Reason = "not a wave file";
        return;
    }
    std::string Result = Scratch + "/waveout-0-lift.wav";
    struct stat Info;
    if (::stat(Result.c_str(), &Info) != 0 || !S_ISREG(Info.st_mode)) {
        R.Reason = "no result";
        return;
    }
    sonoloud::TLoudness Loudness;
    try {
        if (!S.Target.empty()) Result = ToTarget(S, Result, Scratch + "/loud.wav", R);
        std::tie(R.SourceLufs, R.SourceRange, R.SourcePeak) = std::tuple_cat(LoudnessColumns(Source->Loudness()));
        Loudness = TSource(Result).Loudness();
        std::tie(R.ResultLufs, R.ResultRange, R.ResultPeak) = std::tuple_cat(LoudnessColumns(Loudness));
    } catch (const std::exception& E) {
        R.Reason = std::string("cannot measure the loudness: ") + E.what();
        return;
    }
    if (!S.History.empty()) {
        try {
            TSource Levelled(Result);
            Assemble(*Source, Levelled, Scratch + "/result.wav", S.History, &Loudness);
        } catch (const std::exception& E) {
            R.Reason = std::string("cannot carry the metadata: ") + E.what();
            return;
        }
        Result = Scratch + "/result.wav";
    }
    int64_t Frames = 0;
    try {
        TSource Levelled(Result);
        Frames = Levelled.Frames(), R.ResultSha = Levelled.AudioDigest();
        const std::string FramesAndSeconds = Levelled.FramesAndSeconds();
        R.Frames = FramesAndSeconds.substr(0, FramesAndSeconds.find(' '));
        R.Seconds = FramesAndSeconds.substr(FramesAndSeconds.find(' ') + 1);
    } catch (const std::exception&) {
        R.Reason = "cannot read the result";
        return;
    }
    if (Frames != Source->Frames()) {
        R.Reason = "result has " + std::to_string(Frames) + " frames, source has " + std::to_string(Source->Frames());
    } else if (std::rename(Result.c_str(), (S.DestDir + "/" + S.Path).c_str()) != 0) {
        R.Reason = "cannot write the result";
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
    } else if (const int Status = RunSonolift(S, Scratch); Status != 0) {
        R.Overloads = std::to_string(CountOverloads(TextOf(Scratch + "/out")));
        const std::string Err = TextOf(Scratch + "/err");
        R.Reason = "sonolift exit status " + std::to_string(Status) + (Err.empty() ? "" : ": " + Err.substr(0, Err.find('\n')));
    } else {
        R.Overloads = std::to_string(CountOverloads(TextOf(Scratch + "/out")));
        Finish(S, Scratch, R);
    }
    std::error_code Ignored;
    if (!Scratch.empty()) std::filesystem::remove_all(Scratch, Ignored);
    if (R.Status != "done") R.Frames.clear(), R.Seconds.clear(), R.ResultSha.clear(), R.ResultLufs.clear(), R.ResultRange.clear(), R.ResultPeak.clear();
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
