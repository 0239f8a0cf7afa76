// The system's file services: shared mappings, writes through the file,
// msync and fdatasync, space reserved before a file grows.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "TamFile.h"

namespace TamFile {

namespace {

class SystemServices : public FileServices {
public:
    std::uint64_t RegionSize() const override { return MemoryMapFile::RegionSize; }

    int Opening(const std::string&) override { return 0; }

    void* Map(int fd, std::uint64_t offset, std::size_t length, bool writable) override {
        return ::mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                      fd, static_cast<off_t>(offset));
    }

    void Unmap(int, void* address, std::size_t length) override { ::munmap(address, length); }

    bool Write(int fd, unsigned char*, const void* from, std::size_t length, std::uint64_t offset,
               int& error) override {
        const unsigned char* bytes = static_cast<const unsigned char*>(from);
        while (length > 0) {
            const ssize_t n = ::pwrite(fd, bytes, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = n == 0 ? EIO : errno;
                return true;
            }
            bytes += n;
            offset += static_cast<std::uint64_t>(n);
            length -= static_cast<std::size_t>(n);
        }
        error = 0;
        return true;
    }

    int SyncRange(int, unsigned char* address, std::size_t length, std::uint64_t) override {
        static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        const auto at = reinterpret_cast<std::uintptr_t>(address);
        const std::uintptr_t start = at - at % page;
        return ::msync(reinterpret_cast<void*>(start), at - start + length, MS_SYNC) == 0 ? 0
                                                                                          : errno;
    }

    // Stores through a shared mapping mark the file's cached pages dirty when
    // they happen, so one file sync writes them all. A data sync also makes a
    // changed file size durable; only times are left to the system.
    int SyncFile(int fd, std::uint64_t) override { return ::fdatasync(fd) == 0 ? 0 : errno; }

    // Space written through a view must exist on disk: a full disk has to
    // fail here, as an error, rather than later as SIGBUS on a store.
    int Resize(int fd, std::uint64_t oldSize, std::uint64_t newSize) override {
        if (newSize > oldSize) {
            const int error = ::posix_fallocate(fd, static_cast<off_t>(oldSize),
                                                static_cast<off_t>(newSize - oldSize));
            if (error != 0 && error != EOPNOTSUPP && error != EINVAL) return error;
        }
        return ::ftruncate(fd, static_cast<off_t>(newSize)) == 0 ? 0 : errno;
    }

    void Viewing(int, std::uint64_t) override {}
    void Closing(int, std::uint64_t) override {}
};

FileServices* g_installed = nullptr;

}  // namespace

FileServices::~FileServices() = default;

FileServices& SystemFileServices() {
    static SystemServices system;
    return system;
}

FileServices* InstallFileServices(FileServices* services) {
    FileServices* before = g_installed;
    g_installed = services;
    return before;
}

FileServices& CurrentFileServices() {
    return g_installed ? *g_installed : SystemFileServices();
}

WrappingFileServices::WrappingFileServices()
    : before(InstallFileServices(this)), next(before ? before : &SystemFileServices()) {}

WrappingFileServices::~WrappingFileServices() {
    InstallFileServices(before);
}

std::uint64_t WrappingFileServices::RegionSize() const {
    return next->RegionSize();
}

int WrappingFileServices::Opening(const std::string& path) {
    return next->Opening(path);
}

void* WrappingFileServices::Map(int fd, std::uint64_t offset, std::size_t length, bool writable) {
    return next->Map(fd, offset, length, writable);
}

void WrappingFileServices::Unmap(int fd, void* address, std::size_t length) {
    next->Unmap(fd, address, length);
}

bool WrappingFileServices::Write(int fd, unsigned char* address, const void* bytes,
                                 std::size_t length, std::uint64_t offset, int& error) {
    return next->Write(fd, address, bytes, length, offset, error);
}

int WrappingFileServices::SyncRange(int fd, unsigned char* address, std::size_t length,
                                    std::uint64_t offset) {
    return next->SyncRange(fd, address, length, offset);
}

int WrappingFileServices::SyncFile(int fd, std::uint64_t size) {
    return next->SyncFile(fd, size);
}

int WrappingFileServices::Resize(int fd, std::uint64_t oldSize, std::uint64_t newSize) {
    return next->Resize(fd, oldSize, newSize);
}

void WrappingFileServices::Viewing(int fd, std::uint64_t size) {
    next->Viewing(fd, size);
}

void WrappingFileServices::Closing(int fd, std::uint64_t size) {
    next->Closing(fd, size);
}

}  // namespace TamFile
