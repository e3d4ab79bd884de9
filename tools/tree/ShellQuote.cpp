#include "ShellQuote.h"

#include <cstring>
#include <cwchar>
#include <cwctype>

namespace tree {

namespace {

// The length of a printable multibyte character at P (at most N bytes), or 0.
size_t PrintableWide(const char* P, size_t N) {
    std::mbstate_t State{};
    wchar_t W = 0;
    const size_t L = std::mbrtowc(&W, P, N, &State);
    return L == 0 || L > N || !std::iswprint(static_cast<wint_t>(W)) ? 0 : L;
}

bool AsciiPrintable(unsigned char C) { return C >= 0x20 && C < 0x7F; }

// $'...' for a text with a character that cannot be shown as it is.
std::string AnsiQuote(const std::string& T) {
    std::string R = "$'";
    for (size_t I = 0; I < T.size(); ++I) {
        const unsigned char C = static_cast<unsigned char>(T[I]);
        const char* Named = std::strchr("\033E\aa\vv\bb\ff\nn\rr\tt", C);
        if (C != 0 && Named != nullptr && (Named - "\033E\aa\vv\bb\ff\nn\rr\tt") % 2 == 0) {
            R += '\\', R += Named[1];
        } else if (C == '\\' || C == '\'') {
            R += '\\', R += static_cast<char>(C);
        } else if (AsciiPrintable(C)) {
            R += static_cast<char>(C);
        } else if (const size_t L = C >= 0x80 ? PrintableWide(T.data() + I, T.size() - I) : 0) {
            R.append(T, I, L), I += L - 1;
        } else {
            R += '\\', R += static_cast<char>('0' + (C >> 6)), R += static_cast<char>('0' + (C >> 3 & 7));
            R += static_cast<char>('0' + (C & 7));
        }
    }
    return R + "'";
}

} // namespace

std::string ShellQuote(const std::string& T) {
    if (T.empty()) return "''";
    for (size_t I = 0; I < T.size(); ++I) {
        const unsigned char C = static_cast<unsigned char>(T[I]);
        if (C >= 0x80) {
            const size_t L = PrintableWide(T.data() + I, T.size() - I);
            if (L == 0) return AnsiQuote(T);
            I += L - 1;
        } else if (!AsciiPrintable(C)) {
            return AnsiQuote(T);
        }
    }
    std::string R;
    for (size_t I = 0; I < T.size(); ++I) {
        const char C = T[I];
        // the shell's special characters, and those special at the start of a word (a tilde
        // after ':' or '=' too)
        const bool WordStart = I == 0 || T[I - 1] == ':' || T[I - 1] == '=';
        if ((C != 0 && std::strchr(" !\"$&'()*,;<>?[\\]^`{|}", C) != nullptr) || (I == 0 && C == '#') || (WordStart && C == '~'))
            R += '\\';
        R += C;
    }
    return R;
}

} // namespace tree
