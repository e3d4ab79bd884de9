// sonolift-meta: the archive driver's work that the shell does poorly. Files are read through
// the project's wave object, so they are walked exactly as sonolift walks them.
//
//   job SOURCE_DIR DEST_DIR SONOLIFT HISTORY TARGET CEILING [SWITCH...] PATH   one file of a run (TreeJob)
//   plan SOURCE_DIR DEST_DIR RESUME WORK   which files are levelled, which skipped (TreePlan)
//   collect SOURCE_DIR DEST_DIR TODO SKIPPED OTHERS LOG VERSION SWITCHES TIME   the run's records
//       into the log, the manifest and the summary (TreeRun)
//   verify DEST_DIR [SOURCE_DIR]   a finished archive against its manifest (TreeRun)
//   assemble SOURCE LEVELLED OUT [TEXT]   LEVELLED's audio with SOURCE's metadata (TreeAssemble)
//   info FILE   "FRAMES SECONDS" of FILE's audio, then, when the header's sizes disagree with
//       the file, a blank and why (the manifest's note)
//   list FILE   "OFFSET TAG SIZE" of every chunk walked
//   rows CSV    the manifest's rows after its header, each field ended by a 0 byte
//   version     the project's version, which the driver tells as its own
#include "TreeAssemble.h"
#include "TreeJob.h"
#include "TreeManifest.h"
#include "TreePlan.h"
#include "TreeRun.h"
#include "TreeSource.h"
#include "vxSystem.h"

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

void Put(const std::string& S) {
    if (std::fwrite(S.data(), 1, S.size(), stdout) != S.size() || std::fflush(stdout) != 0) throw vx::EvxError("cannot write standard output");
}

// Name read through the wave object, a failure told with the file's name.
std::unique_ptr<tree::TSource> Open(const std::string& Name) {
    try {
        return std::make_unique<tree::TSource>(Name);
    } catch (const vx::EvxError& E) {
        throw vx::EvxError(Name + ": " + E.Message());
    }
}

int Run(const std::string& Command, const std::vector<std::string>& Args) {
    using namespace tree;
    const size_t N = Args.size();
    if (Command == "version" && N == 0) {
        Put(SONOLIFT_VERSION "\n");
    } else if (Command == "job" && N >= 7) {
        Put(EncodeRecord(RunJob(JobSettings(Args))));
    } else if (Command == "plan" && N == 4) {
        return Plan(Args[0], Args[1], Args[2] == "1", Args[3]);
    } else if (Command == "collect" && N == 9) {
        return Collect({Args[0], Args[1], Args[2], Args[3], Args[4], Args[5], Args[6], Args[7], Args[8]});
    } else if (Command == "verify" && (N == 1 || N == 2)) {
        return Verify(Args[0], N == 2 ? Args[1] : "");
    } else if (Command == "assemble" && (N == 3 || N == 4)) {
        TAssembly How;
        How.History = N == 4 ? Args[3] : "";
        Assemble(*Open(Args[0]), *Open(Args[1]), Args[2], How);
    } else if (Command == "info" && N == 1) {
        const auto S = Open(Args[0]);
        const std::string Why = S->Note();
        Put(std::to_string(S->Frames()) + " " + SecondsText(S->Seconds()) + (Why.empty() ? "" : " " + Why) + "\n");
    } else if (Command == "list" && N == 1) {
        const auto S = Open(Args[0]);
        for (const auto& C : S->Walked) Put(std::to_string(C.Offset) + " " + TagOf(C) + " " + std::to_string(C.Header.Size) + "\n");
    } else if (Command == "rows" && N == 1) {
        for (const TRow& R : ReadManifest(Args[0]))
            for (const std::string& F : R) Put(F + '\0');
    } else {
        std::fputs("usage: sonolift-meta job SOURCE_DIR DEST_DIR SONOLIFT HISTORY TARGET CEILING [SWITCH...] PATH | plan SOURCE_DIR DEST_DIR RESUME WORK |\n"
                   "       collect SOURCE_DIR DEST_DIR TODO SKIPPED OTHERS LOG VERSION SWITCHES TIME | verify DEST_DIR [SOURCE_DIR] |\n"
                   "       assemble SOURCE LEVELLED OUT [TEXT] | info FILE | list FILE | rows CSV | version\n",
                   stderr);
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Paths in messages are quoted as the shell's character classes have them; nothing else
    // follows the locale.
    std::setlocale(LC_CTYPE, "");
    std::signal(SIGXFSZ, SIG_IGN); // a write past a file-size limit fails, with its reason
    try {
        return Run(argc > 1 ? argv[1] : "", std::vector<std::string>(argv + std::min(argc, 2), argv + argc));
    } catch (const std::exception& E) {
        std::fprintf(stderr, "sonolift-meta: %s\n", E.what());
        return 1;
    }
}
