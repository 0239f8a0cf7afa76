// File growth and the disk-space guard. The file never shrinks; it grows in
// steps of 10 % (at least 21 granules for a 64 KiB page, at least 10).
#include <limits>

#include "FileFormat.h"
#include "TreeCore.h"
#include "ViewCache.h"

namespace TamBTree {

void TreeCore::Grow() const {
    const std::uint64_t g = allocationGranularity;
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
    // The views stay mapped in the file services; the cache is rebuilt as
    // pages are used again.
    ClearViews();
    if ((now - old) / pageSize < HEADROOM_PAGES)
        ThrowTree<BTreeException>(MsgFileSizeLimit, __LINE__);
}

std::uint64_t TreeCore::GetFreeDataSpace(std::uint32_t size) const {
    const std::uint64_t rounded =
        (static_cast<std::uint64_t>(size / pageSize) + (size % pageSize != 0 ? 1 : 0)) * pageSize;
    std::uint64_t granted = rounded;
    std::uint64_t offset = 0;
    if (!freeList.AllocateBlock(granted, offset, rounded)) return 0;
    return offset;
}

std::uint64_t TreeCore::AllocatePageSpace() const {
    // Growing inside an operation is safe: views never move when the file
    // grows, so no page address held by the operation goes stale.
    std::uint64_t offset = GetFreeDataSpace(pageSize);
    if (offset == 0) {
        Grow();
        offset = GetFreeDataSpace(pageSize);
        if (offset == 0) ThrowTree<BTreeException>(MsgFileSizeLimit, __LINE__);
    }
    return offset;
}

void TreeCore::ClaimBlock(std::uint64_t size, std::uint64_t offset) {
    try {
        freeList.RemoveBlock(size, offset);
    } catch (const TamFile::EmptyListInvalidBlock&) {
        ThrowInvalid(L"file space at offset " + std::to_wstring(offset) + L" is claimed twice");
    }
}

void TreeCore::CheckEnoughSpace() const {
    // Stores are counted, not records: an upsert that replaces a value leaves
    // recordCount where it is, and a multiple of the interval would then ask
    // the system at every store.
    if (enoughSpaceCheckInterval == 0) return;
    if (storesUntilSpaceCheck > 0) {
        --storesUntilSpaceCheck;
        return;
    }
    // A path answers for the volume of the directory that holds it: asked on
    // the tree's own path, it looks at the tree's directory, not its parent.
    if (TamFile::Path(file.GetPath()).GetAvailableDiskSpace() < REQUIRED_DISK_SPACE)
        ThrowTree<BTreeNotEnoughDiskSpaceException>(MsgNotEnoughSpace, __LINE__);
    // A full disk is asked about again at the next store.
    storesUntilSpaceCheck = enoughSpaceCheckInterval - 1;
}

}  // namespace TamBTree
