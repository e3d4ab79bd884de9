// File enumeration for the wave tools: one file argument, whose last component may hold
// shell wildcards, becomes a sorted list of matching files. Also the small numeric helper
// RoundUp. Knows nothing of audio or of the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx {

// The integer part of X plus 1 when X has a fraction: 2.0 gives 2, 2.25 gives 3, -1.5 gives 0.
int64_t RoundUp(double X);

// Wanted made absolute and resolved textually ("." dropped, ".." removes the component before
// it, repeated '/' collapsed), against the current working directory when it is relative.
std::string ExpandFileName(const std::string& Wanted);
// The current working directory, without a trailing '/'; empty when it cannot be taken.
std::string CurrentDir();
// Path relative to BaseDir (which ends in '/'), climbing with "../" where needed.
std::string ExtractRelativePath(const std::string& BaseDir, const std::string& Path);

// True when Out is a link (symbolic, or a second hard link) to one of Inputs: creating Out
// would write through it into that input. A plain file is not a link and may be replaced.
bool LinksToAnyOf(const std::string& Out, const std::vector<std::string>& Inputs);

// Appends to List the entries matching Wanted (wildcards in its last component, fnmatch with
// FNM_PATHNAME) that are not folders, as absolute paths, sorted case-insensitively under the
// locale's collation, and returns how many it appended. Symbolic links count as files. Reports
// nothing: a directory that cannot be listed contributes nothing.
int64_t FindFiles(const std::string& Wanted, std::vector<std::string>& List);

} // namespace vx
