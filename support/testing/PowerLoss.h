// A simulated power loss, as file services for the crash tests. Files are
// mapped privately: a page written through a view becomes a private copy that
// the file does not see until a sync or the close writes it back, so a process
// that ends without them loses exactly its unflushed writes, as a power cut
// may. With random write-back, a random subset of the dirty pages also goes
// back at every durability point and, between them, at one in 16 views handed
// out, as an operating system may write pages back when it likes.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>

#include "TamBase.h"
#include "TamFile.h"

namespace TamBTreeTest {

class PowerLoss : public TamFile::WrappingFileServices {
public:
    enum Mode { Unflushed, RandomWriteBack };

    // Serves the files opened while it lives.
    PowerLoss(Mode simulated, std::uint64_t seed) : mode(simulated), random(seed | 1) {}

    // One region covers any test file, so that every file offset has exactly
    // one address.
    std::uint64_t RegionSize() const override { return std::uint64_t(1) << 36; }
    int Opening(const std::string&) override { return 0; }
    void* Map(int fd, std::uint64_t offset, std::size_t length, bool writable) override {
        void* p = ::mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                         MAP_PRIVATE | MAP_NORESERVE, fd, static_cast<off_t>(offset));
        if (p != MAP_FAILED) mappings[static_cast<unsigned char*>(p)] = Mapping{fd, offset, length};
        return p;
    }
    void Unmap(int, void* address, std::size_t length) override {
        mappings.erase(static_cast<unsigned char*>(address));
        ::munmap(address, length);
    }
    // Bytes written to the file would not show in a private copy of its page.
    bool Write(int, unsigned char*, const void*, std::size_t, std::uint64_t, int&) override {
        return false;
    }
    int SyncRange(int fd, unsigned char*, std::size_t length, std::uint64_t offset) override {
        return Point(fd, [&] { return WriteBack(fd, offset, length, false); });
    }
    int SyncFile(int fd, std::uint64_t) override {
        return Point(fd, [&] { return WriteBack(fd, 0, ~std::uint64_t(0) / 2, false); });
    }
    int Resize(int fd, std::uint64_t oldSize, std::uint64_t newSize) override {
        return Point(fd, [&] { return WrappingFileServices::Next().Resize(fd, oldSize, newSize); });
    }
    void Viewing(int fd, std::uint64_t) override {
        if (mode == RandomWriteBack && NextRandom() % 16 == 0)
            WriteBack(fd, 0, ~std::uint64_t(0) / 2, true);
    }
    // The process lives on: what it wrote stays in the file, as the system's
    // page cache would keep it. (Close cannot report a failure: the writes
    // are then lost as in a power cut.)
    void Closing(int fd, std::uint64_t) override { WriteBack(fd, 0, ~std::uint64_t(0) / 2, false); }

private:
    struct Mapping {
        int fd;
        std::uint64_t offset;
        std::size_t length;
    };

    template <class Call>
    int Point(int fd, Call call) {
        if (mode == RandomWriteBack) WriteBack(fd, 0, ~std::uint64_t(0) / 2, true);
        const int error = call();
        if (mode == RandomWriteBack) WriteBack(fd, 0, ~std::uint64_t(0) / 2, true);
        return error;
    }

    std::uint64_t NextRandom() {
        random ^= random << 13;
        random ^= random >> 7;
        random ^= random << 17;
        return random;
    }

    // Writes the dirty pages of `fd`'s mappings in the file range back to the
    // file (with `someOnly`, a random half of them) and drops their copies.
    // The dirty pages are the ones the kernel's page map shows as anonymous:
    // copied on a write and not yet written back.
    int WriteBack(int fd, std::uint64_t offset, std::uint64_t length, bool someOnly) {
        struct stat st;
        if (::fstat(fd, &st) != 0) return errno;
        const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
        const std::uint64_t end = std::min(size, offset + length);
        for (const auto& [base, m] : mappings) {
            if (m.fd != fd) continue;
            const std::uint64_t from = std::max(offset, m.offset);
            const std::uint64_t to = std::min(end, m.offset + m.length);
            if (from >= to) continue;
            if (const int error =
                    WriteBackPages(fd, base + (from - m.offset), from, to, size, someOnly))
                return error;
        }
        return 0;
    }

    // Whole pages go back (a copy is dropped whole), up to the end of the file.
    int WriteBackPages(int fd, unsigned char* address, std::uint64_t from, std::uint64_t to,
                       std::uint64_t size, bool someOnly) {
        const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const std::uint64_t skip = from % page;
        unsigned char* first = address - skip;
        std::uint64_t at = from - skip;
        Tam::Handle pageMap(::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC));
        if (!pageMap.IsValid()) return errno;
        constexpr std::uint64_t kBatch = 512;
        std::uint64_t entries[kBatch];
        while (at < to) {
            const std::uint64_t n = std::min(kBatch, (to - at + page - 1) / page);
            const off_t entryOffset =
                static_cast<off_t>(reinterpret_cast<std::uintptr_t>(first) / page * 8);
            if (::pread(pageMap.Get(), entries, n * 8, entryOffset) != static_cast<ssize_t>(n * 8))
                return EIO;
            // Runs of neighbouring dirty pages go back in one write each.
            for (std::uint64_t i = 0, run = 0; i <= n; ++i) {
                const bool dirty = i < n && ((entries[i] >> 63) & 1) && !((entries[i] >> 61) & 1) &&
                                   !(someOnly && (NextRandom() & 1));
                if (dirty) continue;
                if (run < i) {
                    const std::uint64_t fileOffset = at + run * page;
                    const std::size_t bytes =
                        static_cast<std::size_t>(std::min((i - run) * page, size - fileOffset));
                    if (::pwrite(fd, first + run * page, bytes, static_cast<off_t>(fileOffset)) !=
                        static_cast<ssize_t>(bytes))
                        return EIO;
                    ::madvise(first + run * page, static_cast<std::size_t>((i - run) * page),
                              MADV_DONTNEED);
                }
                run = i + 1;
            }
            at += n * page;
            first += n * page;
        }
        return 0;
    }

    Mode mode;
    std::uint64_t random;
    std::map<unsigned char*, Mapping> mappings;
};

}  // namespace TamBTreeTest
