// The two-phase commit. PreCommit writes the committed block and flushes the
// whole file before it marks the block ready; Commit installs it, flushing the
// head of the system block after every step; Rollback reloads the last
// committed state. Every crash leaves the file idle (last commit), ready (the
// block and its page images on disk) or applying (the install is repeated at
// the next open).
#include "BTree.h"
#include "FileFormat.h"

namespace TamBTree {

void BTree::PreCommit() {
    if (readOnly) return;
    ThrowIfTransactionFailed();
    BTreeInfo* info = SystemBlock();
    if (info->commitApplying)
        throw BTreeException(
            L"The B-Tree has an interrupted commit; Rollback finishes installing it.");
    // Nothing changes while a block waits, so the waiting block already holds
    // the whole transaction; after a reopen it is the only record of it.
    if (commitPending && info->commitReady) return;
    if (info->commitReady) {
        // The new block may take the space of the waiting one: the file must
        // not name a block that is being overwritten.
        info->commitReady = 0;
        FlushHead();
        commitPending = false;
    }
    CreateCommittedBlock();
}

void BTree::Commit() {
    ThrowIfReadOnly();
    BTreeInfo* info = SystemBlock();
    if (!info->commitReady) return;
    info->commitApplying = 1;
    FlushHead();
    info->commitReady = 0;
    FlushHead();
    ApplyCommittedBlock(info, true);
    info = SystemBlock();
    info->commitApplying = 0;
    FlushHead();
    info->committedBlockOffset = NO_PAGE;
    FlushHead();
    commitPending = false;
}

void BTree::Rollback() {
    if (readOnly) return;
    if (file.IsOpen()) {
        BTreeInfo* info = SystemBlock();
        // A commit whose install failed was already decided: leave the
        // applying state for the reload to finish.
        if (!info->commitApplying && (info->commitReady || info->committedBlockOffset != NO_PAGE)) {
            info->commitReady = 0;
            FlushHead();
            info->committedBlockOffset = NO_PAGE;
            FlushHead();
        }
    }
    CloseFile();
    Load();
}

void BTree::FinishInterruptedCommit() {
    BTreeInfo* info = SystemBlock();
    ApplyCommittedBlock(info, false);
    info = SystemBlock();
    TakeCommittedCounts(info);
    LoadPageIndexBlock(info);
    info->commitApplying = 0;
    FlushHead();
    info->commitReady = 0;
    FlushHead();
    info->committedBlockOffset = NO_PAGE;
    FlushHead();
}

}  // namespace TamBTree
