// The archive's manifest: one RFC 4180 CSV row per file, its columns named once here. Rows of
// earlier runs are kept; a manifest of an earlier version lacks the last columns, which read as
// empty.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace tree {

enum TColumn : size_t { colPath, colStatus, colFrames, colSeconds, colOverloads, colSourceSha, colResultSha,
                        colVersion, colSwitches, colTime, colNote, colTarget, colCeiling, colSourceLufs, colSourceRange,
                        colSourcePeak, colResultLufs, colResultRange, colResultPeak, colLimitedBy, colLimitedTime,
                        ColumnCount };
inline constexpr std::array<const char*, ColumnCount> ColumnNames = {
    "path", "status", "frames", "seconds", "overloads", "source_sha256", "result_sha256", "sonolift_version",
    "switches", "time", "note", "target_lufs", "ceiling_dbtp", "source_integrated_lufs", "source_loudness_range_lu",
    "source_true_peak_dbtp", "result_integrated_lufs", "result_loudness_range_lu", "result_true_peak_dbtp",
    "limited_by_db", "limited_time_percent"};
inline constexpr char ManifestName[] = "sonolift-manifest.csv";

using TRow = std::array<std::string, ColumnCount>;

// The rows after the header, in the file's order; none when the file cannot be read.
std::vector<TRow> ReadManifest(const std::string& Name);
// Rows replace the rows of the same path in Name, or are added; the file is written sorted by
// path to Name.tmp, then renamed. Raises the system's reason when it cannot be written.
void MergeManifest(const std::string& Name, const std::vector<TRow>& Rows);

} // namespace tree
