// The descriptor under a wave file object: opens regular files without ever blocking, reads and
// writes at explicit offsets, and keeps an optional read-ahead window (files opened read-only)
// or write-behind window (files opened for writing), written by the thread that fills it. Knows
// nothing of RIFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace wave {

// Opens Name as a regular file with Flags; -1 when it cannot be opened or is not a regular file
// (a FIFO or a device is refused, never waited on).
int OpenRegular(const std::string& Name, int Flags, mode_t Perm = 0);

class TWaveStream {
public:
    // Window: bytes of the read-ahead or write-behind window; 0 means one system call per request.
    explicit TWaveStream(size_t Window) : FWindow(Window) {}
    ~TWaveStream() { CloseQuietly(); }
    TWaveStream(const TWaveStream&) = delete;
    TWaveStream& operator=(const TWaveStream&) = delete;

    // Opens Name read-only or for reading and writing (created, replacing an old file, when
    // Create is set); false when it cannot.
    bool Open(const std::string& Name, bool Writable, bool Create = false);
    bool IsOpen() const { return FFd >= 0; }
    // Closes without writing the window; never fails.
    void CloseQuietly() noexcept;
    // Closes without writing the window (Flush first); false (errno set) when closing fails.
    bool Close();

    // Length of the file, with what the write-behind window holds; -1 when not open.
    int64_t Length() const;
    // Reads exactly Count bytes at Offset; false when fewer can be read.
    bool ReadAt(void* Buffer, size_t Count, int64_t Offset);
    // Writes Count bytes at Offset, through the window; false when a write fails (with a window,
    // possibly the one that held earlier bytes).
    bool WriteAt(const void* Buffer, size_t Count, int64_t Offset);
    // Writes Count bytes at Offset at once, past the window and its count of committed bytes
    // (for headers); false when it fails.
    bool WriteDirect(const void* Buffer, size_t Count, int64_t Offset);
    // Writes what the window holds now; false when that fails.
    bool Flush();
    // File offset up to which the last write that reached the file put its bytes.
    int64_t CommittedEnd() const { return FCommittedEnd; }
    // True when Path names this open file (same device and inode, links followed).
    bool SameFileAs(const std::string& Path) const;

private:
    bool WriteThrough(const void* Buffer, size_t Count, int64_t Offset);

    int FFd = -1;
    bool FWritable = false;
    size_t FWindow;
    std::vector<uint8_t> FReadBuf;
    int64_t FReadStart = 0;
    size_t FReadLen = 0;
    std::vector<uint8_t> FWriteBuf;
    int64_t FWriteStart = 0;
    int64_t FCommittedEnd = 0;
};

} // namespace wave
