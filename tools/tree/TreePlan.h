// The plan of a run: which files under the source folder are levelled and which are skipped as
// up to date (with --resume), and the folders their results need.
#pragma once

#include <string>

namespace tree {

// sonolift-meta plan SOURCE_DIR DEST_DIR RESUME WORK: reads WORK/found (the .wav files under
// SOURCE_DIR, sorted, each ended by a 0 byte) and WORK/others (the audio files of other
// formats, alike) and writes WORK/todo and WORK/skipped (paths alike), WORK/folders (the
// folders under DEST_DIR the results need), WORK/plan (a line per file: "level PATH",
// "skip PATH" or "other PATH", quoted), WORK/counts ("TODO SKIPPED") and WORK/others-text
// (the summary's words on the other files, OthersText). A folder
// under DEST_DIR that leads into SOURCE_DIR through a symbolic link is refused: the message
// goes to standard error and the exit status is 2.
int Plan(const std::string& SourceDir, const std::string& DestDir, bool Resume, const std::string& Work);

} // namespace tree
