// The direct file: a plain, unmapped file with 32-bit positions and sizes.
#include "CFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace TamFile {

namespace {

constexpr std::uint32_t kMax32 = std::numeric_limits<std::uint32_t>::max();

enum AccessHint : std::uint32_t {
    HintNormal = 0,
    HintSequential = 1,
    HintRandom = 2,
    HintTemporary = 3,
    HintDeleteOnClose = 4,
};

int OpenFlags(OpenMode mode, bool buffered) {
    const bool read = mode == OpenRead || mode == OpenReadShared;
    int flags = O_CLOEXEC | (read ? O_RDONLY : O_RDWR | O_CREAT);
    if (!buffered) flags |= O_SYNC;
    return flags;
}

void AdviseAccess(int fd, std::uint32_t hint) {
    // Advice only: the file works the same when the system ignores it.
    if (hint == HintSequential) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (hint == HintRandom) ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
}

// The product of a byte count request; false when it does not fit 32 bits.
bool ByteCount(std::uint32_t itemSize, std::uint32_t itemCount, std::uint32_t& bytes) {
    const std::uint64_t total = std::uint64_t(itemSize) * itemCount;
    bytes = static_cast<std::uint32_t>(total);
    return total <= kMax32;
}

}  // namespace

CFileT<unsigned int>::CFileT(const std::string& filePath) : CFileBase(filePath) {}

CFileT<unsigned int>::~CFileT() = default;

std::uint32_t CFileT<unsigned int>::Open(OpenMode mode) {
    const bool read = mode == OpenRead || mode == OpenReadShared;
    const Action failure = read ? ActionOpenRead : ActionOpenWrite;
    if (!read && mode != OpenReadWrite && mode != OpenCreate) Throw(failure, EINVAL);
    writable = !read;
    const std::string fullPath = Path(GetPath()).FullPath();
    const int raw = ::open(fullPath.c_str(), OpenFlags(mode, buffered), 0644);
    const int openError = errno;
    // The previous descriptor is closed whether or not the new one opened.
    handle = raw;
    if (!handle.IsValid()) Throw(failure, openError);
    // Readers share the file with readers only, a writer with nobody; the
    // lock is taken before a create drops the old content.
    if (mode != OpenReadShared &&
        ::flock(handle.Get(), (mode == OpenRead ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0)
        CloseAndThrow(failure);
    if (mode == OpenCreate && ::ftruncate(handle.Get(), 0) != 0) CloseAndThrow(failure);
    struct stat st;
    if (::fstat(handle.Get(), &st) != 0) CloseAndThrow(failure);
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        CloseAndThrow(failure);
    }
    if (sparse) MakeSparse(fullPath);
    // The name goes at once; the open descriptor keeps the file until Close.
    if (accessHint == HintDeleteOnClose) ::unlink(fullPath.c_str());
    AdviseAccess(handle.Get(), accessHint);
    position = 0;
    size = static_cast<std::uint32_t>(st.st_size);
    return size;
}

void CFileT<unsigned int>::CloseAndThrow(Action action) {
    const int error = errno;
    handle.Close();
    Throw(action, error);
}

// Only a path with a drive letter names a volume whose sparse support can be
// asked; the answer is kept per letter for the whole process.
void CFileT<unsigned int>::MakeSparse(const std::string& fullPath) {
    if (!Path(GetPath()).HasDrive()) return;
    const char drive = GetPath()[0];
    auto known = m_mSparseDrive.find(drive);
    if (known == m_mSparseDrive.end()) {
        const bool supported = ms_QueryVolumeSparse(std::string(1, drive) + ":\\");
        known = m_mSparseDrive.emplace(drive, supported).first;
    }
    if (known->second) {
        struct stat st;
        if (::stat(fullPath.c_str(), &st) != 0) Throw(ActionAttributes);
        // No attribute tells a sparse file here, so the request always goes.
        ms_SetSparse(handle.Get());
    }
    sparse = false;
}

std::uint32_t CFileT<unsigned int>::Read(void* buffer, std::uint32_t itemSize,
                                         std::uint32_t itemCount, bool exact) {
    std::uint32_t wanted = 0;
    if (!ByteCount(itemSize, itemCount, wanted)) Throw(ActionRead, EINVAL);
    std::uint32_t done = 0;
    while (done < wanted) {
        const ssize_t n = ::read(handle.Get(), static_cast<char*>(buffer) + done, wanted - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Throw(ActionRead);
        if (n == 0) break;
        done += static_cast<std::uint32_t>(n);
    }
    if (exact && done < wanted) Throw(ActionRead, 0);
    if (done > kMax32 - position) Throw(ActionRead, EOVERFLOW);
    position += done;
    return done;
}

std::uint32_t CFileT<unsigned int>::Write(const void* buffer, std::uint32_t itemSize,
                                          std::uint32_t itemCount) {
    std::uint32_t wanted = 0;
    if (!ByteCount(itemSize, itemCount, wanted)) Throw(ActionWrite, EINVAL);
    std::uint32_t done = 0;
    while (done < wanted) {
        const ssize_t n =
            ::write(handle.Get(), static_cast<const char*>(buffer) + done, wanted - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Throw(ActionWrite, n == 0 ? ENOSPC : errno);
        done += static_cast<std::uint32_t>(n);
    }
    if (done > kMax32 - position) Throw(ActionWrite, EOVERFLOW);
    position += done;
    if (position > size) size = position;
    return done;
}

void CFileT<unsigned int>::Close() {
    handle.Close();
}

void CFileT<unsigned int>::Delete() {
    Close();
    if (Path(GetPath()).IsFile() && ::unlink(GetPath().c_str()) != 0) Throw(ActionDelete);
}

void CFileT<unsigned int>::CheckSeekRange(std::uint32_t distance, Origin origin,
                                          std::uint32_t direction) const {
    if (direction == Backward) {
        // Backward from the start fails even by 0, although it would not move.
        if (origin == Begin || (origin == End && distance > size) ||
            (origin == Current && distance > position))
            throw SeekOutOfRangeException();
    } else if (direction == Forward) {
        if (origin == End && distance > kMax32 - size) throw SeekOutOfRangeException();
    }
}

void CFileT<unsigned int>::Seek(std::uint32_t distance, Origin origin, std::uint32_t direction) {
    CheckSeekRange(distance, origin, direction);
    const std::int64_t move =
        direction == Forward ? std::int64_t(distance) : -std::int64_t(distance);
    const int whence = origin == Begin ? SEEK_SET : origin == Current ? SEEK_CUR : SEEK_END;
    MoveTo(::lseek(handle.Get(), static_cast<off_t>(move), whence));
}

// Takes a new file position from lseek; only 32-bit positions are kept.
void CFileT<unsigned int>::MoveTo(std::int64_t reached) {
    if (reached < 0) Throw(ActionSeek);
    if (std::uint64_t(reached) > kMax32) Throw(ActionSeek, EOVERFLOW);
    position = static_cast<std::uint32_t>(reached);
    if (position > size) size = position;
}

void CFileT<unsigned int>::SetSize(std::uint32_t newSize, bool force) {
    const std::uint32_t current = GetSize();
    if (newSize == current && !force) return;
    const std::uint32_t before = size;
    MoveTo(::lseek(handle.Get(), static_cast<off_t>(newSize), SEEK_SET));
    if (::ftruncate(handle.Get(), static_cast<off_t>(newSize)) != 0) {
        const int error = errno;
        size = before;
        Throw(ActionSeek, error);
    }
    size = position = newSize;
}

void CFileT<unsigned int>::Flush() {
    if (writable && ::fsync(handle.Get()) != 0) Throw(ActionFlush);
}

void CFileT<unsigned int>::Extend(std::uint32_t bytes) {
    if (bytes > kMax32 - size) throw SeekOutOfRangeException();
    MoveTo(::lseek(handle.Get(), static_cast<off_t>(bytes), SEEK_END));
    if (::ftruncate(handle.Get(), static_cast<off_t>(position)) != 0) Throw(ActionSeek);
}

}  // namespace TamFile
