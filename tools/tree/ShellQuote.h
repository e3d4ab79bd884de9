// Paths in the archive driver's messages and log, quoted as bash's printf %q quotes them, so a
// name with blanks, quotes or line ends stays one unambiguous word that a shell reads back.
#pragma once

#include <string>

namespace tree {

// Follows the character classes of LC_CTYPE (as bash does): in a UTF-8 locale printable
// multibyte characters stay as they are, in the C locale they become octal escapes.
std::string ShellQuote(const std::string& Text);

} // namespace tree
