// A levelled result with its source's metadata: the source's chunks but fmt, data (and the
// ds64 of RF64) in their order, byte for byte, the levelled fmt and data in place of the
// source's, a pad byte after each odd-sized chunk; RF64 past 4 GiB.
#pragma once

#include "LoudnessMeter.h"
#include "TreeSource.h"

#include <string>

namespace tree {

// With History a bext coding history gains the line "A=PCM,F=rate,W=bits[,M=mono|stereo],T=History"
// and CR LF. With Loudness (the result's own figures) a bext becomes version 2 with them in its
// five loudness fields; a source's figures are never carried. The chunks of a damaged source are carried only up to the first that is cut or runs
// past the file's end. Raises "<name> has no fmt or data chunk", "cannot write <Out>".
void Assemble(TSource& Source, TSource& Levelled, const std::string& OutName, const std::string& History,
              const sonoloud::TLoudness* Loudness = nullptr);
// The bext fields: version 2, and each figure times 100 as a signed 16-bit integer (0x7FFF
// where a figure is not available).
void SetBextLoudness(TBytes& Bext, const sonoloud::TLoudness& L);

} // namespace tree
