// Writing, reading and installing the committed block, the durable record of
// one transaction (drawn in FileFormat.h).
#include "Committer.h"
#include "Damage.h"
#include "pager/SpaceClaims.h"

namespace TamBTree {

std::uint64_t Committer::WriteCommittedBlock(bool withTransaction) {
    FileSpace& space = pager->Space();
    const std::uint64_t g = space.Granule();
    // The unindexed commits first, the transaction's changes over them: each
    // page once, with its newest location.
    Pager::Locations merged;
    for (const auto& entry : pager->UnindexedPages()) merged[entry.first] = entry.second;
    if (withTransaction) {
        for (const std::uint64_t freed : pager->FreedPages()) merged[freed] = NO_PAGE;
        for (const auto& changed : pager->ChangedPages()) merged[changed.first] = changed.second;
    }
    const std::uint64_t n = merged.size();
    if (n > MAX_COMMITTED_ENTRIES)
        ThrowMessage<BTreeException>(MsgFileSizeLimit, __LINE__, pager->Space().Path());
    const std::uint64_t length = CommittedBlockLength(n);
    const std::uint64_t regionSize = length + 2 * g - length % g;
    std::uint64_t region = 0;
    while (!space.TakeRegion(regionSize, region)) pager->Grow();
    // The block starts at the first granule boundary strictly above the
    // region; the slack on both sides goes back at once.
    const std::uint64_t start = region + (g - region % g);
    space.Free(start - region, region);
    if (region % g != 0) {
        const std::uint64_t tail = (region + regionSize) % g;
        space.Free(tail, region + regionSize - tail);
    }
    // The block itself stays out of the free-block list while a head that a
    // crash may find names it (ReleaseUnnamedBlocks).
    const std::uint64_t blockSize = regionSize - g;
    keptBlocks.emplace_back(start, blockSize);
    pager->DropViews(start, blockSize);
    unsigned char* block = space.File().GetView(start, static_cast<std::uint32_t>(blockSize));
    WriteCommittedLength(block, static_cast<std::uint32_t>(length));
    std::uint64_t i = 0;
    for (const auto& entry : merged) WriteCommittedEntry(block, i++, entry.first, entry.second);
    return start;
}

unsigned char* Committer::MapCommittedBlock(const BTreeInfo& head, std::uint32_t& length) const {
    const FileSpace& space = pager->Space();
    const std::uint64_t g = pager->Space().Granule();
    const std::uint64_t offset = head.committedBlockOffset;
    const std::uint64_t size = space.Size();
    if (offset == NO_PAGE || !GranuleInFile(offset, size))
        ThrowInvalid(L"the committed block lies outside the file");
    unsigned char* block = space.View(offset);
    length = ReadCommittedLength(block);
    if (length < COMMITTED_LENGTH_SIZE) ThrowInvalid(L"the committed block is too short");
    if (static_cast<std::uint64_t>(length) + COMMITTED_LENGTH_SIZE > g) {
        const std::uint64_t viewSize =
            ((static_cast<std::uint64_t>(length) + COMMITTED_LENGTH_SIZE - 1) / g + 1) * g;
        if (!InsideFile(offset, viewSize, size))
            ThrowInvalid(L"the committed block reaches beyond the file");
        space.ReleaseView(offset);
        block = space.View(offset, static_cast<std::uint32_t>(viewSize));
    }
    return block;
}

Pager::Locations Committer::CommittedLocations(const BTreeInfo& head) {
    std::uint32_t length = 0;
    const unsigned char* block = MapCommittedBlock(head, length);
    const std::uint64_t n = CommittedEntryCount(length);
    // A page number listed twice keeps its first entry.
    Pager::Locations locations;
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t page;
        std::uint64_t offset;
        ReadCommittedEntry(block, i, page, offset);
        locations.emplace(page, offset);
    }
    pager->Space().File().ReleaseView(head.committedBlockOffset);
    return locations;
}

void Committer::ApplyCommittedBlock(const BTreeInfo& head, bool freeReplaced) {
    const Pager::Locations locations = CommittedLocations(head);
    // The head is not touched: it names this install as applying, and the
    // rewritten index entries reach the disk with the next data flush.
    pager->Install(locations,
                   TreeCounts{head.pendingRecordCount, head.pendingRootPage, head.pendingPageCount},
                   freeReplaced, headCommit);
}

void Committer::ReadInterruptedCommit() {
    // The index on disk may hold part of the block: its entries hold either
    // value, and the block's locations over it give the commit whole.
    const BTreeInfo head = *pager->Head();
    pager->LoadPageIndex(head);
    pager->InstallInMemory(
        CommittedLocations(head),
        TreeCounts{head.pendingRecordCount, head.pendingRootPage, head.pendingPageCount});
}

template <class Visit>
void Committer::ForEachWaitingImage(Visit visit) const {
    const BTreeInfo& head = *pager->Head();
    std::uint32_t length = 0;
    const unsigned char* block = MapCommittedBlock(head, length);
    const std::uint64_t n = CommittedEntryCount(length);
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t page;
        std::uint64_t offset;
        ReadCommittedEntry(block, i, page, offset);
        if (offset != NO_PAGE) visit(page, offset);
    }
    pager->Space().ReleaseView(head.committedBlockOffset);
}

void Committer::ReserveWaitingBlock() {
    FileSpace& space = pager->Space();
    const std::uint64_t size = space.Size();
    ForEachWaitingImage([&](std::uint64_t, std::uint64_t offset) {
        if (!AlignedBlockInFile(offset, PAGE_SIZE, size))
            ThrowInvalid(L"the committed block names a page outside the file");
        space.Claim(PAGE_SIZE, offset);
    });
}

bool Committer::FreeWaitingBlock(std::uint64_t& offset, std::uint64_t& size) {
    const BTreeInfo& head = *pager->Head();
    if (!head.commitReady || head.commitApplying) return false;
    offset = head.committedBlockOffset;
    for (const auto& kept : keptBlocks)
        if (kept.first == offset) return false;
    std::uint32_t length = 0;
    MapCommittedBlock(head, length);
    pager->Space().File().ReleaseView(offset);
    size = CommittedBlockSize(length);
    return true;
}

void Committer::ClaimWaitingBlock(SpaceClaims& claims) const {
    // The open reserved the page images of a waiting block; after a PreCommit
    // in this session the changed-page map names them already.
    const PageMap& changedPages = pager->ChangedPages();
    ForEachWaitingImage([&](std::uint64_t page, std::uint64_t offset) {
        PageMap::const_iterator changed = changedPages.find(page);
        if (changed == changedPages.end() || changed->second != offset) claims.Claim(offset);
    });
}

}  // namespace TamBTree
