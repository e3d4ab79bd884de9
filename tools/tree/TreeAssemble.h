// A levelled result with its source's metadata: the source's chunks but fmt, data (and the
// ds64 of RF64) in their order, byte for byte, the levelled fmt and data in place of the
// source's, a pad byte after each odd-sized chunk; RF64 past 4 GiB.
#pragma once

#include "TreeSource.h"

#include <string>

namespace tree {

// With History a bext coding history gains the line "A=PCM,F=rate,W=bits[,M=mono|stereo],T=History"
// and CR LF. The chunks of a damaged source are carried only up to the first that is cut or runs
// past the file's end. Raises "<name> has no fmt or data chunk", "cannot write <Out>".
void Assemble(TSource& Source, TSource& Levelled, const std::string& OutName, const std::string& History);

} // namespace tree
