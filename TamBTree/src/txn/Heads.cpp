// The heads the transaction stores, the committed blocks they name, and the
// checks that refuse operations in the states that forbid them.
#include <cstring>

#include "Committer.h"
#include "Damage.h"
#include "pager/SpaceClaims.h"

namespace TamBTree {

void Committer::ThrowInvalid(const std::wstring& what) const {
    TamBTree::ThrowInvalid(pager->Space().Path(), what);
}

void Committer::ThrowIfWaiting() const {
    // Changing pages that the waiting block names would corrupt the committed
    // state after a crash.
    if (state.Waiting())
        throw BTreeTransactionWaitingException(WithPath(
            pager->Space().Path(),
            L"The B-Tree has a pre-committed transaction waiting for Commit or Rollback."));
}

void Committer::ThrowIfFailed() const {
    if (state.Failed())
        throw BTreeTransactionFailedException(
            WithPath(pager->Space().Path(),
                     L"The B-Tree has changes of a data operation that failed "
                     L"part way; only Rollback can end the transaction."));
}

void Committer::ThrowIfInterrupted() const {
    if (state.Interrupted())
        throw BTreeTransactionWaitingException(
            WithPath(pager->Space().Path(),
                     L"The B-Tree has an interrupted commit; Rollback finishes installing it."));
}

void Committer::Opened(const BTreeInfo& head) {
    state.Opened(head);
    keptBlocks.clear();
    // What the file holds is durable; commit numbers go on from there.
    headCommit = durableCommit = commits;
    gatheredCommits = 0;
}

BTreeInfo Committer::LastCommitHead() const {
    // While applying, the last commit's counts are the pending ones.
    BTreeInfo head = *pager->Head();
    if (head.commitApplying) {
        head.recordCount = head.pendingRecordCount;
        head.rootPage = head.pendingRootPage;
        head.pageCount = head.pendingPageCount;
    }
    return head;
}

BTreeInfo Committer::NextHead(std::uint64_t block, bool decided, const TreeCounts& counts) const {
    // The head of a new decision: its committed counts are those of the last
    // commit the head names (the data flush made its install durable), its
    // pending counts those of the commit the block makes.
    BTreeInfo head = LastCommitHead();
    head.pendingRecordCount = counts.records;
    head.pendingRootPage = counts.root;
    head.pendingPageCount = counts.pages;
    head.committedBlockOffset = block;
    head.commitReady = decided ? 0 : 1;
    head.commitApplying = decided ? 1 : 0;
    return head;
}

void Committer::StoreHead(const BTreeInfo& head) {
    std::memcpy(pager->Head(), &head, BTREE_INFO_SIZE);
}

void Committer::KeepNamedBlock(const BTreeInfo& head) {
    // After a reopen the waiting block's region lies in the free-block list;
    // once applying, the head names it beyond this call.
    const std::uint64_t offset = head.committedBlockOffset;
    for (const auto& kept : keptBlocks)
        if (kept.first == offset) return;
    std::uint32_t length = 0;
    MapCommittedBlock(head, length);
    pager->Space().File().ReleaseView(offset);
    const std::uint64_t size = CommittedBlockSize(length);
    pager->Space().Claim(size, offset);
    keptBlocks.emplace_back(offset, size);
}

void Committer::ReleaseUnnamedBlocks(std::uint64_t alsoKept) {
    // Called once a head is flushed: it is the only head a crash can find.
    const std::uint64_t named = pager->Head()->committedBlockOffset;
    for (std::size_t i = keptBlocks.size(); i-- > 0;) {
        if (keptBlocks[i].first == named || keptBlocks[i].first == alsoKept) continue;
        pager->Space().Free(keptBlocks[i].second, keptBlocks[i].first);
        keptBlocks.erase(keptBlocks.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void Committer::ValidateSpace() const {
    SpaceClaims claims(pager->Space().Path(), PAGE_SIZE);
    pager->ClaimSpace(claims);
    if (pager->Head()->commitReady) ClaimWaitingBlock(claims);
    for (const auto& kept : keptBlocks) claims.ClaimRange(kept.first, kept.second);
    claims.CheckCovers(pager->Space().Size());
}

}  // namespace TamBTree
