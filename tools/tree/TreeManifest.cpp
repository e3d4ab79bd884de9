#include "TreeManifest.h"

#include "CsvField.h"
#include "vxSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>

namespace tree {

namespace {

// RFC 4180 records end in CR LF.
std::string CsvRecord(const TRow& Fields) {
    std::string Line;
    bool First = true;
    for (const std::string& F : Fields) {
        if (!std::exchange(First, false)) Line += ',';
        Line += vx::CsvField(F);
    }
    return Line + "\r\n";
}

} // namespace

std::vector<TRow> ReadManifest(const std::string& Name) {
    std::ifstream In(Name, std::ios::binary);
    const std::string T((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    std::vector<std::vector<std::string>> Records;
    std::vector<std::string> Record(1);
    bool Quoted = false;
    for (size_t I = 0; I < T.size(); ++I) {
        const char C = T[I];
        if (Quoted) {
            if (C != '"') Record.back() += C;
            else if (I + 1 < T.size() && T[I + 1] == '"') Record.back() += '"', ++I;
            else Quoted = false;
        } else if (C == '"') {
            Quoted = true;
        } else if (C == ',') {
            Record.emplace_back();
        } else if (C == '\n' || (C == '\r' && I + 1 < T.size() && T[I + 1] == '\n')) {
            I += C == '\r';
            Records.push_back(std::move(Record));
            Record.assign(1, "");
        } else {
            Record.back() += C;
        }
    }
    if (Record.size() > 1 || !Record[0].empty()) Records.push_back(Record);
    std::vector<TRow> Rows;
    for (size_t R = 1; R < Records.size(); ++R) { // after the header
        TRow& Row = Rows.emplace_back();
        for (size_t F = 0; F < Records[R].size() && F < ColumnCount; ++F) Row[F] = std::move(Records[R][F]);
    }
    return Rows;
}

void MergeManifest(const std::string& Name, const std::vector<TRow>& New) {
    std::map<std::string, TRow> Rows;
    for (TRow& R : ReadManifest(Name)) Rows[R[colPath]] = std::move(R);
    for (const TRow& R : New) Rows[R[colPath]] = R;
    TRow Header;
    std::copy(ColumnNames.begin(), ColumnNames.end(), Header.begin());
    std::string Text = CsvRecord(Header);
    for (const auto& [Path, R] : Rows) Text += CsvRecord(R);
    const std::string Temporary = Name + ".tmp";
    errno = 0;
    std::ofstream F(Temporary, std::ios::binary | std::ios::trunc);
    F << Text;
    F.close();
    if (!F || std::rename(Temporary.c_str(), Name.c_str()) != 0) {
        const std::string Why = errno != 0 ? std::strerror(errno) : "cannot write";
        std::remove(Temporary.c_str());
        throw vx::EvxError(Why);
    }
}

} // namespace tree
