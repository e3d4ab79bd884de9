// What sonoloud prints for one file: the line a person reads, or an RFC 4180 row under a header
// for scripts. Every text of a report is written here, once.
#pragma once

#include "LoudnessMeter.h"
#include "TargetGain.h"
#include "WaveFiles.h"

#include <string>

namespace sonoloud {

enum class TFileStatus : uint8_t { fsMeasured, fsNormalised, fsMissed, fsTooShort, fsTooQuiet, fsFailed };

struct TReport {
    std::string Path;
    TFileStatus Status = TFileStatus::fsFailed;
    bool Corrupt = false;    // the header's sizes disagree with the file
    bool Normalising = false; // a target was given
    std::string Notes;       // what opening the file noted, "; " between them, and why it failed
    TLoudness Figures;
    TGainPlan Plan;
    std::string Output;      // the file written, if any
};

// The status of a measured stream: too short below one 400 ms block, too quiet when every block
// is gated out, otherwise Done.
TFileStatus Measured(const TLoudness& L, int64_t Rate, TFileStatus Done);

// A figure of a CSV row: two decimals, '.' whatever the locale; empty where the stream gives none.
std::string CsvFigure(double V);

// "missed the target by 2.4 LU", or why there is no figure.
std::string MissedText(const TGainPlan& P);

// The header row and the columns of every row, each ended by CR LF.
std::string CsvHeader();
std::string CsvRow(const TReport& R);
// One line ended by LF: the figures of a file that was read (a failed one has the tool
// base's failure line instead).
std::string TextLine(const TReport& R);
// Why a file too short or too quiet has no integrated loudness: "too short to measure", with
// ", not normalised" where a target was given.
std::string Unmeasured(const TReport& R);
// A note of the wave layer on a chunk it does not use, as sonoloud words it: chunk #3 "LIST"
// not used. No "error": the file is read all the same.
std::string NoteText(const wave::TWaveNote& Note);

} // namespace sonoloud
