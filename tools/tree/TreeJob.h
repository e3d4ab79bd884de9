// One file of the archive, as GNU parallel runs it on this or another machine: sonolift levels
// the source alone in a scratch folder inside the destination folder, the result is checked
// (it exists and holds every frame of the source's audio), gets the source's metadata, and is
// renamed into place, so an interrupted run never leaves a half file under a final name. Each
// file's audio is read once: the source's on a thread of its own while sonolift runs, the
// result's as it is written. The job's record reaches the driver's collector on standard output.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace tree {

// Scratch folders are named ".sonolift-tree-" six characters ".tmp" (the driver removes the
// leftovers of an interrupted run by that pattern).
inline constexpr char ScratchPrefix[] = ".sonolift-tree-", ScratchSuffix[] = ".tmp";

struct TJobSettings {
    std::string SourceDir, DestDir, Sonolift;
    std::string History; // the coding history's text; empty: sonolift's own output, no metadata
    std::string Target, Ceiling; // LUFS and dBTP the result is brought to; empty: none
    std::vector<std::string> Switches;
    std::string Path; // under SourceDir and DestDir
};

// What a job reports, field by field.
struct TJobRecord {
    // A job is a failure until it has put its result in place.
    std::string Status = "failed"; // or "done"
    std::string Overloads = "0";
    std::string Elapsed, Reason, Path, Frames, Seconds, SourceSha, ResultSha, Note;
    std::string Target, Ceiling;
    // Integrated loudness, loudness range and true peak of the source and of the result.
    std::string SourceLufs, SourceRange, SourcePeak, ResultLufs, ResultRange, ResultPeak;
    // With a target: the limiter's largest reduction (dB) and share of the time (%), where it
    // ran; "yes" where the result missed the target.
    std::string LimitedBy, LimitedTime, Missed;
    // The fields in the record's order.
    std::array<std::string*, 21> Fields() {
        return {&Status,     &Elapsed,     &Overloads,  &Reason,     &Path,       &Frames,      &Seconds,
                &SourceSha,  &ResultSha,   &Note,       &Target,     &Ceiling,    &SourceLufs,  &SourceRange,
                &SourcePeak, &ResultLufs,  &ResultRange, &ResultPeak, &LimitedBy, &LimitedTime, &Missed};
    }
};

// sonolift-meta job SOURCE_DIR DEST_DIR SONOLIFT HISTORY TARGET CEILING [SWITCH...] PATH
TJobSettings JobSettings(const std::vector<std::string>& Args);
TJobRecord RunJob(const TJobSettings& Settings);

// A record as the job writes it: every field ended by a 0 byte.
std::string EncodeRecord(const TJobRecord& R);
// Takes the first whole record off the front of Buffer; false while none is whole.
bool DecodeRecord(std::string& Buffer, TJobRecord& R);

} // namespace tree
