// Page numbers: handed out by NewPage (reused last-in first-out), discarded by
// FreePage. A page number freed in a transaction becomes reusable only when
// the transaction commits.
#include <cstring>

#include "PageLayout.h"
#include "TreeCore.h"

namespace TamBTree {

namespace {
// The end of a new page made writable for its slot directory: one memory page
// holds the slots of a page that is not full of small entries.
constexpr std::uint32_t DIRECTORY_PREPARED = 4096;
static_assert(PAGE_SIZE > PAGE_HEADER_SIZE + DIRECTORY_PREPARED, "a page has room for both parts");
}  // namespace

PageHeader* TreeCore::NewPage(const PageHeader& pageTemplate, std::uint32_t entryBytes) {
    std::uint64_t n;
    if (!freePageNumbers.Empty()) {
        n = freePageNumbers.Last();
        freePageNumbers.RemoveLast();
    } else {
        n = pageCount;
        // A long-held bracket can outrun the room check of Add.
        if (n / pageIndexEntriesPerBlock >= pageIndexBlocks.Size()) AddPageIndexBlock();
        ++pageCount;
        *GetStablePageOffset(n) = NO_PAGE;
    }
    creatingPage = n;
    PageHeader* page = LoadPage(n);
    creatingPage = NO_PAGE;
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

void TreeCore::FreePage(const PageHeader* page) {
    const std::uint64_t n = page->pageNumber;
    freedPages.Append(n);
    PageMap::const_iterator changed = changedPages.find(n);
    if (changed != changedPages.end()) {
        freeList.FreeBlock(pageSize, changed->second);
        changedPages.erase(changed);
    }
}

}  // namespace TamBTree
