#include "LoudnessReport.h"

#include "CsvField.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace sonoloud {

namespace {

// Fixed-point text with '.' whatever the locale; no minus sign on a value that rounds to zero.
std::string Fixed(double V, int Digits) {
    char Buffer[400];
    auto [End, Err] = std::to_chars(Buffer, Buffer + sizeof Buffer, V, std::chars_format::fixed, Digits);
    std::string S = Err == std::errc() ? std::string(Buffer, End) : std::string();
    if (S.find_first_not_of("-0.") == std::string::npos && S[0] == '-') S.erase(0, 1);
    return S;
}

std::string Signed(double V, int Digits) {
    std::string S = Fixed(V, Digits);
    return S[0] == '-' || S.find_first_not_of("0.") == std::string::npos ? S : "+" + S;
}

// A figure of the line, or "n/a" where the stream gives none (never -inf as a number).
std::string Figure(const char* Name, double V, const char* Unit) {
    return std::string(Name) + " " + (std::isfinite(V) ? Fixed(V, 1) + " " + Unit : std::string("n/a"));
}

const char* StatusText(TFileStatus S) {
    switch (S) {
    case TFileStatus::fsMeasured: return "measured";
    case TFileStatus::fsNormalised: return "normalised";
    case TFileStatus::fsMissed: return "missed target";
    case TFileStatus::fsTooShort: return "too short";
    case TFileStatus::fsTooQuiet: return "too quiet";
    default: return "failed";
    }
}

// What the gain did: "gain +9.10 dB, peaks limited by up to 6.2 dB (0.8 % of the time)", and
// by how much the output missed its target where it did.
std::string GainText(const TGainPlan& P, TFileStatus S) {
    std::string T = "gain " + Signed(P.Db, 2) + " dB";
    if (P.Limiter) T += ", peaks limited by up to " + Fixed(P.Reduction, 1) + " dB (" + Fixed(100 * P.Share, 1) + " % of the time)";
    if (S != TFileStatus::fsMissed) return T + (P.Limited ? ", limited by the ceiling" : "");
    return T + ", " + MissedText(P) + (P.Limiter ? "" : P.Limited ? " (static gain, limited by the ceiling)" : " (static gain)");
}

} // namespace

std::string MissedText(const TGainPlan& P) {
    const std::string Peaks = "true peaks left above the ceiling";
    if (std::fabs(P.Reached - P.Target) <= MissedBy) return "missed the target: " + Peaks;
    return (std::isfinite(P.Reached) ? "missed the target by " + Fixed(std::fabs(P.Reached - P.Target), 1) + " LU"
                                     : std::string("missed the target (no loudness left)")) +
           (P.OverCeiling ? ", " + Peaks : "");
}

std::string CsvFigure(double V) { return std::isfinite(V) ? Fixed(V, 2) : std::string(); }

TFileStatus Measured(const TLoudness& L, int64_t Rate, TFileStatus Done) {
    if (std::isfinite(L.Integrated)) return Done;
    return L.Frames * 10 < Rate * 4 ? TFileStatus::fsTooShort : TFileStatus::fsTooQuiet;
}

std::string CsvHeader() {
    return "file,status,integrated_lufs,loudness_range_lu,true_peak_dbtp,sample_peak_dbfs,max_momentary_lufs,"
           "max_short_term_lufs,gain_db,ceiling_limited,output,notes,limited_by_db,limited_time_percent,"
           "output_integrated_lufs\r\n";
}

std::string CsvRow(const TReport& R) {
    const TLoudness& L = R.Figures;
    const bool Failed = R.Status == TFileStatus::fsFailed;
    const bool Gain = R.Status == TFileStatus::fsNormalised || R.Status == TFileStatus::fsMissed;
    std::string Notes = R.Corrupt ? "corrupt header" : "";
    if (!R.Notes.empty()) Notes += (Notes.empty() ? "" : "; ") + R.Notes;
    std::string Row = vx::CsvField(R.Path) + "," + StatusText(R.Status);
    // Appended piece by piece: GCC 12 takes a literal + a temporary string for an overlapping copy.
    for (double V : {L.Integrated, L.Range, L.TruePeak, L.SamplePeak, L.MaxMomentary, L.MaxShortTerm}) {
        Row += ',';
        if (!Failed) Row += CsvFigure(V);
    }
    Row += ',';
    if (Gain) Row += Fixed(R.Plan.Db, 2);
    Row += ',';
    if (Gain) Row += R.Plan.Limited || R.Plan.Limiter ? "yes" : "no";
    // piece by piece: GCC 12 at -O3 sees a false overlap in "," + a temporary string
    Row += ',';
    Row += vx::CsvField(R.Output);
    Row += ',';
    Row += vx::CsvField(Notes);
    Row += ',';
    if (Gain && R.Plan.Limiter) Row += Fixed(R.Plan.Reduction, 2) + "," + Fixed(100 * R.Plan.Share, 2);
    else Row += ",";
    Row += ',';
    if (Gain) Row += CsvFigure(R.Plan.Reached);
    return Row + "\r\n";
}

std::string TextLine(const TReport& R) {
    const TLoudness& L = R.Figures;
    std::string Line = R.Path + (R.Corrupt ? " -- Corrupt" : "") + ": " + Figure("integrated", L.Integrated, "LUFS") +
                       ", " + Figure("range", L.Range, "LU") + ", " + Figure("true peak", L.TruePeak, "dBTP") + ", " +
                       Figure("sample peak", L.SamplePeak, "dBFS") + ", " +
                       Figure("max momentary", L.MaxMomentary, "LUFS") + ", " +
                       Figure("max short-term", L.MaxShortTerm, "LUFS");
    if (R.Status == TFileStatus::fsNormalised || R.Status == TFileStatus::fsMissed) Line += "; " + GainText(R.Plan, R.Status);
    if (R.Status == TFileStatus::fsTooShort || R.Status == TFileStatus::fsTooQuiet) Line += "; " + Unmeasured(R);
    return Line + "\n";
}

std::string Unmeasured(const TReport& R) {
    return std::string(StatusText(R.Status)) + " to measure" + (R.Normalising ? ", not normalised" : "");
}

std::string NoteText(const wave::TWaveNote& Note) {
    static const char* const Endings[] = {" not used", " is a second format chunk, the one read", " is a second data chunk, not used"};
    const std::string Tag(Note.Tag.data(), std::find(Note.Tag.begin(), Note.Tag.end(), '\0'));
    return "chunk #" + std::to_string(Note.ChunkNo) + " \"" + Tag + "\"" + Endings[static_cast<int>(Note.Kind)];
}

} // namespace sonoloud
