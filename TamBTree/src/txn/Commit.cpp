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
    if (which == ms_droppedFlush) return;
    if (which == DataFlush || which == IdleDataFlush)
        pager->Space().File().Flush();
    else
        pager->FlushHead();
}

void Committer::CommitNow() {
    ThrowIfFailed();
    ThrowIfInterrupted();
    // A waiting block is the whole transaction: nothing changes while it waits.
    if (state.Waiting()) return Commit();
    NameTransaction(true);
    Install(true);
}

void Committer::PreCommit() {
    ThrowIfFailed();
    ThrowIfInterrupted();
    if (state.Waiting()) return;
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
    StoreHead(NextHead(block, decided));
    Flush(decided ? DecisionFlush : ReadyFlush);
    ReleaseUnnamedBlocks();
}

void Committer::Commit() {
    BTreeInfo head = *pager->Head();
    if (!head.commitReady) return;
    KeepNamedBlock(head);
    head.commitReady = 0;
    head.commitApplying = 1;
    state.Decided();
    StoreHead(head);
    Flush(ApplyingFlush);
    ReleaseUnnamedBlocks();
    Install(true);
}

void Committer::Install(bool freeReplaced) {
    ApplyCommittedBlock(*pager->Head(), freeReplaced);
    state.InstallDone();
}

void Committer::ReturnToIdle() {
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
