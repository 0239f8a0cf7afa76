// The page index: page numbers to file offsets, and mapping pages for reading
// and for update (shadow paging). The page-index block is drawn in
// FileFormat.h; the index on disk always describes the last committed tree,
// and pages changed since then are found in the changed-page map.
#include <cstring>

#include "FileFormat.h"
#include "PageAddressCache.h"
#include "PageLayout.h"
#include "TreeCore.h"
#include "ViewCache.h"

namespace TamBTree {

namespace {
constexpr std::uint64_t WORD_BITS = 64;

bool TestBit(const FastVector<std::uint64_t>& bits, std::uint64_t k) {
    return k / WORD_BITS < bits.Size() &&
           (bits[static_cast<std::uint32_t>(k / WORD_BITS)] >> k % WORD_BITS & 1) != 0;
}

void SetBit(FastVector<std::uint64_t>& bits, std::uint64_t k) {
    while (bits.Size() <= k / WORD_BITS) bits.Append(0);
    bits[static_cast<std::uint32_t>(k / WORD_BITS)] |= std::uint64_t(1) << k % WORD_BITS;
}
}  // namespace

unsigned char* TreeCore::HoldPageIndexBlock(std::uint64_t block) const {
    if (block >= pageIndexBlocks.Size()) ThrowInvalid(L"page number beyond the page index");
    const std::uint64_t offset = pageIndexBlocks[static_cast<std::uint32_t>(block)];
    if (offset == heldPageIndexBlock && heldPageIndexView) return heldPageIndexView;
    ReleaseHeldPageIndexBlock();
    heldPageIndexBlock = offset;
    heldPageIndexView = file.GetView(offset);
    return heldPageIndexView;
}

void TreeCore::ReleaseHeldPageIndexBlock() const {
    if (heldPageIndexBlock != NO_PAGE && file.IsViewExist(heldPageIndexBlock))
        file.ReleaseView(heldPageIndexBlock);
    heldPageIndexBlock = NO_PAGE;
    heldPageIndexView = nullptr;
}

std::uint64_t* TreeCore::GetStablePageOffset(std::uint64_t n) const {
    unsigned char* view = HoldPageIndexBlock(n / pageIndexEntriesPerBlock);
    return reinterpret_cast<std::uint64_t*>(view) + n % pageIndexEntriesPerBlock;
}

std::uint64_t TreeCore::GetPageOffset(std::uint64_t n) const {
    PageMap::const_iterator changed = changedPages.find(n);
    if (changed != changedPages.end()) return changed->second;
    return *GetStablePageOffset(n);
}

std::uint64_t TreeCore::PageEpoch() const {
    // Each part only grows, so the sum changes whenever one of them does.
    return changedPages.Epoch() + indexEpoch + viewCache->Removals();
}

PageHeader* TreeCore::MapPage(std::uint64_t n, std::uint64_t offset,
                              ViewCache::Entry*& entry) const {
    if (!PageInFile(offset, file.GetSize()))
        ThrowInvalid(L"page " + std::to_wstring(n) + L" lies outside the file");
    const std::uint64_t base = GranuleBase(offset);
    entry = viewCache->Find(base);
    if (!entry) {
        unsigned char* view = file.GetView(base);
        entry = viewCache->TouchView(base, view);
    }
    return reinterpret_cast<PageHeader*>(entry->address + (offset - base));
}

PageHeader* TreeCore::LoadPage(std::uint64_t n) const {
    bool writable;
    return LoadPage(n, writable);
}

PageHeader* TreeCore::LoadPage(std::uint64_t n, bool& writable) const {
    ViewCache::Entry* entry;
    PageHeader* page = pageAddresses->Find(n, PageEpoch(), entry, writable);
    if (!page) {
        page = LoadPageSlow(n, entry, writable);
        pageAddresses->Remember(n, PageEpoch(), page, entry, writable);
    } else {
        // A remembered view still counts as used, so the view the bracket
        // trims is still the least recently used one.
        viewCache->Touch(entry);
    }
    return page;
}

PageHeader* TreeCore::LoadPageSlow(std::uint64_t n, ViewCache::Entry*& entry,
                                   bool& writable) const {
    writable = true;
    PageMap::const_iterator changed = changedPages.find(n);
    if (changed != changedPages.end()) return MapPage(n, changed->second, entry);
    if (n >= pageCount)
        ThrowInvalid(L"page number " + std::to_wstring(n) + L" was never handed out");
    const std::uint64_t offset = *GetStablePageOffset(n);
    if (offset == NO_PAGE) {
        // A page just made by NewPage gets its first location; any other
        // unlocated page is named by damaged data.
        if (n != creatingPage) ThrowInvalid(L"page " + std::to_wstring(n) + L" has no location");
        return MapPage(n, TakeFreshLocation(n), entry);
    }
    writable = false;
    PageHeader* page = MapPage(n, offset, entry);
    // A committed image comes from the file: check it before anyone follows
    // its counts and offsets. Its header and entries are checked once per
    // open: only the tree itself writes to the file while it is open. (The
    // page size is a power of two, so the unit needs no division on this hot
    // path.)
    if (page->pageNumber != n)
        ThrowInvalid(L"page " + std::to_wstring(n) + L" holds page number " +
                     std::to_wstring(page->pageNumber));
    const std::uint64_t unit = offset >> PAGE_SHIFT;
    if (!TestBit(checkedUnits, unit)) {
        layout->CheckPage(page);
        layout->CheckEntries(page);
        SetBit(checkedUnits, unit);
    }
    return page;
}

std::uint64_t TreeCore::TakeFreshLocation(std::uint64_t n) const {
    const std::uint64_t fresh = AllocatePageSpace();
    changedPages.emplace(n, fresh);
    pageAddresses->Forget(n);
    // What the tree itself writes there is sound: once committed, the image
    // needs no check on its first read.
    SetBit(checkedUnits, fresh >> PAGE_SHIFT);
    return fresh;
}

PageHeader* TreeCore::LoadPageForUpdate(std::uint64_t n) {
    ++pageWrites;
    bool writable;
    const PageHeader* committed = LoadPage(n, writable);
    if (writable) return const_cast<PageHeader*>(committed);
    TakeFreshLocation(n);
    PageHeader* page = LoadPage(n);
    // Written through the file, the copy costs no page fault; the edit that
    // follows faults in just the memory pages it touches. The free gap
    // between the record area and the slot directory holds nothing, so it is
    // not copied: what is not written is not flushed either.
    unsigned char* to = reinterpret_cast<unsigned char*>(page);
    const unsigned char* from = reinterpret_cast<const unsigned char*>(committed);
    const std::uint32_t head = committed->dataEnd;
    const std::uint32_t tail = committed->directorySize;
    if (head <= pageSize && tail <= pageSize - head) {
        file.Write(to, from, head);
        file.Write(to + pageSize - tail, from + pageSize - tail, tail);
    } else {
        file.Write(to, from, pageSize);
    }
    return page;
}

bool TreeCore::IsPageCached(std::uint64_t n) const {
    PageMap::const_iterator changed = changedPages.find(n);
    std::uint64_t offset;
    if (changed != changedPages.end())
        offset = changed->second;
    else if (n < pageCount)
        offset = *GetStablePageOffset(n);
    else
        return false;
    return offset != NO_PAGE && viewCache->Contains(GranuleBase(offset));
}

void TreeCore::ReleasePageView(std::uint64_t n) const {
    const std::uint64_t offset = GetPageOffset(n);
    const std::uint64_t view = GranuleBase(offset);
    unsigned char* address = nullptr;
    if (viewCache->EraseView(view, address) && file.IsViewExist(view)) file.ReleaseView(view);
}

void TreeCore::LoadPageIndexBlock(const BTreeInfo* info) {
    ReleaseHeldPageIndexBlock();
    // The reusable numbers are exactly the unlocated ones below the next page
    // number; rebuilding from scratch also drops what an install added.
    freePageNumbers.Clear();
    const std::uint64_t next = info->pageCount;
    const std::uint64_t size = file.GetSize();
    for (std::uint32_t b = 0; b < pageIndexBlocks.Size(); ++b) {
        const std::uint64_t first = static_cast<std::uint64_t>(b) * pageIndexEntriesPerBlock;
        if (first >= next) break;
        const std::uint64_t* entries =
            reinterpret_cast<const std::uint64_t*>(HoldPageIndexBlock(b));
        for (std::uint32_t k = 0; k < pageIndexEntriesPerBlock && first + k < next; ++k) {
            const std::uint64_t n = first + k;
            const std::uint64_t offset = entries[k];
            if (offset != NO_PAGE) {
                if (!AlignedBlockInFile(offset, pageSize, size))
                    ThrowInvalid(L"page " + std::to_wstring(n) + L" lies outside the file");
                ClaimBlock(pageSize, offset);
            } else if (n != rootPage) {
                // Each page number is visited once, so none is added twice.
                freePageNumbers.Append(n);
            }
        }
        ReleaseHeldPageIndexBlock();
    }
}

void TreeCore::AddPageIndexBlock() const {
    const std::uint64_t g = allocationGranularity;
    if (pageIndexBlocks.Size() >= MAX_PAGE_INDEX_BLOCKS)
        ThrowTree<BTreeException>(MsgFileSizeLimit, __LINE__);
    std::uint64_t size = 2 * g;
    std::uint64_t offset = 0;
    if (!freeList.AllocateBlock(size, offset, 2 * g)) {
        Grow();
        size = 2 * g;
        if (!freeList.AllocateBlock(size, offset, 2 * g))
            ThrowTree<BTreeException>(MsgFileSizeLimit, __LINE__);
    }
    const std::uint64_t block = offset + (g - offset % g);
    const std::uint64_t end = offset + size;
    freeList.FreeBlock(block - offset, offset);
    if (offset % g != 0) freeList.FreeBlock(end % g, end - end % g);

    unsigned char* cached = nullptr;
    if (viewCache->EraseView(block, cached)) file.ReleaseView(block);

    BTreeInfo* info = SystemBlock();
    const std::uint32_t count = info->pageIndexBlockCount;
    info->Blocks()[count] = block;
    info->pageIndexBlockCount = count + 1;
    FlushHead(SystemBlockBytes(count + 1));
    pageIndexBlocks.Append(block);
}

}  // namespace TamBTree
