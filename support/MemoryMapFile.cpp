// The memory-mapped file. The file is reserved in large shared mappings
// (regions) at fixed file offsets; a view is an address inside its region, so
// growing the file never moves a view already handed out. Pages of a region
// beyond the end of the file become usable as the file grows.
//
// For crash tests the regions can be private mappings instead (the power-loss
// simulation): a page written through a view becomes a private copy that the
// file does not see until a flush writes it back, so ending the process loses
// exactly the unflushed writes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "TamFile.h"

namespace TamFile {

namespace {

constexpr std::uint32_t kGranularity = 65536;
// Under the power-loss simulation one region covers any test file, so no view
// needs a mapping of its own and every file offset has exactly one address.
constexpr std::uint64_t kSimulatedRegionSize = std::uint64_t(1) << 36;

FileFaultHook* g_faultHook = nullptr;
MemoryMapFile::PowerLoss g_powerLoss = MemoryMapFile::PowerLossOff;
std::uint64_t g_randomState = 1;

std::uint64_t NextRandom() {
    g_randomState ^= g_randomState << 13;
    g_randomState ^= g_randomState >> 7;
    g_randomState ^= g_randomState << 17;
    return g_randomState;
}

std::uint64_t PageSize() {
    static const std::uint64_t size = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::uint64_t PageFloor(std::uint64_t value) {
    return value - value % PageSize();
}

int Protection(bool writable) {
    return writable ? PROT_READ | PROT_WRITE : PROT_READ;
}

}  // namespace

std::uint32_t GetAllocationGranularity() {
    return kGranularity;
}

FileFaultHook::~FileFaultHook() = default;

struct MemoryMapFile::View {
    unsigned char* address;
    std::uint64_t length;
    // A mapping of its own (for a view straddling two regions), else null.
    void* mapping;
    std::size_t mappingLength;
};

struct MemoryMapFile::State : TamMem::PoolObject {
    using Mapping = std::pair<void*, std::size_t>;

    // Fixed at Open, so that a change of the simulation never mismatches an
    // open file's mappings.
    MemoryMapFile::PowerLoss powerLoss = MemoryMapFile::PowerLossOff;
    std::uint64_t regionSize = MemoryMapFile::RegionSize;

    // Region i maps the file from offset i * regionSize; null while unmapped.
    std::vector<unsigned char*, TamMem::PoolAllocator<unsigned char*>> regions;
    std::map<std::uint64_t, View, std::less<std::uint64_t>,
             TamMem::PoolAllocator<std::pair<const std::uint64_t, View>>>
        views;
    // Own mappings replaced by larger ones; their old addresses may still be
    // in use, so they live until Close.
    std::vector<Mapping, TamMem::PoolAllocator<Mapping>> retired;

    // Enters `view` in the view map, replacing the entry at `offset` if any;
    // a replaced mapping of its own is kept until Close.
    void Remember(std::uint64_t offset, const View& view) {
        const auto found = views.find(offset);
        if (found == views.end()) {
            views.emplace(offset, view);
            return;
        }
        if (found->second.mapping)
            retired.emplace_back(found->second.mapping, found->second.mappingLength);
        found->second = view;
    }
};

MemoryMapFile::MemoryMapFile(const std::string& filePath)
    : CFileBase(filePath), viewSize(kGranularity), state(new State) {}

MemoryMapFile::~MemoryMapFile() {
    Close();
    delete state;
}

void MemoryMapFile::SetFaultHook(FileFaultHook* hook) {
    g_faultHook = hook;
}

void MemoryMapFile::SetPowerLossSimulation(PowerLoss mode, std::uint64_t seed) {
    g_powerLoss = mode;
    // xorshift must not start from 0.
    g_randomState = seed | 1;
}

void MemoryMapFile::At(FileFaultHook::Point point) {
    if (state->powerLoss == PowerLossRandomWriteBack && IsOpen()) WriteBack(0, size, true);
    if (g_faultHook) g_faultHook->At(point, GetPath());
}

void MemoryMapFile::Open(OpenMode mode) {
    At(FileFaultHook::BeforeOpen);
    Close();
    state->powerLoss = g_powerLoss;
    state->regionSize = g_powerLoss == PowerLossOff ? RegionSize : kSimulatedRegionSize;
    const bool write = mode != OpenRead;
    const Action failure = write ? ActionOpenWrite : ActionOpenRead;
    int flags = O_CLOEXEC | (write ? O_RDWR : O_RDONLY);
    if (mode == OpenReadWrite || mode == OpenCreate) flags |= O_CREAT;
    if (mode == OpenCreateNew) flags |= O_CREAT | O_EXCL;
    fd = ::open(GetPath().c_str(), flags, 0644);
    if (!fd.IsValid()) Throw(failure);
    // The lock comes before any change: a file in use elsewhere must not be
    // truncated by a create that is then refused.
    if (::flock(fd.Get(), (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) CloseAndThrow(ActionLock);
    if (mode == OpenCreate && ::ftruncate(fd.Get(), 0) != 0) CloseAndThrow(failure);
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0) CloseAndThrow(failure);
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        CloseAndThrow(failure);
    }
    writable = write;
    size = static_cast<std::uint64_t>(st.st_size);
}

void MemoryMapFile::CloseAndThrow(Action action) {
    const int error = errno;
    fd.Close();
    Throw(action, error);
}

void MemoryMapFile::Close() {
    // The process lives on: what it wrote stays in the file, as the system's
    // page cache would keep it.
    if (state->powerLoss != PowerLossOff && IsOpen()) {
        try {
            WriteBack(0, size, false);
        } catch (const FileException&) {
            // Close cannot report; the writes are lost as in a power cut.
        }
    }
    for (auto& entry : state->views)
        if (entry.second.mapping) ::munmap(entry.second.mapping, entry.second.mappingLength);
    state->views.clear();
    for (const State::Mapping& mapping : state->retired) ::munmap(mapping.first, mapping.second);
    state->retired.clear();
    for (unsigned char* region : state->regions)
        if (region) ::munmap(region, state->regionSize);
    state->regions.clear();
    fd.Close();
    writable = false;
    size = 0;
}

void MemoryMapFile::Delete() {
    Close();
    // A file that is already gone is deleted as far as the caller cares.
    if (::unlink(GetPath().c_str()) != 0 && errno != ENOENT) Throw(ActionDelete);
}

unsigned char* MemoryMapFile::GetView(std::uint64_t offset, std::uint32_t viewBytes) {
    if (!IsOpen()) Throw(ActionMapView, EBADF);
    // The system writes dirty pages back when it likes, not only around the
    // flushes: now and then some go back between two of them.
    if (state->powerLoss == PowerLossRandomWriteBack && NextRandom() % 16 == 0)
        WriteBack(0, size, true);
    const std::uint64_t length = viewBytes ? viewBytes : viewSize;
    if (offset > size || length > size - offset) Throw(ActionMapView, EINVAL);
    const std::uint64_t region = offset / state->regionSize;
    const bool inRegion = offset + length <= (region + 1) * state->regionSize;
    auto found = state->views.find(offset);
    if (found != state->views.end()) {
        View& view = found->second;
        if (view.length >= length) return view.address;
        if (!view.mapping && inRegion) {
            view.length = length;
            return view.address;
        }
    }
    View view{};
    view.length = length;
    if (inRegion) {
        view.address = RegionBase(region) + (offset - region * state->regionSize);
    } else {
        MapOwn(offset, view);
    }
    try {
        state->Remember(offset, view);
    } catch (...) {
        if (view.mapping) ::munmap(view.mapping, view.mappingLength);
        throw;
    }
    return view.address;
}

void MemoryMapFile::PrepareWrite(unsigned char* address, std::uint32_t length) {
#ifdef MADV_POPULATE_WRITE
    // Older systems refuse the advice; the write then faults page by page.
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const std::uintptr_t start = static_cast<std::uintptr_t>(PageFloor(at));
    ::madvise(reinterpret_cast<void*>(start), static_cast<std::size_t>(at - start + length),
              MADV_POPULATE_WRITE);
#else
    (void)address;
    (void)length;
#endif
}

void MemoryMapFile::Write(unsigned char* address, const void* from, std::uint32_t length) {
    // Regions of a simulated power loss are private copies, and views of
    // their own are few: the bytes go through the mapping there.
    std::uint64_t offset;
    if (state->powerLoss != PowerLossOff || !FileOffsetOf(address, length, offset)) {
        std::memcpy(address, from, length);
        return;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(from);
    while (length > 0) {
        const ssize_t n = ::pwrite(fd.Get(), bytes, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Throw(ActionWrite, n == 0 ? EIO : errno);
        bytes += n;
        offset += static_cast<std::uint64_t>(n);
        length -= static_cast<std::uint32_t>(n);
    }
}

bool MemoryMapFile::FileOffsetOf(const unsigned char* address, std::uint64_t length,
                                 std::uint64_t& offset) const {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (std::size_t r = 0; r < state->regions.size(); ++r) {
        const auto base = reinterpret_cast<std::uintptr_t>(state->regions[r]);
        if (base == 0 || at < base || at - base > state->regionSize - length) continue;
        offset = r * state->regionSize + (at - base);
        // Only bytes inside the file: a write past its end would grow it.
        return offset <= size && length <= size - offset;
    }
    return false;
}

unsigned char* MemoryMapFile::RegionBase(std::uint64_t region) {
    if (state->regions.size() <= region) state->regions.resize(region + 1, nullptr);
    unsigned char*& base = state->regions[region];
    if (!base) {
        const int sharing =
            state->powerLoss == PowerLossOff ? MAP_SHARED : MAP_PRIVATE | MAP_NORESERVE;
        void* p = ::mmap(nullptr, state->regionSize, Protection(writable), sharing, fd.Get(),
                         static_cast<off_t>(region * state->regionSize));
        if (p == MAP_FAILED) Throw(ActionMapView);
        base = static_cast<unsigned char*>(p);
    }
    return base;
}

void MemoryMapFile::MapOwn(std::uint64_t offset, View& view) {
    const std::uint64_t start = PageFloor(offset);
    view.mappingLength = static_cast<std::size_t>(offset - start + view.length);
    view.mapping = ::mmap(nullptr, view.mappingLength, Protection(writable), MAP_SHARED, fd.Get(),
                          static_cast<off_t>(start));
    if (view.mapping == MAP_FAILED) Throw(ActionMapView);
    view.address = static_cast<unsigned char*>(view.mapping) + (offset - start);
}

unsigned char* MemoryMapFile::FindView(std::uint64_t offset) const {
    const auto found = state->views.find(offset);
    return found == state->views.end() ? nullptr : found->second.address;
}

void MemoryMapFile::ReleaseView(std::uint64_t offset, bool flush) {
    const auto found = state->views.find(offset);
    if (found == state->views.end()) return;
    if (flush) FlushView(offset, 0);
    if (found->second.mapping) ::munmap(found->second.mapping, found->second.mappingLength);
    state->views.erase(found);
}

void MemoryMapFile::Sync(const unsigned char* address, std::uint64_t length) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const std::uintptr_t start = static_cast<std::uintptr_t>(PageFloor(at));
    if (::msync(reinterpret_cast<void*>(start), static_cast<std::size_t>(at - start + length),
                MS_SYNC) != 0)
        Throw(ActionFlush);
}

void MemoryMapFile::FlushView(std::uint64_t offset, std::uint32_t bytes) {
    At(FileFaultHook::BeforeFlushView);
    if (!IsOpen()) Throw(ActionFlush, EBADF);
    const auto found = state->views.find(offset);
    if (state->powerLoss != PowerLossOff) {
        // A released view's writes are covered by a whole-file sync.
        if (found != state->views.end())
            WriteBack(offset, bytes ? bytes : found->second.length, false);
        else
            WriteBack(0, size, false);
    } else if (found != state->views.end()) {
        Sync(found->second.address, bytes ? bytes : found->second.length);
    } else if (::fdatasync(fd.Get()) != 0) {
        // Nothing of ours maps the range any more; what was written through
        // a released view sits in the file's pages, which the file sync covers.
        Throw(ActionFlush);
    }
    At(FileFaultHook::AfterFlushView);
}

void MemoryMapFile::Flush() {
    At(FileFaultHook::BeforeFlush);
    if (!IsOpen()) Throw(ActionFlush, EBADF);
    if (state->powerLoss != PowerLossOff) {
        WriteBack(0, size, false);
        At(FileFaultHook::AfterFlush);
        return;
    }
    // Stores through a shared mapping mark the file's cached pages dirty when
    // they happen, so one file sync writes them all; an msync per mapping
    // first would only sync the same pages again. A data sync also makes a
    // changed file size durable; only times are left to the system.
    if (::fdatasync(fd.Get()) != 0) Throw(ActionFlush);
    At(FileFaultHook::AfterFlush);
}

void MemoryMapFile::Resize(std::uint64_t newSize) {
    At(FileFaultHook::BeforeResize);
    if (!IsOpen()) Throw(ActionSeek, EBADF);
    // Space written through a view must exist on disk: a full disk has to
    // fail here, as an exception, rather than later as SIGBUS on a store.
    if (newSize > size) {
        const int error = ::posix_fallocate(fd.Get(), static_cast<off_t>(size),
                                            static_cast<off_t>(newSize - size));
        if (error != 0 && error != EOPNOTSUPP && error != EINVAL) Throw(ActionSeek, error);
    }
    if (::ftruncate(fd.Get(), static_cast<off_t>(newSize)) != 0) Throw(ActionSeek);
    size = newSize;
    DropViewsBeyondEnd();
    At(FileFaultHook::AfterResize);
}

// After a shrink, views that reach past the end are unusable; the view map
// keeps only usable ones.
void MemoryMapFile::DropViewsBeyondEnd() {
    for (auto it = state->views.begin(); it != state->views.end();) {
        if (it->first + it->second.length <= size) {
            ++it;
            continue;
        }
        if (it->second.mapping) ::munmap(it->second.mapping, it->second.mappingLength);
        it = state->views.erase(it);
    }
}

// The dirty pages of a private region are the ones the kernel's page map shows
// as anonymous: copied on a write and not yet written back. Writing one back
// and dropping the copy makes it a clean page of the file again.
void MemoryMapFile::WriteBack(std::uint64_t offset, std::uint64_t length, bool someOnly) {
    if (!writable || offset >= size) return;
    const std::uint64_t end = length > size - offset ? size : offset + length;
    const std::uint64_t page = PageSize();
    Tam::Handle pageMap(::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC));
    if (!pageMap.IsValid()) Throw(ActionFlush);
    constexpr std::uint64_t kBatch = 512;
    std::uint64_t entries[kBatch];
    for (std::uint64_t at = PageFloor(offset); at < end;) {
        const std::uint64_t region = at / state->regionSize;
        const std::uint64_t regionEnd = std::min(end, (region + 1) * state->regionSize);
        unsigned char* base = region < state->regions.size() ? state->regions[region] : nullptr;
        if (!base) {
            at = regionEnd;
            continue;
        }
        unsigned char* first = base + (at - region * state->regionSize);
        const std::uint64_t n = std::min(kBatch, (regionEnd - at + page - 1) / page);
        const off_t entryOffset =
            static_cast<off_t>(reinterpret_cast<std::uintptr_t>(first) / page * 8);
        if (::pread(pageMap.Get(), entries, n * 8, entryOffset) != static_cast<ssize_t>(n * 8))
            Throw(ActionFlush);
        // Runs of neighbouring pages go back in one write each.
        for (std::uint64_t i = 0, run = 0; i <= n; ++i) {
            const bool dirty = i < n && ((entries[i] >> 63) & 1) && !((entries[i] >> 61) & 1) &&
                               !(someOnly && (NextRandom() & 1));
            if (dirty) continue;
            if (run < i) {
                const std::uint64_t fileOffset = at + run * page;
                const std::size_t bytes =
                    static_cast<std::size_t>(std::min((i - run) * page, size - fileOffset));
                unsigned char* address = first + run * page;
                if (::pwrite(fd.Get(), address, bytes, static_cast<off_t>(fileOffset)) !=
                    static_cast<ssize_t>(bytes))
                    Throw(ActionFlush);
                ::madvise(address, static_cast<std::size_t>((i - run) * page), MADV_DONTNEED);
            }
            run = i + 1;
        }
        at += n * page;
    }
}

}  // namespace TamFile
