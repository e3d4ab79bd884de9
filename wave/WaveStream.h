// The descriptor under a wave file object: opens regular files without ever blocking, reads and
// writes at explicit offsets, and keeps an optional read-ahead window (files opened read-only)
// or write-behind window (files opened for writing). Where the process may run on more than one
// processor, a helper thread writes a full write-behind window while the next one fills. Knows
// nothing of RIFF.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
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
    // Writes the window, then closes; false (errno set) when either fails.
    bool Close();

    // Length of the file, with what the write-behind window holds; -1 when not open.
    int64_t Length() const;
    // Reads exactly Count bytes at Offset; false when fewer can be read.
    bool ReadAt(void* Buffer, size_t Count, int64_t Offset);
    // Writes Count bytes at Offset, through the window; false when a write fails (with a window,
    // possibly one that held earlier bytes, or the window the helper thread was writing).
    bool WriteAt(const void* Buffer, size_t Count, int64_t Offset);
    // Writes Count bytes at Offset at once, past the window and its count of committed bytes
    // (for headers); false when it fails.
    bool WriteDirect(const void* Buffer, size_t Count, int64_t Offset);
    // Writes what the window holds now, after the one the helper thread is writing; false when
    // either fails.
    bool Flush();
    // File offset up to which the last write that reached the file put its bytes.
    int64_t CommittedEnd() const { return FCommittedEnd.load(); }
    // True when Path names this open file (same device and inode, links followed).
    bool SameFileAs(const std::string& Path) const;

private:
    bool WriteThrough(const void* Buffer, size_t Count, int64_t Offset);
    // Hands the full window to the helper thread, or writes it where there is no helper; false
    // when the last window handed over failed.
    bool HandOver();
    // Starts the helper thread on first use; false where there is none.
    bool StartHelper();
    // Waits until the helper has written what it was handed; false when that write failed.
    bool Settle() const;
    // Ends the helper thread after its last job.
    void StopHelper() noexcept;
    void HelperLoop();

    int FFd = -1;
    bool FWritable = false;
    size_t FWindow;
    std::vector<uint8_t> FReadBuf;
    int64_t FReadStart = 0;
    size_t FReadLen = 0;
    std::vector<uint8_t> FWriteBuf;
    int64_t FWriteStart = 0;
    std::atomic<int64_t> FCommittedEnd = 0;
    // The helper thread and the window it writes; FBusy, FStop and FFailed are guarded by FLock.
    std::thread FHelper;
    mutable std::mutex FLock;
    mutable std::condition_variable FWake;
    std::vector<uint8_t> FFlying;
    int64_t FFlyingStart = 0;
    bool FBusy = false, FStop = false, FFailed = false, FNoHelper = false;
};

} // namespace wave
