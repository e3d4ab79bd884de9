// The chunk walk's notes on the chunks a file holds that the wave object does not use, the one
// sink every object reports them to, and the line sonolift has always printed for each.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace wave {

// A note of the chunk walk on a chunk it does not use: an unknown (or unused) tag, a second
// format chunk (which is the one in force), a second data chunk (passed over).
enum class TNoteKind : uint8_t { nkUnused, nkSecondFormat, nkSecondData };
struct TWaveNote {
    int64_t ChunkNo = 0;
    std::array<char, 4> Tag{};
    TNoteKind Kind = TNoteKind::nkUnused;
};
// The note as sonolift has always printed it: error: chunk #N "TAG" has unknown blocks (or
// "to many format blocks", "to many data blocks"), the tag up to a zero byte, a line end.
std::string NoteLine(const TWaveNote& Note);
// Every object reports its notes to this one sink; until one is set, and with an empty one, the
// notes go nowhere. Returns the sink it replaces.
using TWaveNoteSink = std::function<void(const TWaveNote& Note)>;
TWaveNoteSink SetWaveNoteSink(TWaveNoteSink Sink);
// Hands Note to the sink, if one is set.
void ReportNote(const TWaveNote& Note);

} // namespace wave
