// The memory-mapped file. The file is reserved in large shared mappings
// (regions) at fixed file offsets; a view is an address inside its region, so
// growing the file never moves a view already handed out. Pages of a region
// beyond the end of the file become usable as the file grows.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <utility>
#include <vector>

#include "TamFile.h"

namespace TamFile {

namespace {

constexpr std::uint32_t kGranularity = 65536;
constexpr std::uint64_t kRegionSize = MemoryMapFile::RegionSize;

FileFaultHook* g_faultHook = nullptr;

void Notify(FileFaultHook::Point point, const std::string& path) {
    if (g_faultHook)
        g_faultHook->At(point, path);
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

    // Region i maps the file from offset i * kRegionSize; null while unmapped.
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

MemoryMapFile::MemoryMapFile(const std::string& path)
    : CFileBase(path), viewSize(kGranularity), state(new State) {}

MemoryMapFile::~MemoryMapFile() {
    Close();
    delete state;
}

void MemoryMapFile::SetFaultHook(FileFaultHook* hook) {
    g_faultHook = hook;
}

void MemoryMapFile::Open(OpenMode mode) {
    Notify(FileFaultHook::BeforeOpen, GetPath());
    Close();
    const bool write = mode != OpenRead;
    const Action failure = write ? ActionOpenWrite : ActionOpenRead;
    const int flags = O_CLOEXEC | (write ? O_RDWR | O_CREAT : O_RDONLY);
    fd = ::open(GetPath().c_str(), flags, 0644);
    if (!fd.IsValid())
        Throw(failure);
    // The lock comes before any change: a file in use elsewhere must not be
    // truncated by a create that is then refused.
    if (::flock(fd.Get(), (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
        CloseAndThrow(ActionLock);
    if (mode == OpenCreate && ::ftruncate(fd.Get(), 0) != 0)
        CloseAndThrow(failure);
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0)
        CloseAndThrow(failure);
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
    for (auto& entry : state->views)
        if (entry.second.mapping)
            ::munmap(entry.second.mapping, entry.second.mappingLength);
    state->views.clear();
    for (const State::Mapping& mapping : state->retired)
        ::munmap(mapping.first, mapping.second);
    state->retired.clear();
    for (unsigned char* region : state->regions)
        if (region)
            ::munmap(region, kRegionSize);
    state->regions.clear();
    fd.Close();
    writable = false;
    size = 0;
}

void MemoryMapFile::Delete() {
    Close();
    // A file that is already gone is deleted as far as the caller cares.
    if (::unlink(GetPath().c_str()) != 0 && errno != ENOENT)
        Throw(ActionDelete);
}

unsigned char* MemoryMapFile::GetView(std::uint64_t offset, std::uint32_t viewBytes) {
    if (!IsOpen())
        Throw(ActionMapView, EBADF);
    const std::uint64_t length = viewBytes ? viewBytes : viewSize;
    if (offset > size || length > size - offset)
        Throw(ActionMapView, EINVAL);
    const std::uint64_t region = offset / kRegionSize;
    const bool inRegion = offset + length <= (region + 1) * kRegionSize;
    auto found = state->views.find(offset);
    if (found != state->views.end()) {
        View& view = found->second;
        if (view.length >= length)
            return view.address;
        if (!view.mapping && inRegion) {
            view.length = length;
            return view.address;
        }
    }
    View view{};
    view.length = length;
    if (inRegion) {
        view.address = RegionBase(region) + (offset - region * kRegionSize);
    } else {
        MapOwn(offset, view);
    }
    try {
        state->Remember(offset, view);
    } catch (...) {
        if (view.mapping)
            ::munmap(view.mapping, view.mappingLength);
        throw;
    }
    return view.address;
}

unsigned char* MemoryMapFile::RegionBase(std::uint64_t region) {
    if (state->regions.size() <= region)
        state->regions.resize(region + 1, nullptr);
    unsigned char*& base = state->regions[region];
    if (!base) {
        void* p = ::mmap(nullptr, kRegionSize, Protection(writable), MAP_SHARED, fd.Get(),
                         static_cast<off_t>(region * kRegionSize));
        if (p == MAP_FAILED)
            Throw(ActionMapView);
        base = static_cast<unsigned char*>(p);
    }
    return base;
}

void MemoryMapFile::MapOwn(std::uint64_t offset, View& view) {
    const std::uint64_t start = PageFloor(offset);
    view.mappingLength = static_cast<std::size_t>(offset - start + view.length);
    view.mapping = ::mmap(nullptr, view.mappingLength, Protection(writable), MAP_SHARED, fd.Get(),
                          static_cast<off_t>(start));
    if (view.mapping == MAP_FAILED)
        Throw(ActionMapView);
    view.address = static_cast<unsigned char*>(view.mapping) + (offset - start);
}

unsigned char* MemoryMapFile::FindView(std::uint64_t offset) const {
    const auto found = state->views.find(offset);
    return found == state->views.end() ? nullptr : found->second.address;
}

void MemoryMapFile::ReleaseView(std::uint64_t offset, bool flush) {
    const auto found = state->views.find(offset);
    if (found == state->views.end())
        return;
    if (flush)
        FlushView(offset, 0);
    if (found->second.mapping)
        ::munmap(found->second.mapping, found->second.mappingLength);
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
    Notify(FileFaultHook::BeforeFlushView, GetPath());
    if (!IsOpen())
        Throw(ActionFlush, EBADF);
    const auto found = state->views.find(offset);
    if (found != state->views.end()) {
        Sync(found->second.address, bytes ? bytes : found->second.length);
    } else if (::fdatasync(fd.Get()) != 0) {
        // Nothing of ours maps the range any more; what was written through
        // a released view sits in the file's pages, which the file sync covers.
        Throw(ActionFlush);
    }
    Notify(FileFaultHook::AfterFlushView, GetPath());
}

void MemoryMapFile::Flush() {
    Notify(FileFaultHook::BeforeFlush, GetPath());
    if (!IsOpen())
        Throw(ActionFlush, EBADF);
    for (std::uint64_t region = 0; region < state->regions.size(); ++region) {
        const std::uint64_t start = region * kRegionSize;
        if (state->regions[region] && start < size)
            Sync(state->regions[region], std::min(kRegionSize, size - start));
    }
    for (const auto& entry : state->views)
        if (entry.second.mapping)
            Sync(entry.second.address, entry.second.length);
    if (::fsync(fd.Get()) != 0)
        Throw(ActionFlush);
    Notify(FileFaultHook::AfterFlush, GetPath());
}

void MemoryMapFile::Resize(std::uint64_t newSize) {
    Notify(FileFaultHook::BeforeResize, GetPath());
    if (!IsOpen())
        Throw(ActionSeek, EBADF);
    // Space written through a view must exist on disk: a full disk has to
    // fail here, as an exception, rather than later as SIGBUS on a store.
    if (newSize > size) {
        const int error = ::posix_fallocate(fd.Get(), static_cast<off_t>(size),
                                            static_cast<off_t>(newSize - size));
        if (error != 0 && error != EOPNOTSUPP && error != EINVAL) Throw(ActionSeek, error);
    }
    if (::ftruncate(fd.Get(), static_cast<off_t>(newSize)) != 0)
        Throw(ActionSeek);
    size = newSize;
    DropViewsBeyondEnd();
    Notify(FileFaultHook::AfterResize, GetPath());
}

// After a shrink, views that reach past the end are unusable; the view map
// keeps only usable ones.
void MemoryMapFile::DropViewsBeyondEnd() {
    for (auto it = state->views.begin(); it != state->views.end();) {
        if (it->first + it->second.length <= size) {
            ++it;
            continue;
        }
        if (it->second.mapping)
            ::munmap(it->second.mapping, it->second.mappingLength);
        it = state->views.erase(it);
    }
}

}  // namespace TamFile
