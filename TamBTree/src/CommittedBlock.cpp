// Writing, reading and installing the committed block, the durable record of
// one transaction (drawn in FileFormat.h).
#include <map>
#include <unordered_set>

#include "FileFormat.h"
#include "TreeCore.h"
#include "ViewCache.h"

namespace TamBTree {

namespace {
using PageSet =
    std::unordered_set<std::uint64_t, std::hash<std::uint64_t>, std::equal_to<std::uint64_t>,
                       TamMem::PoolAllocator<std::uint64_t>>;
}  // namespace

std::uint64_t TreeCore::WriteCommittedBlock() {
    const std::uint64_t g = allocationGranularity;
    const std::uint64_t n = static_cast<std::uint64_t>(freedPages.Size()) + changedPages.size();
    if (n > MAX_COMMITTED_ENTRIES) ThrowTree<BTreeException>(MsgFileSizeLimit, __LINE__);
    const std::uint64_t length = CommittedBlockLength(n);
    const std::uint64_t regionSize = length + 2 * g - length % g;
    std::uint64_t granted = regionSize;
    std::uint64_t region = 0;
    while (!freeList.AllocateBlock(granted, region, regionSize)) {
        Grow();
        granted = regionSize;
    }
    // The block starts at the first granule boundary strictly above the
    // region; the slack on both sides goes back at once.
    const std::uint64_t start = region + (g - region % g);
    freeList.FreeBlock(start - region, region);
    if (region % g != 0) {
        const std::uint64_t tail = (region + regionSize) % g;
        freeList.FreeBlock(tail, region + regionSize - tail);
    }
    // The block itself stays out of the free-block list while a head that a
    // crash may find names it (ReleaseUnnamedBlocks).
    const std::uint64_t blockSize = regionSize - g;
    keptBlocks.emplace_back(start, blockSize);
    for (std::uint64_t offset = start; offset < start + blockSize; offset += g) {
        unsigned char* cached = nullptr;
        viewCache->EraseView(offset, cached);
        if (file.IsViewExist(offset)) file.ReleaseView(offset);
    }
    unsigned char* block = file.GetView(start, static_cast<std::uint32_t>(blockSize));
    WriteCommittedLength(block, static_cast<std::uint32_t>(length));
    std::uint64_t i = 0;
    for (const auto& changed : changedPages)
        WriteCommittedEntry(block, i++, changed.first, changed.second);
    for (std::uint64_t freed : freedPages) WriteCommittedEntry(block, i++, freed, NO_PAGE);
    FlushTransaction();
    file.ReleaseView(start);
    return start;
}

unsigned char* TreeCore::MapCommittedBlock(const BTreeInfo* info, std::uint32_t& length) const {
    const std::uint64_t g = allocationGranularity;
    const std::uint64_t offset = info->committedBlockOffset;
    const std::uint64_t size = file.GetSize();
    if (offset == NO_PAGE || !GranuleInFile(offset, size))
        ThrowInvalid(L"the committed block lies outside the file");
    unsigned char* block = file.GetView(offset);
    length = ReadCommittedLength(block);
    if (length < COMMITTED_LENGTH_SIZE) ThrowInvalid(L"the committed block is too short");
    if (static_cast<std::uint64_t>(length) + COMMITTED_LENGTH_SIZE > g) {
        const std::uint64_t viewSize =
            ((static_cast<std::uint64_t>(length) + COMMITTED_LENGTH_SIZE - 1) / g + 1) * g;
        if (!InsideFile(offset, viewSize, size))
            ThrowInvalid(L"the committed block reaches beyond the file");
        file.ReleaseView(offset);
        block = file.GetView(offset, static_cast<std::uint32_t>(viewSize));
    }
    return block;
}

void TreeCore::ApplyCommittedBlock(const BTreeInfo* info, bool freeReplaced) {
    std::uint32_t length = 0;
    const std::uint64_t blockOffset = info->committedBlockOffset;
    const unsigned char* block = MapCommittedBlock(info, length);
    const std::uint64_t n = CommittedEntryCount(length);
    // A page number listed twice keeps its first entry.
    std::map<std::uint64_t, std::uint64_t, std::less<std::uint64_t>,
             TamMem::PoolAllocator<std::pair<const std::uint64_t, std::uint64_t>>>
        entries;
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t page;
        std::uint64_t offset;
        ReadCommittedEntry(block, i, page, offset);
        entries.emplace(page, offset);
    }
    file.ReleaseView(blockOffset);

    const std::uint64_t limit =
        static_cast<std::uint64_t>(pageIndexBlocks.Size()) * pageIndexEntriesPerBlock;
    const std::uint64_t pendingPageCount = info->pendingPageCount;
    // The page-number lists are updated in one pass each: a commit of many
    // pages must not search them once per page.
    PageSet located;
    PageSet freed;
    FastVector<std::uint64_t> freedInOrder;
    for (const auto& entry : entries) {
        const std::uint64_t page = entry.first;
        const std::uint64_t offset = entry.second;
        if (page >= limit) ThrowInvalid(L"the committed block names a page beyond the page index");
        std::uint64_t* stable = GetStablePageOffset(page);
        if (freeReplaced && *stable != NO_PAGE) freeList.FreeBlock(pageSize, *stable);
        *stable = offset;
        if (offset == NO_PAGE) {
            freed.insert(page);
            freedInOrder.Append(page);
        } else {
            changedPages.erase(page);
            located.insert(page);
        }
    }
    // Freed pages lost their locations: no remembered address may outlive that.
    ++indexEpoch;
    // The head is not touched: it names this install as applying, and the
    // rewritten index entries reach the disk with the next data flush.
    const std::uint64_t newPageCount = info->pendingPageCount;
    freePageNumbers.RemoveIf(
        [&](std::uint64_t x) { return x >= newPageCount || located.count(x); });
    PageSet reusable(freePageNumbers.begin(), freePageNumbers.end());
    for (const std::uint64_t page : freedInOrder)
        if (page < pendingPageCount && reusable.insert(page).second) freePageNumbers.Append(page);
    freedPages.RemoveIf([&](std::uint64_t x) { return freed.count(x) != 0; });
    recordCount = info->pendingRecordCount;
    rootPage = info->pendingRootPage;
    pageCount = newPageCount;
}

void TreeCore::LoadPageInfoCommittedBlock(const BTreeInfo* info) {
    std::uint32_t length = 0;
    const unsigned char* block = MapCommittedBlock(info, length);
    const std::uint64_t size = file.GetSize();
    const std::uint64_t n = CommittedEntryCount(length);
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t page;
        std::uint64_t offset;
        ReadCommittedEntry(block, i, page, offset);
        if (offset == NO_PAGE) continue;
        if (!AlignedBlockInFile(offset, pageSize, size))
            ThrowInvalid(L"the committed block names a page outside the file");
        ClaimBlock(pageSize, offset);
    }
    file.ReleaseView(info->committedBlockOffset);
}

}  // namespace TamBTree
