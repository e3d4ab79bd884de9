// The driver's side of a run, after GNU parallel: the jobs' records become the log, the
// manifest's rows and the summary; and the check of a finished archive against its manifest.
#pragma once

#include <string>
#include <vector>

namespace tree {

// The program whose messages these are.
inline constexpr char TreeProgram[] = "sonolift-tree";

struct TRunSettings {
    std::string SourceDir, DestDir;
    std::string Todo, Skipped; // files of paths, each ended by a 0 byte, in the plan's order
    std::string Others;        // the other audio files found (FLAC, MP3, ...), likewise
    std::string Log;           // empty: no log
    std::string Version, Switches, Time; // for the manifest
};

// sonolift-meta collect SOURCE_DIR DEST_DIR TODO SKIPPED OTHERS LOG VERSION SWITCHES TIME, the
// jobs' records on standard input. Prints the summary (with the count of other audio files when
// there are any) and the failures; returns the exit status (0, 1 when a file failed or the
// manifest could not be written, 128 + N when signal N stopped the run: then without a summary).
int Collect(const TRunSettings& S);
// ", N other audio files (not WAVE, not levelled)" of the summary lines; empty for none.
std::string OthersText(size_t Count);
// sonolift-meta verify DEST_DIR [SOURCE_DIR], DEST_DIR's .wav files on standard input (each
// ended by a 0 byte). Prints every problem and the summary; 1 when there is one, else 0.
int Verify(const std::string& DestDir, const std::string& SourceDir);

} // namespace tree
