// How the chunk walk reads headers it cannot trust: how much eight bytes look like a chunk
// header, where the chunk after an odd-sized one starts (its pad byte or none), and which of two
// such readings reaches the chunks a WAVE file needs. Reads through the stream; keeps no state.
#pragma once

#include "WaveStream.h"

#include <cstdint>
#include <string>

namespace wave {

// The tags writers are known to put in a WAVE file, four characters each.
inline constexpr char WaveTags[] = "fmt dataLISTbextiXMLfactcue JUNKPAD PEAKcart_PMXds64smplinstaxmlid3 ID3 umidlabllevl"
                                   "chnabxmlsxml";

// 0 when the tag at Raw is not four printable characters (the first no blank); else 1, one
// more when the size after it fits before End, one more for a tag of WaveTags.
int HeaderScore(const uint8_t* Raw, int64_t At, int64_t End);

// Where the chunk after an odd-sized chunk starts, At being the byte after its payload: At + 1
// when the byte at At is zero (a pad byte, wherever it stands), or when another byte there is
// followed by a header that scores higher than the one at At; else At. End bounds the walk.
// Raises "Stream read error" when the bytes cannot be read.
int64_t PadRule(TWaveStream& Stream, int64_t At, int64_t End);

// True when the walk from At, taking pad bytes by PadRule, meets within Steps headers one
// whose tag is one of Wanted (four characters each) before it runs past End. Budget counts the
// headers read and ends every look once it is spent; a read that fails ends the look.
bool Reaches(TWaveStream& Stream, int64_t At, int64_t End, const std::string& Wanted, int Steps, int64_t& Budget);

} // namespace wave
