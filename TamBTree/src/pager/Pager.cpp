// The pager's life cycle, the system block, headroom and the view cache.
#include "Pager.h"

#include <algorithm>
#include <cstring>

#include "Damage.h"
#include "PageLayout.h"
#include "readers/SharedWriter.h"

namespace TamBTree {

Pager::Pager(const std::string& path, const PageLayout& pageLayout, std::uint32_t views,
             bool readOnly)
    : space(path, pageLayout.Format().pageSize, readOnly),
      layout(pageLayout),
      pageSize(pageLayout.Format().pageSize),
      maxCachedViews(views),
      pageAddresses(views * (space.Granule() / pageLayout.Format().pageSize)),
      ownCheckedUnits(std::make_shared<CheckedUnits>()),
      checkedUnits(ownCheckedUnits.get()),
      registry(std::make_shared<SnapshotRegistry>()) {}

Pager::Pager(const std::string& path, const PageLayout& pageLayout, std::uint32_t views,
             SnapshotPin snapshot)
    : space(path, pageLayout.Format().pageSize, true),
      layout(pageLayout),
      pageSize(pageLayout.Format().pageSize),
      maxCachedViews(views),
      // Snapshots are many and short-lived: a small table, cheap to make.
      pageAddresses(
          std::min(views * (space.Granule() / pageLayout.Format().pageSize), SNAPSHOT_ADDRESSES)),
      checkedUnits(nullptr),
      pin(std::move(snapshot)) {
    image = &pin->Image();
    counts = image->Counts();
    checkedUnits = &image->Checked();
}

Pager::~Pager() {
    sharedWriter.reset();
    viewCache.ClearViews();
    heldPageIndexBlock = NO_PAGE;
    space.File().Close();
}

void Pager::ReadBeside(std::shared_ptr<ImageSource> source) {
    readerSource = std::move(source);
    if (!readerSource) {
        pin.reset();
        image = nullptr;
        checkedUnits = ownCheckedUnits.get();
        ++indexEpoch;
    }
}

void Pager::AttachImage(SnapshotPin pinned) {
    // The image read until now is let go only once the new one is pinned.
    std::optional<SnapshotPin> before(std::move(pin));
    pin.reset();
    pin.emplace(std::move(pinned));
    image = &pin->Image();
    counts = image->Counts();
    committedCounts = counts;
    checkedUnits = &image->Checked();
    // Remembered addresses belong to the image before.
    ++indexEpoch;
    ClearViews();
}

void Pager::ShareWith(std::unique_ptr<SharedWriter> writer) {
    sharedWriter = std::move(writer);
    if (!sharedWriter) return;
    if (sharedWriter->Begin()) retained.RetainFreeSpace(sharedWriter->FirstSequence(), space);
    if (published) sharedWriter->Publish(*published);
}

void Pager::StopSharing(bool atRest) {
    if (!sharedWriter) return;
    sharedWriter->End(atRest);
    sharedWriter.reset();
}

void Pager::ThrowInvalid(const std::wstring& what) const {
    TamBTree::ThrowInvalid(space.Path(), what);
}

const BTreeInfo* Pager::Head() const {
    // Read beside a writer, the head is the file's as it is now.
    if (image) return reinterpret_cast<const BTreeInfo*>(image->Address(0));
    return reinterpret_cast<const BTreeInfo*>(space.View(0));
}

BTreeInfo* Pager::Head() {
    return reinterpret_cast<BTreeInfo*>(space.File().GetView(0));
}

void Pager::FlushHead(std::uint32_t bytes) {
    space.File().FlushView(0, bytes);
}

void Pager::Reset() {
    counts = TreeCounts{0, 0, 1};
    committedCounts = counts;
    unindexed.clear();
    heldPageIndexBlock = NO_PAGE;
    heldPageIndexView = nullptr;
    freePageNumbers.Clear();
    space.Reset();
    pageIndexBlocks.Clear();
    changedPages.clear();
    // The file is read anew: nothing read before counts as checked, while
    // snapshots keep the set of the images they pinned.
    ownCheckedUnits = std::make_shared<CheckedUnits>();
    checkedUnits = ownCheckedUnits.get();
    wholeIndexChanged = true;
    freedPages.Clear();
    ClearViews();
}

void Pager::CloseFile() {
    ClearViews();
    heldPageIndexBlock = NO_PAGE;
    heldPageIndexView = nullptr;
    space.File().Close();
}

void Pager::FormatNewFile() {
    Grow();
    WriteSystemBlock();
    CreateRoot();
}

void Pager::WriteSystemBlock() {
    const std::uint64_t g = space.Granule();
    BTreeInfo* info = Head();
    std::memset(info, 0, BTREE_INFO_SIZE);
    info->version = FILE_VERSION;
    info->pageSize = pageSize;
    info->recordCount = 0;
    info->rootPage = 0;
    info->pageCount = 1;
    info->pendingRecordCount = 0;
    info->pendingRootPage = NO_PAGE;
    info->pendingPageCount = NO_PAGE;
    info->pageIndexBlockCount = 1;
    info->committedBlockOffset = NO_PAGE;
    info->Blocks()[0] = g;
    FlushHead(SystemBlockBytes(1));
    space.Claim(g, 0);
    space.Claim(g, g);
    pageIndexBlocks.Append(g);
}

void Pager::CreateRoot() {
    TamFile::MemoryMapFile& file = space.File();
    std::uint64_t* entry = GetStablePageOffset(0);
    *entry = NO_PAGE;
    TakeFreshLocation(0);
    PageHeader* root = LoadPage(0);
    std::memset(root, 0, PAGE_HEADER_SIZE);
    root->pageNumber = 0;
    root->previousPage = NO_PAGE;
    root->nextPage = NO_PAGE;
    root->dataEnd = PAGE_HEADER_SIZE;
    root->isLeaf = 1;

    // A new tree has nothing to commit: the root's location goes straight
    // into the page index.
    const std::uint64_t rootOffset = changedPages.find(0)->second;
    *entry = rootOffset;
    file.FlushView(rootOffset, pageSize);
    changedPages.erase(0);
    if (file.IsViewExist(pageIndexBlocks[0]))
        file.FlushView(pageIndexBlocks[0], PAGE_INDEX_ENTRY_SIZE);
}

void Pager::SecureHeadroom(std::uint64_t pages) {
    // No page can be created on a read-only tree, and growing would write to
    // the file.
    if (space.ReadOnly() || !space.File().IsOpen()) return;
    if (counts.pages + pages >= IndexCapacity()) AddPageIndexBlock();
    // Every page created or relocated takes its space from the free-block
    // list, so its free bytes are the headroom: each page counted once.
    if (space.FreeBytes() / pageSize < pages) Grow();
}

void Pager::Grow() {
    const bool enough = space.Extend();
    // The views stay mapped in the file services; the cache is rebuilt as
    // pages are used again.
    ClearViews();
    if (!enough) ThrowMessage<BTreeException>(MsgFileSizeLimit, __LINE__, space.Path());
}

void Pager::TrimViews() const {
    if (viewCache.Count() > maxCachedViews) ReleaseLeastRecentView();
}

void Pager::ClearViews() const {
    viewCache.ClearViews();
}

void Pager::ReleaseLeastRecentView() const {
    std::uint64_t offset;
    if (viewCache.EraseLeastRecent(offset) && space.HasView(offset)) space.ReleaseView(offset);
}

void Pager::DropViews(std::uint64_t offset, std::uint64_t size) {
    TamFile::MemoryMapFile& file = space.File();
    for (std::uint64_t at = offset; at < offset + size; at += space.Granule()) {
        unsigned char* cached = nullptr;
        viewCache.EraseView(at, cached);
        if (file.IsViewExist(at)) file.ReleaseView(at);
    }
}

}  // namespace TamBTree
