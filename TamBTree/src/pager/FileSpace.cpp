// The file's space: extension, the free-block list's takes and claims, the
// trim of the free tail and the disk-space guard.
#include "FileSpace.h"

#include <limits>

#include "BTreeException.h"
#include "Damage.h"
#include "FileFormat.h"

namespace TamBTree {

FileSpace::FileSpace(const std::string& path, std::uint32_t size, bool openReadOnly)
    : file(path),
      pageSize(size),
      granularity(TamFile::GetAllocationGranularity()),
      readOnly(openReadOnly) {}

bool FileSpace::Extend() {
    const std::uint64_t g = granularity;
    const std::uint64_t old = file.GetSize();
    const std::uint64_t a = ((old / 100) * 10) / g;
    const std::uint64_t b = (HEADROOM_PAGES * pageSize) / g + 1;
    std::uint64_t n = a > b ? a : b;
    if (n < 10) n = 10;
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t step = n > max / g ? max : n * g;
    const std::uint64_t target = step > max - old ? max : old + step;
    file.Resize(target);
    const std::uint64_t now = file.GetSize();
    if (now > old) freeList.FreeBlock(now - old, old);
    return (now - old) / pageSize >= HEADROOM_PAGES;
}

std::uint64_t FileSpace::TakePages(std::uint32_t size) {
    const std::uint64_t rounded =
        (static_cast<std::uint64_t>(size / pageSize) + (size % pageSize != 0 ? 1 : 0)) * pageSize;
    std::uint64_t granted = rounded;
    std::uint64_t offset = 0;
    if (!freeList.AllocateBlock(granted, offset, rounded)) return 0;
    return offset;
}

bool FileSpace::TakeRegion(std::uint64_t size, std::uint64_t& offset) {
    std::uint64_t granted = size;
    return freeList.AllocateBlock(granted, offset, size);
}

void FileSpace::Claim(std::uint64_t size, std::uint64_t offset) {
    try {
        freeList.RemoveBlock(size, offset);
    } catch (const TamFile::EmptyListInvalidBlock&) {
        ThrowInvalid(file.GetPath(),
                     L"file space at offset " + std::to_wstring(offset) + L" is claimed twice");
    }
}

bool FileSpace::TryClaim(std::uint64_t size, std::uint64_t offset) {
    try {
        freeList.RemoveBlock(size, offset);
        return true;
    } catch (const TamFile::EmptyListInvalidBlock&) {
        return false;
    }
}

void FileSpace::TrimFreeTail() {
    const std::uint64_t size = file.GetSize();
    const std::uint64_t g = granularity;
    for (const auto& block : freeList.BlocksByOffset()) {
        if (block.first + block.second != size) continue;
        const std::uint64_t start = (block.first + g - 1) / g * g;
        if (start >= size) break;
        freeList.RemoveBlock(size - start, start);
        file.Resize(start);
        break;
    }
    file.Flush();
}

void FileSpace::SetSpaceCheckInterval(std::uint32_t n) {
    spaceCheckInterval = n;
    storesUntilSpaceCheck = 0;
}

void FileSpace::CheckEnoughSpace() const {
    // Stores are counted, not records: an upsert that replaces a value leaves
    // the record count where it is, and a multiple of the interval would then
    // ask the system at every store.
    if (spaceCheckInterval == 0) return;
    if (storesUntilSpaceCheck > 0) {
        --storesUntilSpaceCheck;
        return;
    }
    // A path answers for the volume of the directory that holds it: asked on
    // the tree's own path, it looks at the tree's directory, not its parent.
    if (TamFile::Path(file.GetPath()).GetAvailableDiskSpace() < REQUIRED_DISK_SPACE)
        ThrowMessage<BTreeNotEnoughDiskSpaceException>(MsgNotEnoughSpace, __LINE__, file.GetPath());
    // A full disk is asked about again at the next store.
    storesUntilSpaceCheck = spaceCheckInterval - 1;
}

}  // namespace TamBTree
