// What sonoloud prints for one file: the line a person reads, or an RFC 4180 row under a header
// for scripts. Every text of a report is written here, once.
#pragma once

#include "LoudnessMeter.h"
#include "StaticGain.h"

#include <string>

namespace sonoloud {

enum class TFileStatus : uint8_t { fsMeasured, fsNormalised, fsTooShort, fsTooQuiet, fsFailed };

struct TReport {
    std::string Path;
    TFileStatus Status = TFileStatus::fsFailed;
    bool Corrupt = false;    // the header's sizes disagree with the file
    bool Normalising = false; // a target was given
    std::string Notes;       // what opening the file reported, one line each
    TLoudness Figures;
    TGainPlan Plan;
    std::string Output;      // the file written, if any
};

// The status of a measured stream: too short below one 400 ms block, too quiet when every block
// is gated out, otherwise Done.
TFileStatus Measured(const TLoudness& L, int64_t Rate, TFileStatus Done);

// A figure of a CSV row: two decimals, '.' whatever the locale; empty where the stream gives none.
std::string CsvFigure(double V);

// The header row and the columns of every row, each ended by CR LF.
std::string CsvHeader();
std::string CsvRow(const TReport& R);
// One line ended by LF: the figures, or the failure line "FileName: NAME is not a wave file.".
std::string TextLine(const TReport& R);

} // namespace sonoloud
