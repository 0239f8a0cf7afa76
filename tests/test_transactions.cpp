// Two-phase commit, rollback, the committed block, recovery at open and the
// read-only mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "FileFormat.h"
#include "TreeChecks.h"
#include "TreeFileBytes.h"

using namespace TamBTreeTest;
using TamBTree::BTreeInfo;

namespace {

// Each change (Put, Erase by key and at an iterator, Update) is refused with
// E, and the records stay as they were.
template <class E>
void ExpectChangesRefused(TestTree& tree) {
    const auto before = tree.Contents();
    const std::string key = before.empty() ? "k" : before[0].first;
    const BTreeIterator first = tree.Begin();
    bool nextValid = true;
    BTreeIterator next = first;
    EXPECT_THROW(tree.Put("new key", "v"), E);
    EXPECT_THROW(tree.Erase(TestTree::MakeKey(key)), E);
    EXPECT_THROW(tree.Erase(first, nextValid, next), E);
    EXPECT_THROW(tree.Update(first, TestTree::Make(key, "x")), E);
    EXPECT_FALSE(nextValid);
    EXPECT_TRUE(next.IsEnd());
    EXPECT_EQ(tree.Contents(), before);
}

// A file whose last commit holds `committed` and whose pre-committed block
// brings `next`; the tree is destroyed in the ready state. On the way, Rollback
// drops changes to the empty tree, and after a commit changes without and
// with a pre-commit, leaving the head idle each time.
void MakeReadyFile(const std::string& path, unsigned seed, UniqueModel& committed,
                   UniqueModel& next) {
    std::mt19937 rng = SeededRng(seed);
    TestTree tree(path);
    for (int round = 0; round < 3; ++round) {
        UniqueModel dropped = committed;
        Mutate(&tree, dropped, rng, 400);
        if (round == 2) tree.PreCommit();
        tree.Rollback();
        ASSERT_EQ(tree.Difference(committed), "") << "round " << round;
        EXPECT_TRUE(TreeFileBytes(path).IdleHead());
        EXPECT_NO_THROW(tree.ValidateTree());
        if (round > 0) continue;
        Mutate(&tree, committed, rng, 600);
        tree.CommitNow();
    }
    next = committed;
    Mutate(&tree, next, rng, 400);
    tree.PreCommit();
    tree.PreCommit();  // a repeated PreCommit keeps the waiting block
    ASSERT_EQ(TreeFileBytes(path).Head().commitReady, 1);
}

}  // namespace

using Transactions = TreeFileTest;

// The waiting block is the transaction: readers see the last commit and change
// nothing; after a reopen a repeated PreCommit keeps the block, Commit
// installs it, Rollback and Clear drop it. A Rollback after a commit and
// closing the file drop nothing committed.
TEST_F(Transactions, PreCommittedBlockWaitsAcrossReopenForCommitRollbackOrClear) {
    enum Decision { Commit, PreCommitThenCommit, Rollback, Clear };
    for (const Decision decision : {Commit, PreCommitThenCommit, Rollback, Clear}) {
        SCOPED_TRACE("decision " + std::to_string(decision));
        const std::string treePath = dir.File(std::to_string(decision) + ".tbt");
        UniqueModel committed, next;
        MakeReadyFile(treePath, 21 + decision, committed, next);
        const std::vector<unsigned char> ready = TreeFileBytes(treePath).ReadAll();
        {
            TestTree reader(treePath, ReadOnly());
            EXPECT_EQ(reader.GetCommitState(), TestTree::CommitReady);
            EXPECT_EQ(reader.Difference(committed), "");
            reader.PreCommit();
            reader.Rollback();
            EXPECT_THROW(reader.Commit(), TamBTree::BTreeReadOnlyException);
            ExpectChangesRefused<TamBTree::BTreeReadOnlyException>(reader);
            EXPECT_THROW(reader.Clear(), TamBTree::BTreeReadOnlyException);
            EXPECT_EQ(reader.Difference(committed), "");
        }
        EXPECT_TRUE(TreeFileBytes(treePath).ReadAll() == ready) << "the reader changed the file";
        {
            TestTree tree(treePath);
            EXPECT_EQ(tree.GetCommitState(), TestTree::CommitReady);
            ExpectValidAndSame(tree, committed);
            ExpectChangesRefused<TamBTree::BTreeTransactionWaitingException>(tree);
            if (decision == PreCommitThenCommit) tree.PreCommit();
            EXPECT_EQ(tree.GetCommitState(), TestTree::CommitReady);
            if (decision == Rollback) tree.Rollback();
            if (decision == Clear) tree.Clear();
            if (decision == Commit || decision == PreCommitThenCommit) tree.Commit();
            if (decision == Rollback) next = committed;
            if (decision == Clear) next.clear();
            EXPECT_EQ(tree.GetCommitState(), TestTree::CommitIdle);
            if (decision == Rollback || decision == Clear) {
                EXPECT_TRUE(TreeFileBytes(treePath).IdleHead());
            }
            ExpectValidAndSame(tree, next);
            if (decision == Clear) {
                EXPECT_EQ(tree.Put("k", "v").first, BTreeIterator(0, 1, &tree));
                next.emplace("k", "v");
            }
            // Allocations no longer avoid the waiting images: they must not
            // overwrite what the install made live.
            std::mt19937 rng(23);
            Mutate(&tree, next, rng, 500);
            tree.CommitNow();
            tree.Rollback();
            // Closing drops what is not committed.
            UniqueModel lost = next;
            Mutate(&tree, lost, rng, 100);
        }
        EXPECT_TRUE(TreeFileBytes(treePath).IdleHead());
        TestTree again(treePath);
        ExpectValidAndSame(again, next);
    }
}

TEST_F(Transactions, FileLeftApplyingOpensWithTheNewStateAndIdleFlags) {
    for (const bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly ? "read-only open" : "read-write open");
        const std::string treePath = dir.File(readOnly ? "ro.tbt" : "rw.tbt");
        UniqueModel committed, next;
        MakeReadyFile(treePath, readOnly ? 31 : 32, committed, next);
        TreeFileBytes(treePath).Put<std::uint16_t>(offsetof(BTreeInfo, commitReady),
                                                   0x0100);  // ready 0, applying 1
        const Options options = readOnly ? ReadOnly() : Options();
        if (readOnly) {
            // The install needs a read-write open, which another reader's
            // lock refuses.
            const int reader = open(treePath.c_str(), O_RDONLY);
            ASSERT_EQ(flock(reader, LOCK_SH), 0);
            EXPECT_THROW(TestTree(treePath, options), TamFile::FileException);
            close(reader);
            EXPECT_EQ(TreeFileBytes(treePath).Head().commitApplying, 1);
        }
        {
            TestTree tree(treePath, options);
            EXPECT_EQ(tree.ReadOnly(), readOnly);
            EXPECT_TRUE(TreeFileBytes(treePath).IdleHead());
            EXPECT_EQ(tree.GetCommitState(), TestTree::CommitIdle);
            ExpectValidAndSame(tree, next);
            if (!readOnly) {
                std::mt19937 rng(33);
                Mutate(&tree, next, rng, 300);
                tree.CommitNow();
                EXPECT_NO_THROW(tree.ValidateTree());
            }
        }
        TestTree again(treePath);
        EXPECT_EQ(again.Difference(next), "");
    }
}
