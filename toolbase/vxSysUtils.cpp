#include "vxSysUtils.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {

int64_t RoundUp(double X) {
    if (!std::isfinite(X)) return 0;
    // Saturate only outside the 64-bit range (2^63 is exact in a double).
    if (X >= 9223372036854775808.0) return INT64_MAX;
    if (X < -9223372036854775808.0) return INT64_MIN;
    int64_t Whole = static_cast<int64_t>(X);
    return static_cast<double>(Whole) != X ? Whole + 1 : Whole;
}

std::string CurrentDir() {
    std::vector<char> Buffer(4096);
    while (::getcwd(Buffer.data(), Buffer.size()) == nullptr) {
        if (errno != ERANGE || Buffer.size() > (1u << 20)) return std::string();
        Buffer.resize(Buffer.size() * 2);
    }
    std::string Dir(Buffer.data());
    if (Dir.size() > 1 && Dir.back() == '/') Dir.pop_back();
    return Dir;
}

std::string ExpandFileName(const std::string& Wanted) {
    std::string Full = (!Wanted.empty() && Wanted[0] == '/') ? Wanted : CurrentDir() + "/" + Wanted;
    std::vector<std::string> Parts;
    size_t Start = 0;
    while (Start <= Full.size()) {
        size_t Slash = Full.find('/', Start);
        if (Slash == std::string::npos) Slash = Full.size();
        std::string Part = Full.substr(Start, Slash - Start);
        if (Part == "..") {
            if (!Parts.empty()) Parts.pop_back();
        } else if (!Part.empty() && Part != ".") {
            Parts.push_back(Part);
        }
        Start = Slash + 1;
    }
    std::string Result;
    for (const std::string& Part : Parts) Result += "/" + Part;
    if (Result.empty()) Result.push_back('/');
    // A trailing '/' (or a last component that resolved away) leaves an empty pattern.
    const bool Trailing = !Full.empty() && (Full.back() == '/' || Full.ends_with("/.") || Full.ends_with("/.."));
    if (Trailing && Result.back() != '/') Result += "/";
    return Result;
}

std::string ExtractRelativePath(const std::string& BaseDir, const std::string& Path) {
    auto Split = [](const std::string& S) {
        std::vector<std::string> Parts;
        size_t Start = 0;
        while (Start < S.size()) {
            size_t Slash = S.find('/', Start);
            if (Slash == std::string::npos) Slash = S.size();
            if (Slash > Start) Parts.push_back(S.substr(Start, Slash - Start));
            Start = Slash + 1;
        }
        return Parts;
    };
    std::vector<std::string> Base = Split(BaseDir);
    std::vector<std::string> Target = Split(Path);
    // The last component of Path is the file name and never shared with the directory.
    size_t Common = 0;
    while (Common < Base.size() && Common + 1 < Target.size() && Base[Common] == Target[Common]) ++Common;
    std::string Result;
    for (size_t I = Common; I < Base.size(); ++I) Result += "../";
    for (size_t I = Common; I < Target.size(); ++I) {
        Result += Target[I];
        if (I + 1 < Target.size()) Result += "/";
    }
    if (!Path.empty() && Path.back() == '/') Result += "/";
    return Result;
}

namespace {

struct DirCloser {
    void operator()(DIR* D) const { ::closedir(D); }
};

// The entries of Dir that match Pattern and are not folders.
void Walk(const std::string& Dir, const std::string& Pattern, std::vector<std::string>& Found) {
    std::unique_ptr<DIR, DirCloser> Listing(::opendir(Dir.c_str()));
    if (!Listing) return;
    while (struct dirent* Entry = ::readdir(Listing.get())) {
        const std::string Name = Entry->d_name;
        if (Name == "." || Name == "..") continue;
        struct stat St {};
        if (::lstat((Dir + Name).c_str(), &St) != 0) continue;
        if (::fnmatch(Pattern.c_str(), Name.c_str(), FNM_PATHNAME) == 0 && !S_ISDIR(St.st_mode)) Found.push_back(Dir + Name);
    }
}

std::string UpperCased(const std::string& S) {
    std::string U = S;
    for (char& C : U) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    return U;
}

} // namespace

int64_t FindFiles(const std::string& Wanted, std::vector<std::string>& List) {
    const size_t Slash = Wanted.rfind('/');
    const std::string Pattern = Slash == std::string::npos ? Wanted : Wanted.substr(Slash + 1);
    // Without a working directory a relative name matches nothing (not the root).
    if ((Wanted.empty() || Wanted[0] != '/') && CurrentDir().empty()) return 0;
    const std::string Full = ExpandFileName(Wanted);
    const std::string Base = Full.substr(0, Full.rfind('/') + 1);
    std::vector<std::string> Found;
    Walk(Base, Pattern, Found);
    std::vector<std::pair<std::string, std::string>> Keyed;
    Keyed.reserve(Found.size());
    for (std::string& Name : Found) Keyed.emplace_back(UpperCased(Name), std::move(Name));
    std::stable_sort(Keyed.begin(), Keyed.end(), [](const auto& A, const auto& B) {
        return std::strcoll(A.first.c_str(), B.first.c_str()) < 0;
    });
    for (auto& Pair : Keyed) List.push_back(std::move(Pair.second));
    return static_cast<int64_t>(Keyed.size());
}

bool LinksToAnyOf(const std::string& Out, const std::vector<std::string>& Inputs) {
    struct stat Link {}, Target {};
    if (::lstat(Out.c_str(), &Link) != 0 || (!S_ISLNK(Link.st_mode) && Link.st_nlink <= 1)) return false;
    if (::stat(Out.c_str(), &Target) != 0) return false;
    for (const std::string& In : Inputs) {
        struct stat St {};
        if (::stat(In.c_str(), &St) == 0 && St.st_dev == Target.st_dev && St.st_ino == Target.st_ino) return true;
    }
    return false;
}

} // namespace vx
