// The memory-mapped file. The file is reserved in large shared mappings
// (regions) at fixed file offsets; a view is an address inside its region, so
// growing the file never moves a view already handed out. Pages of a region
// beyond the end of the file become usable as the file grows.
//
// Every mapping, write, sync and size change goes through the file services
// installed when the file was opened (the system's, unless a test put its
// own in front of them).
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

std::uint64_t PageFloor(std::uint64_t value) {
    static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    return value - value % page;
}

}  // namespace

std::uint32_t GetAllocationGranularity() {
    return kGranularity;
}

struct MemoryMapFile::View {
    unsigned char* address;
    std::uint64_t length;
    // A mapping of its own (for a view straddling two regions), else null.
    void* mapping;
    std::size_t mappingLength;
};

struct MemoryMapFile::State : TamMem::PoolObject {
    using Mapping = std::pair<void*, std::size_t>;

    // Fixed at Open: the services that made a file's mappings serve them to
    // the end.
    FileServices* services = &SystemFileServices();
    std::uint64_t regionSize = MemoryMapFile::RegionSize;

    // Region i maps the file from offset i * regionSize; null while unmapped.
    // Shared with the mappings handed to readers, so a region is unmapped
    // when the file and every reader are done with it.
    std::vector<SharedMapping::Region> regions;
    // The last mapping shared, reused while the size stays.
    std::shared_ptr<const SharedMapping> shared;
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

void MemoryMapFile::Open(OpenMode mode) {
    const bool write = mode != OpenRead && mode != OpenReadShared;
    const Action failure = write ? ActionOpenWrite : ActionOpenRead;
    FileServices& services = CurrentFileServices();
    if (const int error = services.Opening(GetPath())) Throw(failure, error);
    Close();
    state->services = &services;
    state->regionSize = services.RegionSize();
    int flags = O_CLOEXEC | (write ? O_RDWR : O_RDONLY);
    if (mode == OpenReadWrite || mode == OpenCreate) flags |= O_CREAT;
    if (mode == OpenCreateNew) flags |= O_CREAT | O_EXCL;
    fd = ::open(GetPath().c_str(), flags, 0644);
    if (!fd.IsValid()) Throw(failure);
    // The lock comes before any change: a file in use elsewhere must not be
    // truncated by a create that is then refused.
    if (mode != OpenReadShared && ::flock(fd.Get(), (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
        CloseAndThrow(ActionLock);
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

void MemoryMapFile::Unmap(void* address, std::size_t length) {
    state->services->Unmap(fd.Get(), address, length);
}

void MemoryMapFile::CloseAndThrow(Action action) {
    const int error = errno;
    fd.Close();
    Throw(action, error);
}

void MemoryMapFile::Close() {
    if (IsOpen()) state->services->Closing(fd.Get(), size);
    for (auto& entry : state->views)
        if (entry.second.mapping) Unmap(entry.second.mapping, entry.second.mappingLength);
    state->views.clear();
    for (const State::Mapping& mapping : state->retired) Unmap(mapping.first, mapping.second);
    state->retired.clear();
    state->regions.clear();
    state->shared.reset();
    // A mapping holds the open file, and with it the lock, until it is
    // unmapped: a file closed while shared mappings live is unlocked here, so
    // that it can be opened again at once.
    if (IsOpen() && !keepLock) ::flock(fd.Get(), LOCK_UN);
    keepLock = false;
    fd.Close();
    writable = false;
    size = 0;
}

bool MemoryMapFile::Identity(std::uint64_t& device, std::uint64_t& inode) const {
    struct stat st;
    if (!IsOpen() || ::fstat(fd.Get(), &st) != 0) return false;
    device = static_cast<std::uint64_t>(st.st_dev);
    inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

void MemoryMapFile::Delete() {
    Close();
    // A file that is already gone is deleted as far as the caller cares.
    if (::unlink(GetPath().c_str()) != 0 && errno != ENOENT) Throw(ActionDelete);
}

unsigned char* MemoryMapFile::GetView(std::uint64_t offset, std::uint32_t viewBytes) {
    if (!IsOpen()) Throw(ActionMapView, EBADF);
    state->services->Viewing(fd.Get(), size);
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
        if (view.mapping) Unmap(view.mapping, view.mappingLength);
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
    // Views of their own are few: their bytes go through the mapping.
    std::uint64_t offset;
    int error = 0;
    if (!FileOffsetOf(address, length, offset) ||
        !state->services->Write(fd.Get(), address, from, length, offset, error)) {
        std::memcpy(address, from, length);
        return;
    }
    if (error != 0) Throw(ActionWrite, error);
}

bool MemoryMapFile::FileOffsetOf(const unsigned char* address, std::uint64_t length,
                                 std::uint64_t& offset) const {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (std::size_t r = 0; r < state->regions.size(); ++r) {
        const auto base = reinterpret_cast<std::uintptr_t>(state->regions[r].get());
        if (base == 0 || at < base || at - base > state->regionSize - length) continue;
        offset = r * state->regionSize + (at - base);
        // Only bytes inside the file: a write past its end would grow it.
        return offset <= size && length <= size - offset;
    }
    return false;
}

unsigned char* MemoryMapFile::RegionBase(std::uint64_t region) {
    if (state->regions.size() <= region) state->regions.resize(region + 1);
    SharedMapping::Region& base = state->regions[region];
    if (!base) {
        FileServices* services = state->services;
        const int descriptor = fd.Get();
        const auto length = static_cast<std::size_t>(state->regionSize);
        void* p = services->Map(descriptor, region * state->regionSize, length, writable);
        if (p == MAP_FAILED) Throw(ActionMapView);
        auto unmap = [services, descriptor, length](unsigned char* address) {
            services->Unmap(descriptor, address, length);
        };
        try {
            base = SharedMapping::Region(static_cast<unsigned char*>(p), unmap);
        } catch (...) {
            unmap(static_cast<unsigned char*>(p));
            throw;
        }
    }
    return base.get();
}

std::shared_ptr<const SharedMapping> MemoryMapFile::Share() {
    if (!IsOpen()) Throw(ActionMapView, EBADF);
    if (state->shared && state->shared->Size() == size) return state->shared;
    const std::uint64_t count = (size + state->regionSize - 1) / state->regionSize;
    for (std::uint64_t r = 0; r < count; ++r) RegionBase(r);
    std::vector<SharedMapping::Region> mapped(state->regions.begin(),
                                              state->regions.begin() + static_cast<long>(count));
    state->shared =
        std::make_shared<const SharedMapping>(std::move(mapped), state->regionSize, size);
    return state->shared;
}

void MemoryMapFile::MapOwn(std::uint64_t offset, View& view) {
    const std::uint64_t start = PageFloor(offset);
    view.mappingLength = static_cast<std::size_t>(offset - start + view.length);
    view.mapping = state->services->Map(fd.Get(), start, view.mappingLength, writable);
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
    if (found->second.mapping) Unmap(found->second.mapping, found->second.mappingLength);
    state->views.erase(found);
}

void MemoryMapFile::FlushView(std::uint64_t offset, std::uint32_t bytes) {
    if (!IsOpen()) Throw(ActionFlush, EBADF);
    const auto found = state->views.find(offset);
    // Nothing of ours maps the range any more; what was written through a
    // released view sits in the file's pages, which the file sync covers.
    const int error =
        found == state->views.end()
            ? state->services->SyncFile(fd.Get(), size)
            : state->services->SyncRange(fd.Get(), found->second.address,
                                         bytes ? bytes : found->second.length, offset);
    if (error != 0) Throw(ActionFlush, error);
}

void MemoryMapFile::Flush() {
    if (!IsOpen()) Throw(ActionFlush, EBADF);
    if (const int error = state->services->SyncFile(fd.Get(), size)) Throw(ActionFlush, error);
}

void MemoryMapFile::Resize(std::uint64_t newSize) {
    if (!IsOpen()) Throw(ActionSeek, EBADF);
    if (const int error = state->services->Resize(fd.Get(), size, newSize))
        Throw(ActionSeek, error);
    size = newSize;
    DropViewsBeyondEnd();
}

// After a shrink, views that reach past the end are unusable; the view map
// keeps only usable ones.
void MemoryMapFile::DropViewsBeyondEnd() {
    for (auto it = state->views.begin(); it != state->views.end();) {
        if (it->first + it->second.length <= size) {
            ++it;
            continue;
        }
        if (it->second.mapping) Unmap(it->second.mapping, it->second.mappingLength);
        it = state->views.erase(it);
    }
}

}  // namespace TamFile
