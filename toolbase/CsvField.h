// One field of an RFC 4180 record, as the tools' CSV outputs write it: quoted when it holds a
// comma, a quote or a line end, its quotes doubled. Written once, here.
#pragma once

#include <string>

namespace vx {

inline std::string CsvField(const std::string& S) {
    if (S.find_first_of(",\"\r\n") == std::string::npos) return S;
    std::string Q = "\"";
    for (char C : S) Q.append(C == '"' ? 2 : 1, C);
    return Q + "\"";
}

} // namespace vx
