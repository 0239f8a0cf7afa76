// Page numbers and page space. Numbers are handed out by NewPage (reused
// last-in first-out) and discarded by FreePage; a number freed in a
// transaction becomes reusable only when the transaction commits. Space comes
// from the free-block list, which the file grows into.
#include <cstring>

#include "PageLayout.h"
#include "Pager.h"

namespace TamBTree {

namespace {
// The end of a new page made writable for its slot directory: one memory page
// holds the slots of a page that is not full of small entries.
constexpr std::uint32_t DIRECTORY_PREPARED = 4096;
static_assert(PAGE_SIZE > PAGE_HEADER_SIZE + DIRECTORY_PREPARED, "a page has room for both parts");
}  // namespace

PageHeader* Pager::NewPage(const PageHeader& pageTemplate, std::uint32_t entryBytes) {
    std::uint64_t n;
    if (!freePageNumbers.Empty()) {
        n = freePageNumbers.Last();
        freePageNumbers.RemoveLast();
    } else {
        n = counts.pages;
        // A long-held bracket can outrun the headroom taken before it.
        if (n / PAGE_INDEX_ENTRIES >= pageIndexBlocks.Size()) AddPageIndexBlock();
        ++counts.pages;
        *GetStablePageOffset(n) = NO_PAGE;
    }
    TakeFreshLocation(n);
    PageHeader* page = LoadPage(n);
    TamFile::MemoryMapFile& file = space.File();
    unsigned char* bytes = reinterpret_cast<unsigned char*>(page);
    if (entryBytes >= pageSize - PAGE_HEADER_SIZE - DIRECTORY_PREPARED) {
        file.PrepareWrite(bytes, pageSize);
    } else {
        file.PrepareWrite(bytes, PAGE_HEADER_SIZE + entryBytes);
        file.PrepareWrite(bytes + pageSize - DIRECTORY_PREPARED, DIRECTORY_PREPARED);
    }
    page->pageNumber = n;
    page->previousPage = pageTemplate.previousPage;
    page->nextPage = pageTemplate.nextPage;
    page->count = pageTemplate.count;
    page->dataSize = pageTemplate.dataSize;
    page->dataEnd = pageTemplate.dataEnd;
    page->directorySize = pageTemplate.directorySize;
    page->isLeaf = pageTemplate.isLeaf;
    std::memset(page->reserved, 0, sizeof page->reserved);
    return page;
}

void Pager::FreePage(const PageHeader* page) {
    const std::uint64_t n = page->pageNumber;
    freedPages.Append(n);
    PageMap::const_iterator changed = changedPages.find(n);
    if (changed != changedPages.end()) {
        space.Free(pageSize, changed->second);
        changedPages.erase(changed);
    }
}

std::uint64_t Pager::AllocatePageSpace() {
    // Growing inside an operation is safe: views never move when the file
    // grows, so no page address held by the operation goes stale.
    std::uint64_t offset = space.TakePages(pageSize);
    if (offset == 0) {
        Grow();
        offset = space.TakePages(pageSize);
        if (offset == 0) ThrowMessage<BTreeException>(MsgFileSizeLimit, __LINE__, space.Path());
    }
    return offset;
}

void Pager::AddPageIndexBlock() {
    const std::uint64_t g = space.Granule();
    if (pageIndexBlocks.Size() >= MAX_PAGE_INDEX_BLOCKS)
        ThrowMessage<BTreeException>(MsgFileSizeLimit, __LINE__, space.Path());
    std::uint64_t offset = 0;
    if (!space.TakeRegion(2 * g, offset)) {
        Grow();
        if (!space.TakeRegion(2 * g, offset))
            ThrowMessage<BTreeException>(MsgFileSizeLimit, __LINE__, space.Path());
    }
    const std::uint64_t block = offset + (g - offset % g);
    const std::uint64_t end = offset + 2 * g;
    space.Free(block - offset, offset);
    if (offset % g != 0) space.Free(end % g, end - end % g);

    unsigned char* cached = nullptr;
    if (viewCache.EraseView(block, cached)) space.File().ReleaseView(block);

    BTreeInfo* info = Head();
    const std::uint32_t count = info->pageIndexBlockCount;
    info->Blocks()[count] = block;
    info->pageIndexBlockCount = count + 1;
    FlushHead(SystemBlockBytes(count + 1));
    pageIndexBlocks.Append(block);
}

}  // namespace TamBTree
