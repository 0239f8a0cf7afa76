// The page index: page numbers to file offsets, and mapping pages for reading
// and for update (shadow paging). The page-index block is drawn in
// FileFormat.h; the index on disk always describes the last committed tree,
// and pages changed since then are found in the changed-page map.
#include <cstring>

#include "Damage.h"
#include "PageLayout.h"
#include "Pager.h"

namespace TamBTree {

unsigned char* Pager::HoldPageIndexBlock(std::uint64_t block) const {
    if (block >= pageIndexBlocks.Size()) ThrowInvalid(L"page number beyond the page index");
    const std::uint64_t offset = pageIndexBlocks[static_cast<std::uint32_t>(block)];
    if (offset == heldPageIndexBlock && heldPageIndexView) return heldPageIndexView;
    ReleaseHeldPageIndexBlock();
    heldPageIndexBlock = offset;
    heldPageIndexView = space.View(offset);
    return heldPageIndexView;
}

void Pager::ReleaseHeldPageIndexBlock() const {
    if (heldPageIndexBlock != NO_PAGE && space.HasView(heldPageIndexBlock))
        space.ReleaseView(heldPageIndexBlock);
    heldPageIndexBlock = NO_PAGE;
    heldPageIndexView = nullptr;
}

std::uint64_t* Pager::GetStablePageOffset(std::uint64_t n) const {
    unsigned char* view = HoldPageIndexBlock(n / PAGE_INDEX_ENTRIES);
    return reinterpret_cast<std::uint64_t*>(view) + n % PAGE_INDEX_ENTRIES;
}

std::uint64_t Pager::GetPageOffset(std::uint64_t n) const {
    PageMap::const_iterator changed = changedPages.find(n);
    if (changed != changedPages.end()) return changed->second;
    return CommittedOffset(n);
}

std::uint64_t Pager::PageEpoch() const {
    // Each part only grows, so the sum changes whenever one of them does.
    return changedPages.Epoch() + unindexed.Epoch() + indexEpoch + viewCache.Removals();
}

PageHeader* Pager::MapPage(std::uint64_t n, std::uint64_t offset, ViewCache::Entry*& entry) const {
    if (!PageInFile(offset, FileSize()))
        ThrowInvalid(L"page " + std::to_wstring(n) + L" lies outside the file");
    if (image) {
        // A snapshot reads through the image's mapping of the whole file: no
        // view to cache, none to release.
        entry = nullptr;
        return reinterpret_cast<PageHeader*>(image->Address(offset));
    }
    const std::uint64_t base = GranuleBase(offset);
    entry = viewCache.Find(base);
    if (!entry) {
        unsigned char* view = space.View(base);
        entry = viewCache.TouchView(base, view);
    }
    return reinterpret_cast<PageHeader*>(entry->address + (offset - base));
}

PageHeader* Pager::LoadPage(std::uint64_t n) const {
    bool writable;
    return LoadPage(n, writable);
}

PageHeader* Pager::LoadPage(std::uint64_t n, bool& writable) const {
    ViewCache::Entry* entry;
    PageHeader* page = pageAddresses.Find(n, PageEpoch(), entry, writable);
    if (!page) {
        page = LoadPageSlow(n, entry, writable);
        pageAddresses.Remember(n, PageEpoch(), page, entry, writable);
    } else if (entry) {
        // A remembered view still counts as used, so the view the bracket
        // trims is still the least recently used one.
        viewCache.Touch(entry);
    }
    return page;
}

PageHeader* Pager::LoadPageSlow(std::uint64_t n, ViewCache::Entry*& entry, bool& writable) const {
    writable = true;
    PageMap::const_iterator changed = changedPages.find(n);
    if (changed != changedPages.end()) return MapPage(n, changed->second, entry);
    if (n >= counts.pages)
        ThrowInvalid(L"page number " + std::to_wstring(n) + L" was never handed out");
    const std::uint64_t offset = CommittedOffset(n);
    // Only NewPage gives a page its first location, before it loads it: any
    // other unlocated page is named by damaged data.
    if (offset == NO_PAGE) ThrowInvalid(L"page " + std::to_wstring(n) + L" has no location");
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
    if (!checkedUnits->Test(unit)) {
        layout.CheckPage(page);
        layout.CheckEntries(page);
        checkedUnits->Set(unit);
    }
    return page;
}

std::uint64_t Pager::TakeFreshLocation(std::uint64_t n) {
    const std::uint64_t fresh = AllocatePageSpace();
    changedPages.emplace(n, fresh);
    pageAddresses.Forget(n);
    // What the tree itself writes there is sound: once committed, the image
    // needs no check on its first read.
    checkedUnits->Set(fresh >> PAGE_SHIFT);
    return fresh;
}

PageHeader* Pager::LoadPageForUpdate(std::uint64_t n) {
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
    TamFile::MemoryMapFile& file = space.File();
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

bool Pager::IsPageCached(std::uint64_t n) const {
    // A snapshot has every page mapped for as long as it lives.
    if (image) return true;
    PageMap::const_iterator changed = changedPages.find(n);
    std::uint64_t offset;
    if (changed != changedPages.end())
        offset = changed->second;
    else if (n < counts.pages)
        offset = CommittedOffset(n);
    else
        return false;
    return offset != NO_PAGE && viewCache.Contains(GranuleBase(offset));
}

void Pager::ReleasePageView(std::uint64_t n) const {
    const std::uint64_t offset = GetPageOffset(n);
    const std::uint64_t view = GranuleBase(offset);
    unsigned char* address = nullptr;
    if (viewCache.EraseView(view, address) && space.HasView(view)) space.ReleaseView(view);
}

void Pager::LoadIndexBlockList() {
    const std::uint64_t g = space.Granule();
    const std::uint64_t size = space.Size();
    const BTreeInfo* info = Head();
    const std::uint32_t blocks = info->pageIndexBlockCount;
    if (blocks == 0 || blocks > MAX_PAGE_INDEX_BLOCKS) ThrowInvalid(L"bad page-index block count");
    for (std::uint32_t i = 0; i < blocks; ++i) {
        const std::uint64_t offset = info->Blocks()[i];
        if (!GranuleInFile(offset, size)) ThrowInvalid(L"page-index block outside the file");
        pageIndexBlocks.Append(offset);
        space.Claim(g, offset);
    }
}

void Pager::LoadPageIndex(const BTreeInfo& head) {
    if (head.pageCount > IndexCapacity() || head.rootPage >= head.pageCount)
        ThrowInvalid(L"bad page count or root page");
    counts = TreeCounts{head.recordCount, head.rootPage, head.pageCount};
    committedCounts = counts;
    wholeIndexChanged = true;
    ReleaseHeldPageIndexBlock();
    // The reusable numbers are exactly the unlocated ones below the next page
    // number; rebuilding from scratch also drops what an install added.
    freePageNumbers.Clear();
    const std::uint64_t next = head.pageCount;
    const std::uint64_t size = space.Size();
    for (std::uint32_t b = 0; b < pageIndexBlocks.Size(); ++b) {
        const std::uint64_t first = static_cast<std::uint64_t>(b) * PAGE_INDEX_ENTRIES;
        if (first >= next) break;
        const std::uint64_t* entries =
            reinterpret_cast<const std::uint64_t*>(HoldPageIndexBlock(b));
        for (std::uint32_t k = 0; k < PAGE_INDEX_ENTRIES && first + k < next; ++k) {
            const std::uint64_t n = first + k;
            const std::uint64_t offset = entries[k];
            if (offset != NO_PAGE) {
                if (!AlignedBlockInFile(offset, pageSize, size))
                    ThrowInvalid(L"page " + std::to_wstring(n) + L" lies outside the file");
                space.Claim(pageSize, offset);
            } else if (n != counts.root) {
                // Each page number is visited once, so none is added twice.
                freePageNumbers.Append(n);
            }
        }
        ReleaseHeldPageIndexBlock();
    }
}

}  // namespace TamBTree
