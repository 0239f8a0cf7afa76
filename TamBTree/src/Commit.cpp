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

#include "FileFormat.h"
#include "TreeCore.h"

namespace TamBTree {

TreeCore::ScheduledFlush TreeCore::ms_droppedFlush = TreeCore::NoFlush;

void TreeCore::Flush(ScheduledFlush which) const {
    if (which == ms_droppedFlush) return;
    if (which == DataFlush || which == IdleDataFlush)
        file.Flush();
    else
        FlushHead();
}

void TreeCore::WriteAndName(bool decided) {
    const std::uint64_t block = WriteCommittedBlock();
    BTreeInfo head = NextHead();
    head.committedBlockOffset = block;
    head.commitReady = decided ? 0 : 1;
    head.commitApplying = decided ? 1 : 0;
    commitPending = true;
    StoreHead(head);
    Flush(decided ? DecisionFlush : ReadyFlush);
    ReleaseUnnamedBlocks();
}

void TreeCore::CommitNow() {
    ThrowIfReadOnly();
    ThrowIfTransactionFailed();
    ThrowIfInterrupted();
    // A waiting block is the whole transaction: nothing changes while it waits.
    if (commitPending) return Commit();
    WriteAndName(true);
    Install(true);
}

void TreeCore::PreCommit() {
    if (readOnly) return;
    ThrowIfTransactionFailed();
    ThrowIfInterrupted();
    if (commitPending) return;
    WriteAndName(false);
}

void TreeCore::Commit() {
    ThrowIfReadOnly();
    BTreeInfo head = *SystemBlock();
    if (!head.commitReady) return;
    KeepNamedBlock(head);
    head.commitReady = 0;
    head.commitApplying = 1;
    StoreHead(head);
    Flush(ApplyingFlush);
    ReleaseUnnamedBlocks();
    Install(true);
}

void TreeCore::Rollback() {
    if (readOnly) return;
    if (file.IsOpen()) {
        BTreeInfo head = *SystemBlock();
        if (idleOwed) {
            ReturnToIdle();
        } else if (!head.commitApplying &&
                   (head.commitReady || head.committedBlockOffset != NO_PAGE)) {
            // The ready head holds the counts of the last commit, whose install
            // is durable: dropping the block leaves exactly that tree.
            head.commitReady = 0;
            head.committedBlockOffset = NO_PAGE;
            StoreHead(head);
            Flush(RollbackFlush);
        }
        // A commit whose install failed was already decided: the applying
        // state stays for the reload to finish.
    }
    CloseFile();
    Load();
}

void TreeCore::ThrowIfInterrupted() const {
    if (SystemBlock()->commitApplying && !idleOwed)
        throw BTreeTransactionWaitingException(
            WithPath(L"The B-Tree has an interrupted commit; Rollback finishes installing it."));
}

void TreeCore::FlushTransaction() {
    // The data flush: the transaction's page images and its block, and the
    // install of the previous commit, reach the disk while the head on disk
    // still names the previous state.
    Flush(DataFlush);
    ClearViews();
}

BTreeInfo TreeCore::LastCommitHead() const {
    // While applying, the last commit's counts are the pending ones.
    BTreeInfo head = *SystemBlock();
    if (head.commitApplying) {
        head.recordCount = head.pendingRecordCount;
        head.rootPage = head.pendingRootPage;
        head.pageCount = head.pendingPageCount;
    }
    return head;
}

BTreeInfo TreeCore::NextHead() const {
    // The head of a new decision: its committed counts are those of the last
    // commit (the data flush made that commit's install durable), its pending
    // counts are the transaction's.
    BTreeInfo head = LastCommitHead();
    head.pendingRecordCount = recordCount;
    head.pendingRootPage = rootPage;
    head.pendingPageCount = pageCount;
    return head;
}

void TreeCore::StoreHead(const BTreeInfo& head) {
    std::memcpy(SystemBlock(), &head, BTREE_INFO_SIZE);
    idleOwed = false;
}

void TreeCore::KeepNamedBlock(const BTreeInfo& head) {
    // After a reopen the waiting block's region lies in the free-block list;
    // once applying, the head names it beyond this call.
    const std::uint64_t offset = head.committedBlockOffset;
    for (const auto& kept : keptBlocks)
        if (kept.first == offset) return;
    std::uint32_t length = 0;
    MapCommittedBlock(&head, length);
    file.ReleaseView(offset);
    const std::uint64_t size = CommittedBlockSize(length);
    ClaimBlock(size, offset);
    keptBlocks.emplace_back(offset, size);
}

void TreeCore::ReleaseUnnamedBlocks() {
    // Called once a head is flushed: it is the only head a crash can find.
    const std::uint64_t named = SystemBlock()->committedBlockOffset;
    for (std::size_t i = keptBlocks.size(); i-- > 0;) {
        if (keptBlocks[i].first == named) continue;
        freeList.FreeBlock(keptBlocks[i].second, keptBlocks[i].first);
        keptBlocks.erase(keptBlocks.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void TreeCore::Install(bool freeReplaced) {
    ApplyCommittedBlock(SystemBlock(), freeReplaced);
    commitPending = false;
    idleOwed = true;
}

void TreeCore::ReturnToIdle() {
    if (!idleOwed) return;
    Flush(IdleDataFlush);  // the install reaches the disk before the head stops naming it
    BTreeInfo head = LastCommitHead();
    head.committedBlockOffset = NO_PAGE;
    head.commitReady = 0;
    head.commitApplying = 0;
    StoreHead(head);
    Flush(IdleFlush);
    ReleaseUnnamedBlocks();
}

void TreeCore::FinishInterruptedCommit() {
    const BTreeInfo installed = LastCommitHead();
    ApplyCommittedBlock(SystemBlock(), false);
    TakeCommittedCounts(&installed);
    LoadPageIndexBlock(&installed);
    idleOwed = true;
    ReturnToIdle();
}

}  // namespace TamBTree
