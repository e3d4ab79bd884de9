#include "WaveStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wave {

namespace {

// Reads until Count bytes or the end of the file; returns the bytes read, -1 on an error.
int64_t PReadFull(int Fd, void* Buffer, size_t Count, int64_t Offset) {
    size_t Done = 0;
    while (Done < Count) {
        const ssize_t N = ::pread(Fd, static_cast<uint8_t*>(Buffer) + Done, Count - Done, Offset + static_cast<int64_t>(Done));
        if (N < 0 && errno == EINTR) continue;
        if (N < 0) return -1;
        if (N == 0) break;
        Done += static_cast<size_t>(N);
    }
    return static_cast<int64_t>(Done);
}

// Writes all Count bytes; Written tells how many reached the file before a failure.
bool PWriteFull(int Fd, const void* Buffer, size_t Count, int64_t Offset, size_t& Written) {
    Written = 0;
    while (Written < Count) {
        const ssize_t N = ::pwrite(Fd, static_cast<const uint8_t*>(Buffer) + Written, Count - Written,
                                   Offset + static_cast<int64_t>(Written));
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0) return false;
        Written += static_cast<size_t>(N);
    }
    return true;
}

} // namespace

int OpenRegular(const std::string& Name, int Flags, mode_t Perm) {
    const int Fd = ::open(Name.c_str(), Flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, Perm);
    if (Fd < 0) return -1;
    struct stat St {};
    if (::fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode)) {
        ::close(Fd);
        errno = EINVAL;
        return -1;
    }
    return Fd;
}

bool TWaveStream::Open(const std::string& Name, bool Writable, bool Create) {
    CloseQuietly();
    FFd = OpenRegular(Name, Writable ? O_RDWR | (Create ? O_CREAT | O_TRUNC : 0) : O_RDONLY, 0666);
    FWritable = Writable;
    FReadLen = 0;
    FCommittedEnd = 0;
    return FFd >= 0;
}

void TWaveStream::CloseQuietly() noexcept {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
    FWriteBuf.clear();
}

bool TWaveStream::Close() {
    const int Fd = FFd;
    FFd = -1;
    FWriteBuf.clear();
    return Fd < 0 || ::close(Fd) == 0;
}

int64_t TWaveStream::Length() const {
    struct stat St {};
    if (FFd < 0 || ::fstat(FFd, &St) != 0) return -1;
    int64_t Size = St.st_size;
    if (!FWriteBuf.empty()) Size = std::max<int64_t>(Size, FWriteStart + static_cast<int64_t>(FWriteBuf.size()));
    return Size;
}

bool TWaveStream::ReadAt(void* Buffer, size_t Count, int64_t Offset) {
    if (Count == 0) return true;
    if (FWindow == 0 || FWritable || Count > FWindow)
        return PReadFull(FFd, Buffer, Count, Offset) == static_cast<int64_t>(Count);
    // Nothing writes to a file opened read-only while it is read, so a window of it stays true.
    const bool Inside = FReadLen > 0 && Offset >= FReadStart &&
                        Offset + static_cast<int64_t>(Count) <= FReadStart + static_cast<int64_t>(FReadLen);
    if (!Inside) {
        // The window also keeps a quarter behind the request: a reader that measures ahead and
        // then reads the same stretch again finds it still there.
        const int64_t Back = std::min({Offset, static_cast<int64_t>(FWindow / 4), static_cast<int64_t>(FWindow - Count)});
        const int64_t Start = Offset - Back;
        // what the window already holds of the new one moves to its front instead of being read again
        size_t Kept = 0;
        if (FReadLen > 0 && Start >= FReadStart && Start < FReadStart + static_cast<int64_t>(FReadLen)) {
            Kept = FReadLen - static_cast<size_t>(Start - FReadStart);
            std::memmove(FReadBuf.data(), FReadBuf.data() + (Start - FReadStart), Kept);
        }
        FReadBuf.resize(FWindow);
        const int64_t Got = PReadFull(FFd, FReadBuf.data() + Kept, FWindow - Kept, Start + static_cast<int64_t>(Kept));
        FReadStart = Start;
        FReadLen = Got < 0 ? 0 : Kept + static_cast<size_t>(Got);
        // Whatever the window cannot serve is asked of the file exactly as without a window,
        // so a short file or an i/o error fails at the same request.
        if (FReadLen < static_cast<size_t>(Back) + Count) {
            FReadLen = 0;
            return PReadFull(FFd, Buffer, Count, Offset) == static_cast<int64_t>(Count);
        }
    }
    std::memcpy(Buffer, FReadBuf.data() + (Offset - FReadStart), Count);
    return true;
}

bool TWaveStream::WriteThrough(const void* Buffer, size_t Count, int64_t Offset) {
    size_t Written = 0;
    const bool Ok = PWriteFull(FFd, Buffer, Count, Offset, Written);
    FCommittedEnd = Offset + static_cast<int64_t>(Written);
    return Ok;
}

bool TWaveStream::WriteDirect(const void* Buffer, size_t Count, int64_t Offset) {
    size_t Written = 0;
    return PWriteFull(FFd, Buffer, Count, Offset, Written);
}

bool TWaveStream::Flush() {
    if (!FWritable || FWriteBuf.empty()) return true; // nothing to write
    const bool Ok = WriteThrough(FWriteBuf.data(), FWriteBuf.size(), FWriteStart);
    FWriteBuf.clear(); // the capacity stays for the next window
    return Ok;
}

bool TWaveStream::WriteAt(const void* Buffer, size_t Count, int64_t Offset) {
    if (Count == 0) return true;
    if (FWindow == 0) return WriteThrough(Buffer, Count, Offset);
    const bool Follows = !FWriteBuf.empty() && Offset == FWriteStart + static_cast<int64_t>(FWriteBuf.size());
    if (!FWriteBuf.empty() && (!Follows || FWriteBuf.size() + Count > FWindow) && !Flush()) return false;
    if (Count >= FWindow) return WriteThrough(Buffer, Count, Offset);
    if (FWriteBuf.empty()) {
        FWriteBuf.reserve(FWindow);
        FWriteStart = Offset;
    }
    const uint8_t* Bytes = static_cast<const uint8_t*>(Buffer);
    FWriteBuf.insert(FWriteBuf.end(), Bytes, Bytes + Count);
    return FWriteBuf.size() < FWindow || Flush();
}

bool TWaveStream::SameFileAs(const std::string& Path) const {
    struct stat Mine {}, Other {};
    if (FFd < 0 || ::fstat(FFd, &Mine) != 0 || ::stat(Path.c_str(), &Other) != 0) return false;
    return Mine.st_dev == Other.st_dev && Mine.st_ino == Other.st_ino;
}

} // namespace wave
