// The transaction over the pager: commit in one phase (CommitNow) or two
// (PreCommit, Commit), the drop of a waiting block (Rollback), the return of
// the head to idle, and the install of a commit that a crash interrupted.
// docs/durability.md gives the schedule of flushes that Commit.cpp follows.
//
// Invariants: the state (TxnState) agrees with the head on disk; a committed
// block stays out of the free space while a head that a crash may find names
// it (keptBlocks); the page images an install replaces are freed only after
// a head naming that commit or a later one is flushed; the page index on disk
// only ever holds commits that a durable head names (Normal and Deferred keep
// the others unindexed until then).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "Below.h"
#include "FileFormat.h"
#include "TamMem.h"
#include "TxnState.h"
#include "pager/Pager.h"

namespace TamBTree {

class SpaceClaims;

class Committer {
public:
    // The flushes of the schedule, one name each: crash tests drop one of
    // them (ms_droppedFlush) to show that each is needed.
    enum ScheduledFlush {
        DataFlush,          // CommitNow, PreCommit: pages, block, previous install
        DecisionFlush,      // CommitNow: the head applying the new block
        ReadyFlush,         // PreCommit: the ready head
        ApplyingFlush,      // Commit: the applying head
        IdleDataFlush,      // ReturnToIdle: the install
        IdleFlush,          // ReturnToIdle: the idle head
        RollbackFlush,      // Rollback: the head that drops a ready block
        NormalFlush,        // CommitNow, Normal: pages, block, the last commit's head
        SettleFlush,        // Normal, before a head store or at rest: the last head
        SyncDataFlush,      // Sync, Deferred: pages and the block of the commits since
        SyncDecisionFlush,  // Sync, Deferred: the head applying that block
        NoFlush
    };
    static ScheduledFlush ms_droppedFlush;

    explicit Committer(Pager& transacted) : pager(transacted) {}
    Committer(const Committer&) = delete;
    Committer& operator=(const Committer&) = delete;

    void CommitNow();
    void PreCommit();
    void Commit();
    // The commit schedule: Full, one flush per commit (Normal), or none until
    // Sync (Deferred, which syncs by itself after `syncEvery` commits or
    // `syncBytes` of changed pages). Syncs before it changes.
    void SetDurability(Durability mode, std::uint32_t syncEvery, std::uint64_t syncBytes);
    Durability GetDurability() const { return durability; }
    // Makes every commit durable.
    void Sync();
    // Drops what the head names that the reload which follows would not
    // install; the caller reloads the file.
    void DropUncommitted();
    // Makes the last commit's install durable and stores an idle head.
    void ReturnToIdle();

    // Opening: forgets the kept blocks and takes the head's state; then one of
    // the two below when the head names a block.
    void Opened(const BTreeInfo& head);
    void FinishInterruptedCommit();
    // Keeps a waiting block's pages out of the free space.
    void ReserveWaitingBlock();
    // A read-only open of a file left applying: the state recovery would
    // give, read into memory without writing anything.
    void ReadInterruptedCommit();
    // The region of a waiting block that an open left in the free space
    // (Commit takes it out); false when there is none.
    bool FreeWaitingBlock(std::uint64_t& offset, std::uint64_t& size);

    const TxnState& State() const { return state; }
    void Fail() { state.Fail(); }
    void ThrowIfWaiting() const;
    void ThrowIfFailed() const;
    void ThrowIfInterrupted() const;
    // The head of the last commit, with its counts where it names them.
    BTreeInfo LastCommitHead() const;
    // The consistency check of the file's space: every page-sized unit is
    // claimed by exactly one structure or free.
    void ValidateSpace() const;

private:
    void Flush(ScheduledFlush which);
    // Writes the transaction's block and stores the head that names it:
    // applying when the commit is decided (one phase), else ready.
    void NameTransaction(bool decided);
    void CommitNormal();
    void CommitDeferred();
    void SettleNormal();
    void SyncDeferred();
    // Writes a committed block naming the unindexed commits and, with
    // `withTransaction`, the transaction's changes over them.
    std::uint64_t WriteCommittedBlock(bool withTransaction = true);
    BTreeInfo NextHead(std::uint64_t block, bool decided, const TreeCounts& pending) const;
    void StoreHead(const BTreeInfo& head);
    void KeepNamedBlock(const BTreeInfo& head);
    // Called once a head is flushed; keeps the block it names and `alsoKept`
    // (a block written, not yet named).
    void ReleaseUnnamedBlocks(std::uint64_t alsoKept = NO_PAGE);
    void Install(bool freeReplaced);
    void ApplyCommittedBlock(const BTreeInfo& head, bool freeReplaced);
    unsigned char* MapCommittedBlock(const BTreeInfo& head, std::uint32_t& length) const;
    Pager::Locations CommittedLocations(const BTreeInfo& head);
    void ClaimWaitingBlock(SpaceClaims& claims) const;
    // Hands `visit` the page number and image offset of every page the
    // waiting block names a new image for, then releases the block's view.
    template <class Visit>
    void ForEachWaitingImage(Visit visit) const;
    [[noreturn]] void ThrowInvalid(const std::wstring& what) const;

    Below<Pager> pager;
    TxnState state;
    Durability durability = Durability::Full;
    std::uint32_t syncEvery = DEFAULT_SYNC_EVERY;
    std::uint64_t syncBytes = DEFAULT_SYNC_BYTES;
    // Deferred: the commits since the last sync.
    std::uint32_t gatheredCommits = 0;
    // Commits are numbered from the open on: the last one made, the last one
    // the head in memory names, and the last one a durable head names.
    // Images a commit replaced are reused only once it is durable.
    std::uint64_t commits = 0;
    std::uint64_t headCommit = 0;
    std::uint64_t durableCommit = 0;
    // Committed blocks kept out of the free-block list (offset, size): the
    // one the head names and those a head that may still be on disk names.
    std::vector<std::pair<std::uint64_t, std::uint64_t>,
                TamMem::PoolAllocator<std::pair<std::uint64_t, std::uint64_t>>>
        keptBlocks;
};

}  // namespace TamBTree
