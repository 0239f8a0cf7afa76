// The pager: pages by number, at the state of the open transaction, over the
// tree file. It owns the file and its space (FileSpace), the page index with
// the shadow locations of the pages changed since the last commit, page
// numbers, the view cache and the remembered page addresses.
//
// What the layers above get: a page for reading (LoadPage), a page for
// writing (LoadPageForUpdate: the first write of a committed page copies it to
// a new location), a new page, a freed page, the counts the head publishes,
// and for the transaction the changes to name in a committed block and the
// install of one.
//
// Invariants: the page index on disk describes the last committed tree; a page
// changed since lives at its shadow location (ChangedPages) and nowhere else
// is written. A committed page image is checked once per open before its
// counts are used. Views are unmapped only when the outermost operation
// bracket closes (or the file grows or a commit drops them): a page address
// taken inside an operation stays valid to its end. A remembered address is
// trusted only while the page epoch is unchanged.
//
// A snapshot's pager reads the committed image it pinned instead of the file's
// page index, through the tree's mappings: it is read-only, has no changed
// pages, and its counts never change. The tree's pager publishes the committed
// tree whenever that changes, and keeps the page images a pinned image names
// out of the free space (see Snapshots.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FastVector.h"
#include "FileFormat.h"
#include "FileSpace.h"
#include "PageAddressCache.h"
#include "PageMap.h"
#include "Snapshots.h"
#include "TamMem.h"
#include "TreeCounts.h"
#include "ViewCache.h"

namespace TamBTree {

class PageLayout;
class SharedWriter;
class SpaceClaims;

class Pager : public TamMem::PoolObject {
public:
    // `entryBytes` of NewPage: how much of the record area the caller is about
    // to fill; only that much and the memory page of the directory are made
    // writable at once, so a page that stays part-empty has its gap neither
    // written nor flushed. By default the caller fills the whole page.
    static constexpr std::uint32_t WHOLE_PAGE = ~std::uint32_t(0);
    // The most page addresses a snapshot's pager remembers.
    static constexpr std::uint32_t SNAPSHOT_ADDRESSES = 1024;

    Pager(const std::string& path, const PageLayout& layout, std::uint32_t maxCachedViews,
          bool readOnly);
    // A snapshot's pager, reading the image `pin` holds.
    Pager(const std::string& path, const PageLayout& layout, std::uint32_t maxCachedViews,
          SnapshotPin pin);
    ~Pager();
    Pager(const Pager&) = delete;
    Pager& operator=(const Pager&) = delete;

    FileSpace& Space() { return space; }
    const FileSpace& Space() const { return space; }

    // The operation bracket: views stay mapped while one is open; when the
    // outermost closes, at most one least recently used view goes.
    int Add() const { return ++depth; }
    int Remove() const {
        if (depth == 1) TrimViews();
        return --depth;
    }
    int Depth() const { return depth; }

    // Page n as the open transaction sees it.
    PageHeader* LoadPage(std::uint64_t n) const;
    // LoadPage telling whether the page was changed in the open transaction
    // (so it may be written in place).
    PageHeader* LoadPage(std::uint64_t n, bool& writable) const;
    // Page n made writable: copied to a shadow location on its first write.
    PageHeader* LoadPageForUpdate(std::uint64_t n);
    PageHeader* NewPage(const PageHeader& pageTemplate, std::uint32_t entryBytes = WHOLE_PAGE);
    void FreePage(const PageHeader* page);
    bool IsPageCached(std::uint64_t n) const;
    // Unmaps a page's view that a walk mapped itself; the views a caller's
    // bracket may hold stay.
    void ReleasePageView(std::uint64_t n) const;
    // Every edit of a page passes LoadPageForUpdate; commits and rollbacks
    // clear the changed-page map.
    std::uint64_t ChangeCount() const { return pageWrites + changedPages.Epoch(); }
    std::uint64_t PageWrites() const { return pageWrites; }

    const TreeCounts& Counts() const { return counts; }
    // The bytes of the file the pages read lie in.
    std::uint64_t FileSize() const { return image ? image->FileSize() : space.Size(); }
    // The counts of the last commit (the transaction's own are Counts()).
    const TreeCounts& CommittedCounts() const { return committedCounts; }
    void SetRoot(std::uint64_t root) { counts.root = root; }
    void AddRecord() { ++counts.records; }
    void RemoveRecord() { --counts.records; }

    // Page-index entries and free file space for `pages` more pages: taken
    // before an outermost write, so that its bracket never waits for growth.
    void SecureHeadroom(std::uint64_t pages);
    // Extends the file; the view cache starts over.
    void Grow();
    void ClearViews() const;
    // Drops the cached views of [offset, offset + size), granule by granule.
    void DropViews(std::uint64_t offset, std::uint64_t size);

    // The system block's head.
    const BTreeInfo* Head() const;
    BTreeInfo* Head();
    void FlushHead(std::uint32_t bytes = BTREE_INFO_SIZE);

    // Opening and creating: forgets every page and location.
    void Reset();
    void CloseFile();
    // Lays out a new file: its first growth, the system block, the first
    // page-index block and the empty root.
    void FormatNewFile();
    // Takes the page-index block list of the system block, checking it.
    void LoadIndexBlockList();
    // Takes the counts of `head` and the page index they describe.
    void LoadPageIndex(const BTreeInfo& head);

    // The transaction's changes: shadow locations and freed page numbers.
    const PageMap& ChangedPages() const { return changedPages; }
    const FastVector<std::uint64_t>& FreedPages() const { return freedPages; }
    // Entries of a committed block: page number to new offset, NO_PAGE freed.
    using Locations =
        std::map<std::uint64_t, std::uint64_t, std::less<std::uint64_t>,
                 TamMem::PoolAllocator<std::pair<const std::uint64_t, std::uint64_t>>>;
    // Writes the locations into the page index and takes the pending counts;
    // `freeReplaced`: the images replaced go back to the free space once no
    // head a crash may find, and no snapshot, needs them: from commit
    // `commit` on.
    void Install(const Locations& locations, const TreeCounts& pending, bool freeReplaced,
                 std::uint64_t commit);
    // Install for a read-only pager: the locations go to the unindexed pages
    // (the file is not written), nothing is freed.
    void InstallInMemory(const Locations& locations, const TreeCounts& pending) {
        Apply(locations, pending, false, false, 0, 0);
    }

    // Commits the page index does not hold yet: committed in memory (the
    // tree and snapshots read them), named by no head yet or by one that may
    // not be durable. Their locations live here until InstallUnindexed.
    const PageMap& UnindexedPages() const { return unindexed; }
    // The transaction becomes commit `commit` without touching the page
    // index: its changed pages (now committed, copied again on their next
    // write) and freed pages join the unindexed ones. The images it replaces
    // are released from commit `commit` on (`fromIndex`) or, for unindexed
    // ones, from `fromUnindexed`.
    void CommitUnindexed(std::uint64_t commit, std::uint64_t fromUnindexed);
    // Writes the unindexed locations into the page index: a durable head
    // names them now.
    void InstallUnindexed();
    // Gives back the retained images that neither a head a crash may find
    // (`durable`: the last commit a durable head names) nor a snapshot needs.
    void ReleaseRetained(std::uint64_t durable);

    // Snapshots. Publishes the committed tree as it stands; after an open or
    // a rollback every page-index block is copied anew, after an install only
    // the blocks it changed. False when it could not (no memory, no mapping):
    // snapshots then show the image before, and nothing else changes.
    bool Publish();
    // The space was made anew (a new file): no image is retained any more.
    void ForgetRetained() { retained = RetainedImages(); }
    // Where a snapshot of this pager's tree pins its image: the tree's own
    // registry, or for a tree read beside a writer in another process, the
    // reader table. Null in a snapshot's own pager.
    std::shared_ptr<ImageSource> Source() const {
        if (readerSource) return readerSource;
        return registry;
    }
    // Readers in other processes: the pager reads images that `source`
    // pins (the tree reads beside a writer, or a file no one writes); each
    // AttachImage moves it to the one given. Null: it reads the file again.
    void ReadBeside(std::shared_ptr<ImageSource> source);
    void AttachImage(SnapshotPin pinned);
    // Stops reading the image (the pager is then loaded from the file); the
    // pin goes to the caller, who may attach it again.
    SnapshotPin DetachImage();
    bool ReadsBeside() const { return readerSource != nullptr; }
    // The tree writes for readers in other processes too: images are
    // mirrored into `writer`'s table and the page images its readers pin
    // are kept. `heldFree`: readers of the state before this writer pin it,
    // so all free space stays as it is until they move on.
    void ShareWith(std::unique_ptr<SharedWriter> writer);
    SharedWriter* Shared() const { return sharedWriter.get(); }
    // Readers no longer get this tree's images (`atRest`: its file holds
    // the last one).
    void StopSharing(bool atRest);
    // The sequence of the next image published.
    void StartSequence(std::uint64_t sequence) { nextSequence = sequence; }
    // The image published last.
    const std::shared_ptr<const CommittedImage>& Published() const { return published; }
    std::uint32_t MaxCachedViews() const { return maxCachedViews; }
    // After the free space was rebuilt from the file, the images retained for
    // snapshots leave it again.
    void ReclaimRetained() { retained.Reclaim(space, pageSize); }
    std::uint32_t LiveSnapshots() const { return registry ? registry->Pinned() : 0; }
    // The bytes of page images kept only for live snapshots.
    std::uint64_t SnapshotBytes() const;
    // The tree closes: its file stays open (and locked) while snapshots live.
    void KeepFileForSnapshots();

    // The consistency check: claims the system block and every offset the
    // page index, the shadow locations, the images retained for snapshots and
    // the free space name.
    void ClaimSpace(SpaceClaims& claims) const;
    // Committed page n (below `pages`, the last commit's count) mapped
    // straight from the index on disk and checked, for a copy of the last
    // commit; `mapped`: whether this call mapped the view, which
    // UnmapCommittedPage then releases.
    const PageHeader* MapCommittedPage(std::uint64_t n, std::uint64_t pages, bool& mapped) const;
    void UnmapCommittedPage(std::uint64_t n) const;
    std::uint64_t IndexCapacity() const {
        const std::uint64_t blocks = image ? image->Blocks() : pageIndexBlocks.Size();
        return blocks * PAGE_INDEX_ENTRIES;
    }

private:
    void WriteSystemBlock();
    void CreateRoot();
    std::uint64_t* GetStablePageOffset(std::uint64_t n) const;
    // Page n's offset in the last commit: the unindexed pages and the page
    // index, or a snapshot's image.
    std::uint64_t CommittedOffset(std::uint64_t n) const {
        if (image) return image->Offset(n);
        if (!unindexed.empty()) {
            const PageMap::const_iterator found = unindexed.find(n);
            if (found != unindexed.end()) return found->second;
        }
        return *GetStablePageOffset(n);
    }
    // Takes the locations into the page index (`intoIndex`) or the
    // unindexed pages, with the commit's counts; the images replaced are
    // retained until commit `commit` (`fromUnindexed` for those of unindexed
    // pages) is durable and no snapshot reads them.
    void Apply(const Locations& locations, const TreeCounts& pending, bool freeReplaced,
               bool intoIndex, std::uint64_t commit, std::uint64_t fromUnindexed);

    std::uint64_t GetPageOffset(std::uint64_t n) const;
    std::shared_ptr<const IndexChunk> CopyIndexBlock(std::uint32_t block) const;
    void MarkIndexChanged(std::uint64_t n);
    void PublishImage();
    unsigned char* HoldPageIndexBlock(std::uint64_t block) const;
    void ReleaseHeldPageIndexBlock() const;
    void AddPageIndexBlock();
    PageHeader* LoadPageSlow(std::uint64_t n, ViewCacheEntry*& entry, bool& writable) const;
    PageHeader* MapPage(std::uint64_t n, std::uint64_t offset, ViewCacheEntry*& entry) const;
    const PageHeader* CheckCommittedImage(std::uint64_t n, const PageHeader* page) const;
    // Allocates a shadow location for page n in the open transaction.
    std::uint64_t TakeFreshLocation(std::uint64_t n);
    std::uint64_t AllocatePageSpace();
    std::uint64_t PageEpoch() const;
    void TrimViews() const;
    void ReleaseLeastRecentView() const;
    [[noreturn]] void ThrowInvalid(const std::wstring& what) const;

    FileSpace space;
    const PageLayout& layout;
    std::uint32_t pageSize;
    std::uint32_t maxCachedViews;
    TreeCounts counts{0, 0, 1};
    TreeCounts committedCounts{0, 0, 1};
    FastVector<std::uint64_t> pageIndexBlocks;
    mutable std::uint64_t heldPageIndexBlock = NO_PAGE;
    mutable unsigned char* heldPageIndexView = nullptr;
    PageMap changedPages;
    PageMap unindexed;
    // Page numbers freed in the open transaction; reusable once it commits.
    FastVector<std::uint64_t> freedPages;
    // Reusable page numbers: the unlocated ones below the page count.
    FastVector<std::uint64_t> freePageNumbers;
    mutable ViewCache viewCache;
    mutable PageAddressCache pageAddresses;
    // The units whose images are known sound since the open (shared with the
    // images published, so snapshots check a page only once too).
    std::shared_ptr<CheckedUnits> ownCheckedUnits;
    CheckedUnits* checkedUnits;
    // Advanced when page-index entries are rewritten in place (install).
    std::uint64_t indexEpoch = 0;
    mutable int depth = 0;
    // Counts LoadPageForUpdate calls, so a failure can tell whether it changed
    // anything.
    std::uint64_t pageWrites = 0;

    // The tree's side of snapshots: the registry, the last image published,
    // the page-index blocks changed since (all of them after a reload), and
    // the images kept for older snapshots.
    const std::shared_ptr<SnapshotRegistry> registry;
    std::shared_ptr<const CommittedImage> published;
    std::vector<bool> changedIndexBlocks;
    bool wholeIndexChanged = true;
    std::uint64_t nextSequence = 1;
    RetainedImages retained;
    // For readers in other processes.
    std::unique_ptr<SharedWriter> sharedWriter;
    std::shared_ptr<ImageSource> readerSource;
    // A snapshot's side: its pin and the image it reads.
    std::optional<SnapshotPin> pin;
    const CommittedImage* image = nullptr;
};

// Holds a pager's operation bracket open for its lifetime.
class Bracket {
public:
    explicit Bracket(const Pager& bracketed) : pager(bracketed) { pager.Add(); }
    ~Bracket() { pager.Remove(); }
    Bracket(const Bracket&) = delete;
    Bracket& operator=(const Bracket&) = delete;

private:
    const Pager& pager;
};

}  // namespace TamBTree
