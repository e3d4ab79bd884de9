#include "WaveNotes.h"

#include <utility>

namespace wave {

namespace {

TWaveNoteSink NoteSink;

} // namespace

TWaveNoteSink SetWaveNoteSink(TWaveNoteSink Sink) { return std::exchange(NoteSink, std::move(Sink)); }

std::string NoteLine(const TWaveNote& Note) {
    static const char* const Endings[] = {" has unknown blocks", " to many format blocks", " to many data blocks"};
    size_t Len = 0;
    while (Len < 4 && Note.Tag[Len] != '\0') ++Len;
    return "error: chunk #" + std::to_string(Note.ChunkNo) + " \"" + std::string(Note.Tag.data(), Len) + "\"" +
           Endings[static_cast<int>(Note.Kind)] + "\n";
}

void ReportNote(const TWaveNote& Note) {
    if (NoteSink) NoteSink(Note);
}

} // namespace wave
