// A levelled result with its source's metadata: the source's chunks but fmt, data (and the
// ds64 of RF64) in their order, byte for byte, the levelled fmt and data in place of the
// source's, a pad byte after each odd-sized chunk; RF64 past 4 GiB, BW64 for a BW64 source.
#pragma once

#include "LoudnessMeter.h"
#include "StaticGain.h"
#include "TreeFigures.h"
#include "TreeSource.h"

#include <functional>
#include <string>

namespace tree {

// How a result is assembled. With History a bext coding history gains the line
// "A=PCM,F=rate,W=bits[,M=mono|stereo],T=History" and CR LF, on a line of its own. With Figures the data chunk's
// bytes go to it as they are written, and a bext becomes version 2 with its loudness (the
// result's own: a source's figures are never carried). Fill, where set, writes the data chunk's
// DataBytes bytes through its sink; without it the levelled file's data chunk is copied.
struct TAssembly {
    std::string History;
    TFigures* Figures = nullptr;
    int64_t DataBytes = 0;
    std::function<void(const sonoloud::TBytesSink& Put)> Fill;
    bool Rf64 = false; // RF64 whatever the size
};

// The chunks of a damaged source are carried only up to the first that is cut or runs past the
// file's end. Raises "<name> has no fmt or data chunk", "cannot write <Out>".
void Assemble(TSource& Source, TSource& Levelled, const std::string& OutName, const TAssembly& How = {});
// The bext fields: version 2, and each figure times 100 as a signed 16-bit integer (0x7FFF
// where a figure is not available).
void SetBextLoudness(TBytes& Bext, const sonoloud::TLoudness& L);

} // namespace tree
