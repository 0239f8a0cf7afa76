// The shared side file: open or create, map, byte locks, identity. Byte locks
// are locks of the open file description (F_OFD_*): they belong to one open
// of the file, not to the process, and the system drops them when the last
// descriptor or mapping of that open goes, so a holder that dies releases
// them by itself.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "TamFile.h"

namespace TamFile {

namespace {

struct flock ByteRange(std::uint64_t byte, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(byte);
    range.l_len = 1;
    return range;
}

}  // namespace

bool FileIdentity(const std::string& path, std::uint64_t& device, std::uint64_t& inode) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    device = static_cast<std::uint64_t>(st.st_dev);
    inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

bool SharedFile::Open() {
    Close();
    fd = ::open(filePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    return fd.IsValid();
}

void SharedFile::Close() {
    // Closing the descriptor drops this open's byte locks once no mapping
    // holds the open any more; they are dropped here at once.
    if (fd.IsValid()) {
        struct flock all = ByteRange(0, F_UNLCK);
        all.l_len = 0;
        ::fcntl(fd.Get(), F_OFD_SETLK, &all);
    }
    fd.Close();
}

std::uint64_t SharedFile::Size() const {
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0) throw FileException(ActionAttributes, filePath, errno);
    return static_cast<std::uint64_t>(st.st_size);
}

void SharedFile::Resize(std::uint64_t size) {
    if (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0)
        throw FileException(ActionSeek, filePath, errno);
}

unsigned char* SharedFile::Map(std::uint64_t length) {
    void* p = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED,
                     fd.Get(), 0);
    if (p == MAP_FAILED) throw FileException(ActionMapView, filePath, errno);
    return static_cast<unsigned char*>(p);
}

void SharedFile::Unmap(unsigned char* address, std::uint64_t length) {
    ::munmap(address, static_cast<std::size_t>(length));
}

bool SharedFile::TryLock(std::uint64_t byte, bool exclusive) {
    struct flock range = ByteRange(byte, exclusive ? F_WRLCK : F_RDLCK);
    if (::fcntl(fd.Get(), F_OFD_SETLK, &range) == 0) return true;
    if (errno == EAGAIN || errno == EACCES) return false;
    throw FileException(ActionLock, filePath, errno);
}

void SharedFile::Lock(std::uint64_t byte, bool exclusive) {
    struct flock range = ByteRange(byte, exclusive ? F_WRLCK : F_RDLCK);
    while (::fcntl(fd.Get(), F_OFD_SETLKW, &range) != 0)
        if (errno != EINTR) throw FileException(ActionLock, filePath, errno);
}

void SharedFile::Unlock(std::uint64_t byte) {
    struct flock range = ByteRange(byte, F_UNLCK);
    ::fcntl(fd.Get(), F_OFD_SETLK, &range);
}

bool SharedFile::StillAtPath() const {
    struct stat mine;
    std::uint64_t device, inode;
    return ::fstat(fd.Get(), &mine) == 0 && FileIdentity(filePath, device, inode) &&
           device == static_cast<std::uint64_t>(mine.st_dev) &&
           inode == static_cast<std::uint64_t>(mine.st_ino);
}

void SharedFile::Unlink() const {
    ::unlink(filePath.c_str());
}

}  // namespace TamFile
