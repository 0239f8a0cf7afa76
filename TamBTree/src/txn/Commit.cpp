// Commit, pre-commit and rollback, scheduled around what a crash may find.
//
// The system may write back any dirty page of the file at any moment and in
// any order; only a flush orders anything. So every state of the memory,
// with any part of it written back, must open as the last tree whose commit
// returned or as the one being committed. The head (BTreeInfo) lies
// in one sector, which the disk writes whole, and is changed only by storing
// a whole new head (StoreHead): a crash finds the old head or the new one.
//
// CommitNow: one data flush (the transaction's pages, its committed block and
// the previous commit's install, which the head still names as applying),
// then the head goes from idle or "applying the previous block" to "applying
// this block" and is flushed. The install then happens in memory only: the
// head already names it, and installing again at the next open gives the
// same index. The next data flush makes it durable; the next head store, or
// ReturnToIdle (destructor, ReadOnly(true), Rollback), leaves the applying
// state.
//
// PreCommit + Commit: the same data flush, then a ready head (the counts of
// the last commit, whose install that flush made durable), then the applying
// head; three flushes.
//
// A committed block stays out of the free-block list until a flushed head no
// longer names it; the page images an install replaces are freed only after
// the head that applies it is flushed, since no state on disk names them
// after that.
#include <cstring>

#include "Committer.h"

namespace TamBTree {

Committer::ScheduledFlush Committer::ms_droppedFlush = Committer::NoFlush;

void Committer::Flush(ScheduledFlush which) {
    if (which != ms_droppedFlush) {
        if (which == ReadyFlush || which == DecisionFlush || which == ApplyingFlush ||
            which == IdleFlush || which == RollbackFlush || which == SyncDecisionFlush)
            pager->FlushHead();
        else
            pager->Space().File().Flush();
    }
    // Whatever head memory holds is on the disk now.
    durableCommit = headCommit;
}

void Committer::CommitNow() {
    ThrowIfFailed();
    ThrowIfInterrupted();
    // A waiting block is the whole transaction: nothing changes while it waits.
    if (state.Waiting()) return Commit();
    switch (durability) {
        case Durability::Full:
            NameTransaction(true);
            Install(true);
            break;
        case Durability::Normal:
            CommitNormal();
            break;
        case Durability::Deferred:
            CommitDeferred();
            break;
    }
    pager->ReleaseRetained(durableCommit);
}

void Committer::PreCommit() {
    ThrowIfFailed();
    ThrowIfInterrupted();
    if (state.Waiting()) return;
    // The ready head names the last commit: it must be durable, and indexed.
    Sync();
    NameTransaction(false);
}

void Committer::NameTransaction(bool decided) {
    const std::uint64_t block = WriteCommittedBlock();
    // The transaction's page images and its block, and the install of the
    // previous commit, reach the disk while the head on disk still names the
    // previous state.
    Flush(DataFlush);
    pager->ClearViews();
    pager->Space().File().ReleaseView(block);
    state.Named(decided);
    if (decided) headCommit = ++commits;
    StoreHead(NextHead(block, decided, pager->Counts()));
    Flush(decided ? DecisionFlush : ReadyFlush);
    ReleaseUnnamedBlocks();
}

// Normal: the one flush of a commit makes the last commit's head durable
// with this commit's pages and block. Only then may the page index take the
// last commit (a crash may find its head alone); this commit stays unindexed,
// and its block names the last one's changes too, since the index on disk
// may hold them only in part when a crash finds the new head.
void Committer::CommitNormal() {
    const std::uint64_t block = WriteCommittedBlock();
    Flush(NormalFlush);
    pager->ClearViews();
    pager->Space().File().ReleaseView(block);
    pager->InstallUnindexed();
    ReleaseUnnamedBlocks(block);
    state.Named(true);
    headCommit = ++commits;
    StoreHead(NextHead(block, true, pager->Counts()));
    pager->CommitUnindexed(commits, commits);
    state.InstallDone();
}

// Deferred: the commit is made in memory only; no head names it until Sync.
// Images that the durable state never named are free again at once.
void Committer::CommitDeferred() {
    pager->CommitUnindexed(++commits, 0);
    ++gatheredCommits;
    // What a sync will write: each page changed since the last one, once.
    const std::uint64_t gatheredBytes = pager->UnindexedPages().size() * PAGE_SIZE;
    if (gatheredCommits >= syncEvery || gatheredBytes >= syncBytes) Sync();
}

void Committer::SetDurability(Durability mode, std::uint32_t commitsPerSync,
                              std::uint64_t bytesPerSync) {
    Sync();
    durability = mode;
    syncEvery = commitsPerSync == 0 ? 1 : commitsPerSync;
    syncBytes = bytesPerSync;
}

void Committer::Sync() {
    if (durability == Durability::Normal) SettleNormal();
    if (durability == Durability::Deferred) SyncDeferred();
    pager->ReleaseRetained(durableCommit);
}

// Normal: the head of the last commit is made durable and the page index
// takes the commit.
void Committer::SettleNormal() {
    if (durableCommit == headCommit && pager->UnindexedPages().empty()) return;
    Flush(SettleFlush);
    pager->InstallUnindexed();
    ReleaseUnnamedBlocks();
}

// Deferred: the commits since the last sync become one committed block,
// decided as CommitNow decides one under Full; the transaction under way, if
// any, stays as it is.
void Committer::SyncDeferred() {
    gatheredCommits = 0;
    if (commits == headCommit) return;
    const std::uint64_t block = WriteCommittedBlock(false);
    Flush(SyncDataFlush);
    pager->ClearViews();
    pager->Space().File().ReleaseView(block);
    state.Named(true);
    headCommit = commits;
    StoreHead(NextHead(block, true, pager->CommittedCounts()));
    Flush(SyncDecisionFlush);
    ReleaseUnnamedBlocks();
    pager->InstallUnindexed();
    state.InstallDone();
}

void Committer::Commit() {
    BTreeInfo head = *pager->Head();
    if (!head.commitReady) return;
    KeepNamedBlock(head);
    head.commitReady = 0;
    head.commitApplying = 1;
    state.Decided();
    headCommit = ++commits;
    StoreHead(head);
    Flush(ApplyingFlush);
    ReleaseUnnamedBlocks();
    Install(true);
    pager->ReleaseRetained(durableCommit);
}

void Committer::Install(bool freeReplaced) {
    ApplyCommittedBlock(*pager->Head(), freeReplaced);
    state.InstallDone();
}

void Committer::ReturnToIdle() {
    Sync();
    if (!state.IdleOwed()) return;
    Flush(IdleDataFlush);  // the install reaches the disk before the head stops naming it
    BTreeInfo head = LastCommitHead();
    head.committedBlockOffset = NO_PAGE;
    head.commitReady = 0;
    head.commitApplying = 0;
    state.HeadIdle();
    StoreHead(head);
    Flush(IdleFlush);
    ReleaseUnnamedBlocks();
}

void Committer::DropUncommitted() {
    // The commits that returned stay: only the transaction is dropped.
    Sync();
    BTreeInfo head = *pager->Head();
    if (state.IdleOwed()) {
        ReturnToIdle();
    } else if (!head.commitApplying && (head.commitReady || head.committedBlockOffset != NO_PAGE)) {
        // The ready head holds the counts of the last commit, whose install
        // is durable: dropping the block leaves exactly that tree.
        head.commitReady = 0;
        head.committedBlockOffset = NO_PAGE;
        state.HeadIdle();
        StoreHead(head);
        Flush(RollbackFlush);
    }
    // A commit whose install failed was already decided: the applying state
    // stays for the reload to finish.
}

void Committer::FinishInterruptedCommit() {
    const BTreeInfo installed = LastCommitHead();
    ApplyCommittedBlock(*pager->Head(), false);
    pager->LoadPageIndex(installed);
    state.InstallDone();
    ReturnToIdle();
}

}  // namespace TamBTree
