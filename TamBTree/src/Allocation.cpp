// Page numbers: handed out by NewPage (reused last-in first-out), discarded by
// FreePage. A page number freed in a transaction becomes reusable only when
// the transaction commits.
#include <cstring>

#include "PageLayout.h"
#include "TreeCore.h"

namespace TamBTree {

PageHeader* TreeCore::NewPage(const PageHeader& pageTemplate) {
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
    file.PrepareWrite(reinterpret_cast<unsigned char*>(page), pageSize);
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
