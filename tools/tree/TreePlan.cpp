#include "TreePlan.h"

#include "ShellQuote.h"
#include "TreeRun.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>

namespace tree {

namespace {

// True when Path is Folder or lies below it.
bool Inside(const std::string& Path, const std::string& Folder) {
    return Path == Folder || Path.starts_with(Folder.ends_with('/') ? Folder : Folder + "/");
}

// True when Result is a file (links followed) modified after Source, as the shell's -nt has it.
bool UpToDate(const std::string& Result, const std::string& Source) {
    struct stat R, S;
    if (::stat(Result.c_str(), &R) != 0 || !S_ISREG(R.st_mode)) return false;
    if (::stat(Source.c_str(), &S) != 0) return true;
    return R.st_mtim.tv_sec != S.st_mtim.tv_sec ? R.st_mtim.tv_sec > S.st_mtim.tv_sec : R.st_mtim.tv_nsec > S.st_mtim.tv_nsec;
}

} // namespace

int Plan(const std::string& SourceDir, const std::string& DestDir, bool Resume, const std::string& Work) {
    std::ifstream Found(Work + "/found", std::ios::binary);
    std::ofstream Todo(Work + "/todo", std::ios::binary), Skipped(Work + "/skipped", std::ios::binary);
    std::ofstream Lines(Work + "/plan", std::ios::binary);
    std::set<std::string> Folders;
    size_t ToLevel = 0, ToSkip = 0;
    for (std::string Path; std::getline(Found, Path, '\0');) {
        const bool Skip = Resume && UpToDate(DestDir + "/" + Path, SourceDir + "/" + Path);
        (Skip ? Skipped : Todo) << Path << '\0';
        Lines << (Skip ? "skip " : "level ") << ShellQuote(Path) << '\n';
        ++(Skip ? ToSkip : ToLevel);
        if (!Skip && Path.find('/') != std::string::npos) Folders.insert(DestDir + "/" + Path.substr(0, Path.rfind('/')));
    }
    // A symbolic link in DEST_DIR must not lead results over the sources.
    std::ofstream Made(Work + "/folders", std::ios::binary);
    for (const std::string& Folder : Folders) {
        std::error_code Error;
        const std::string Resolved = std::filesystem::weakly_canonical(Folder, Error).string();
        if (Error) {
            std::fprintf(stderr, "%s: the folders of DEST_DIR cannot be resolved\n", TreeProgram);
            return 2;
        }
        if (Inside(Resolved, SourceDir)) {
            std::fprintf(stderr, "%s: refused: %s in DEST_DIR lies inside SOURCE_DIR %s\n", TreeProgram,
                         ShellQuote(Resolved).c_str(), ShellQuote(SourceDir).c_str());
            return 2;
        }
        Made << Folder << '\0';
    }
    // Audio files of other formats are listed, and counted in the summary, never levelled.
    std::ifstream Others(Work + "/others", std::ios::binary);
    size_t Other = 0;
    for (std::string Path; std::getline(Others, Path, '\0'); ++Other) Lines << "other " << ShellQuote(Path) << '\n';
    std::ofstream Counts(Work + "/counts", std::ios::binary), OthersText_(Work + "/others-text", std::ios::binary);
    Counts << ToLevel << ' ' << ToSkip << '\n';
    OthersText_ << OthersText(Other) << '\n';
    for (std::ofstream* F : {&Todo, &Skipped, &Lines, &Made, &Counts, &OthersText_}) F->close();
    if (Todo && Skipped && Lines && Made && Counts && OthersText_) return 0;
    std::fprintf(stderr, "%s: cannot write the plan in %s\n", TreeProgram, ShellQuote(Work).c_str());
    return 2;
}

} // namespace tree
