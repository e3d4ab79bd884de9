// The start of the line sonolift prints for each sample it clips, written once: the program
// prints it and the archive helper counts the lines that start so.
#pragma once

namespace vx {

inline constexpr char OverloadLine[] = "Overload ";

} // namespace vx
