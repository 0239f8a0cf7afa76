// What the transaction and the checks need of the page index beyond single
// pages: installing a committed block's locations, claiming the space the
// index names, and reading the last commit's pages for a copy of it.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <unordered_set>

#include "Damage.h"
#include "PageLayout.h"
#include "Pager.h"
#include "SpaceClaims.h"
#include "readers/SharedWriter.h"

namespace TamBTree {

namespace {
using PageSet =
    std::unordered_set<std::uint64_t, std::hash<std::uint64_t>, std::equal_to<std::uint64_t>,
                       TamMem::PoolAllocator<std::uint64_t>>;
}  // namespace

void Pager::Install(const Locations& locations, const TreeCounts& pending, bool freeReplaced,
                    std::uint64_t commit) {
    // Only a page index without unindexed commits takes a block whole.
    assert(unindexed.empty());
    Apply(locations, pending, freeReplaced, true, commit, commit);
}

void Pager::CommitUnindexed(std::uint64_t commit, std::uint64_t fromUnindexed) {
    Locations locations;
    for (const auto& changed : changedPages) locations.emplace(changed.first, changed.second);
    for (const std::uint64_t freed : freedPages) locations.emplace(freed, NO_PAGE);
    Apply(locations, counts, true, false, commit, fromUnindexed);
}

void Pager::InstallUnindexed() {
    for (const auto& entry : unindexed) {
        *GetStablePageOffset(entry.first) = entry.second;
        MarkIndexChanged(entry.first);
    }
    unindexed.clear();
}

void Pager::Apply(const Locations& locations, const TreeCounts& pending, bool freeReplaced,
                  bool intoIndex, std::uint64_t commit, std::uint64_t fromUnindexed) {
    const std::uint64_t limit = IndexCapacity();
    // The page-number lists are updated in one pass each: a commit of many
    // pages must not search them once per page.
    PageSet located;
    PageSet freed;
    FastVector<std::uint64_t> freedInOrder;
    // Replaced images wait for the heads and snapshots that may read them.
    std::vector<std::uint64_t> replacedIndexed;
    std::vector<std::uint64_t> replacedUnindexed;
    for (const auto& entry : locations) {
        const std::uint64_t page = entry.first;
        const std::uint64_t offset = entry.second;
        if (page >= limit) ThrowInvalid(L"the committed block names a page beyond the page index");
        const PageMap::const_iterator wasUnindexed = unindexed.find(page);
        const bool fromUnindexedPage = wasUnindexed != unindexed.end();
        std::uint64_t* stable = GetStablePageOffset(page);
        const std::uint64_t old = fromUnindexedPage ? wasUnindexed->second : *stable;
        if (freeReplaced && old != NO_PAGE)
            (fromUnindexedPage ? replacedUnindexed : replacedIndexed).push_back(old);
        if (intoIndex)
            *stable = offset;
        else
            unindexed.Set(page, offset);
        MarkIndexChanged(page);
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
    freePageNumbers.RemoveIf(
        [&](std::uint64_t x) { return x >= pending.pages || located.count(x); });
    PageSet reusable(freePageNumbers.begin(), freePageNumbers.end());
    for (const std::uint64_t page : freedInOrder)
        if (page < pending.pages && reusable.insert(page).second) freePageNumbers.Append(page);
    freedPages.RemoveIf([&](std::uint64_t x) { return freed.count(x) != 0; });
    counts = pending;
    committedCounts = pending;
    // The images replaced are named by the images published before this
    // commit's (by every image so far when it could not be published).
    const std::uint64_t replacedBy = Publish() ? nextSequence - 1 : nextSequence;
    retained.Retain(replacedBy, commit, std::move(replacedIndexed));
    retained.Retain(replacedBy, fromUnindexed, std::move(replacedUnindexed));
}

void Pager::ReleaseRetained(std::uint64_t durable) {
    std::uint64_t oldest = registry ? registry->OldestPinned() : SnapshotRegistry::NONE_PINNED;
    if (sharedWriter) oldest = std::min(oldest, sharedWriter->OldestPinned());
    retained.Release(oldest, durable, space, pageSize);
    if (sharedWriter)
        sharedWriter->ReportHeld(
            [this](std::uint64_t pinned) { return retained.HeldBytes(pinned, pageSize); });
}

void Pager::ClaimSpace(SpaceClaims& claims) const {
    const std::uint64_t g = space.Granule();
    const std::uint64_t fileSize = space.Size();
    claims.ClaimRange(0, g);
    const BTreeInfo* info = Head();
    const std::uint32_t blocks = info->pageIndexBlockCount;
    if (blocks == 0 || blocks > MAX_PAGE_INDEX_BLOCKS) ThrowInvalid(L"bad page-index block count");
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint64_t offset = info->Blocks()[b];
        if (!GranuleInFile(offset, fileSize)) claims.Throw(L"The B-Tree is invalid. unused block");
        claims.ClaimRange(offset, g);
        const std::uint64_t first = static_cast<std::uint64_t>(b) * PAGE_INDEX_ENTRIES;
        if (first >= counts.pages) continue;
        const bool held = offset == heldPageIndexBlock;
        const std::uint64_t* entries = reinterpret_cast<const std::uint64_t*>(space.View(offset));
        // An unindexed page's image in the index is retained (claimed below).
        for (std::uint32_t k = 0; k < PAGE_INDEX_ENTRIES && first + k < counts.pages; ++k)
            if (entries[k] != NO_PAGE && unindexed.find(first + k) == unindexed.end())
                claims.Claim(entries[k]);
        if (!held) space.ReleaseView(offset);
    }
    for (const auto& changed : changedPages) claims.Claim(changed.second);
    for (const auto& entry : unindexed)
        if (entry.second != NO_PAGE) claims.Claim(entry.second);
    retained.ForEach(
        [&](std::uint64_t offset) { claims.Claim(offset); },
        [&](std::uint64_t offset, std::uint64_t size) { claims.ClaimRange(offset, size); });
    for (const auto& block : space.FreeList().BlocksByOffset())
        claims.ClaimRange(block.first, block.second);
}

void Pager::MarkIndexChanged(std::uint64_t n) {
    const std::size_t block = static_cast<std::size_t>(n / PAGE_INDEX_ENTRIES);
    if (changedIndexBlocks.size() <= block) changedIndexBlocks.resize(block + 1, false);
    changedIndexBlocks[block] = true;
}

std::shared_ptr<const IndexChunk> Pager::CopyIndexBlock(std::uint32_t block) const {
    auto chunk = std::make_shared<IndexChunk>();
    std::memcpy(chunk->entries, HoldPageIndexBlock(block), sizeof chunk->entries);
    // Commits the index does not hold yet are part of what snapshots see.
    const std::uint64_t first = std::uint64_t{block} * PAGE_INDEX_ENTRIES;
    for (auto it = unindexed.lower_bound(first);
         it != unindexed.end() && it->first < first + PAGE_INDEX_ENTRIES; ++it)
        chunk->entries[it->first - first] = it->second;
    return chunk;
}

bool Pager::Publish() {
    if (!registry) return false;
    try {
        PublishImage();
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const TamFile::FileException&) {
    }
    // Snapshots taken meanwhile show the image before; the next publish
    // copies the whole index.
    wholeIndexChanged = true;
    return false;
}

void Pager::PublishImage() {
    const std::uint64_t blocks = (counts.pages + PAGE_INDEX_ENTRIES - 1) / PAGE_INDEX_ENTRIES;
    CommittedImage::Chunks index;
    index.reserve(static_cast<std::size_t>(blocks));
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const bool copy = wholeIndexChanged || !published || b >= published->Index().size() ||
                          (b < changedIndexBlocks.size() && changedIndexBlocks[b]);
        index.push_back(copy ? CopyIndexBlock(b) : published->Index()[b]);
    }
    published = std::make_shared<const CommittedImage>(counts, nextSequence, std::move(index),
                                                       space.File().Share(), ownCheckedUnits);
    ++nextSequence;
    registry->Publish(published);
    if (sharedWriter) sharedWriter->Publish(*published);
    changedIndexBlocks.assign(changedIndexBlocks.size(), false);
    wholeIndexChanged = false;
}

std::uint64_t Pager::SnapshotBytes() const {
    return registry ? retained.HeldBytes(registry->OldestPinned(), pageSize) : 0;
}

void Pager::KeepFileForSnapshots() {
    if (LiveSnapshots() != 0) space.File().KeepLockWhileShared();
}

const PageHeader* Pager::MapCommittedPage(std::uint64_t n, std::uint64_t pages,
                                          bool& mapped) const {
    if (n >= pages) ThrowInvalid(L"page number " + std::to_wstring(n) + L" was never handed out");
    const std::uint64_t offset = CommittedOffset(n);
    if (offset == NO_PAGE) ThrowInvalid(L"page " + std::to_wstring(n) + L" has no location");
    mapped = !viewCache.Contains(GranuleBase(offset));
    ViewCache::Entry* entry;
    const PageHeader* page = MapPage(n, offset, entry);
    if (page->pageNumber != n)
        ThrowInvalid(L"page " + std::to_wstring(n) + L" holds page number " +
                     std::to_wstring(page->pageNumber));
    layout.CheckPage(page);
    layout.CheckEntries(page);
    return page;
}

void Pager::UnmapCommittedPage(std::uint64_t n) const {
    const std::uint64_t base = GranuleBase(CommittedOffset(n));
    unsigned char* address = nullptr;
    if (viewCache.EraseView(base, address) && space.HasView(base)) space.ReleaseView(base);
}

}  // namespace TamBTree
