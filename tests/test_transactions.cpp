// Two-phase commit, rollback, the committed block, recovery at open and the
// read-only mode. I/O faults: a flush or a growth of the file that fails
// during Insert, PreCommit or Commit surfaces as the file layer's exception;
// the tree then recovers through Rollback, a reopen or (after a failed
// PreCommit) a repeated commit, to the state the failure decided, and the
// next transaction commits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "FaultPlan.h"
#include "FileFormat.h"
#include "TreeChecks.h"
#include "TreeFileBytes.h"

using namespace TamBTreeTest;
using TamBTree::BTreeInfo;
using TamBTree::CacheOperation;

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

enum Phase { InInsert, InPreCommit, InCommit };
enum Recovery { Rollback, Reopen, Retry };

// Inserts `count` records from `first` (enough to grow the file), then
// pre-commits and commits; `phase` follows the call under way.
void Transaction(TestTree& tree, UniqueModel& model, int first, int count, Phase& phase) {
    phase = InInsert;
    for (int i = first; i < first + count; ++i) {
        const std::string value(300 + i % 700, static_cast<char>('a' + i % 26));
        tree.Put(Key(i * 7919 % 1000000), value);
        model[Key(i * 7919 % 1000000)] = value;
    }
    phase = InPreCommit;
    tree.PreCommit();
    phase = InCommit;
    tree.Commit();
}

constexpr int kCommitted = 400;
constexpr int kAdded = 1500;

}  // namespace

using Transactions = TreeFileTest;

// The waiting block is the transaction: readers see the last commit and change
// nothing; after a reopen a repeated PreCommit keeps the block, Commit
// installs it, Rollback and Clear drop it. A Rollback after a commit and
// closing the file drop nothing committed.
TEST_F(Transactions, PreCommittedBlockWaitsAcrossReopenForCommitRollbackOrClear) {
    enum Decision { Commits, PreCommitsThenCommits, RollsBack, Clears };
    for (const Decision decision : {Commits, PreCommitsThenCommits, RollsBack, Clears}) {
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
            if (decision == PreCommitsThenCommits) tree.PreCommit();
            EXPECT_EQ(tree.GetCommitState(), TestTree::CommitReady);
            if (decision == RollsBack) tree.Rollback();
            if (decision == Clears) tree.Clear();
            if (decision == Commits || decision == PreCommitsThenCommits) tree.Commit();
            if (decision == RollsBack) next = committed;
            if (decision == Clears) next.clear();
            EXPECT_EQ(tree.GetCommitState(), TestTree::CommitIdle);
            if (decision == RollsBack || decision == Clears) {
                EXPECT_TRUE(TreeFileBytes(treePath).IdleHead());
            }
            ExpectValidAndSame(tree, next);
            if (decision == Clears) {
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
        const std::vector<unsigned char> left = TreeFileBytes(treePath).ReadAll();
        {
            // A reader reads the state recovery gives without writing it,
            // even beside another open that locks the file.
            const int other = readOnly ? open(treePath.c_str(), O_RDONLY) : -1;
            if (readOnly) {
                ASSERT_EQ(flock(other, LOCK_SH), 0);
            }
            TestTree tree(treePath, options);
            if (readOnly) close(other);
            EXPECT_EQ(tree.ReadOnly(), readOnly);
            EXPECT_EQ(TreeFileBytes(treePath).IdleHead(), !readOnly);
            if (readOnly) {
                EXPECT_EQ(TreeFileBytes(treePath).ReadAll(), left);
            }
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

class IoFaults : public ::testing::Test, protected BaseAndCopy {
protected:
    void SetUp() override {
        TestTree tree(base);
        Phase phase;
        Transaction(tree, committed, 0, kCommitted, phase);
    }
    // The tree holds `expected`, passes validation and takes a transaction.
    void ExpectUsable(TestTree& tree, UniqueModel expected, const std::string& where) const {
        EXPECT_NO_THROW(tree.ValidateTree()) << where;
        EXPECT_EQ(tree.Difference(expected), "") << where;
        Phase phase;
        Transaction(tree, expected, 5000, 50, phase);
        EXPECT_EQ(tree.Difference(expected), "") << where;
    }

    UniqueModel committed;
};

TEST_F(IoFaults, AFailingFlushOrGrowthSurfacesAndTheTreeRecoversToTheDecidedState) {
    UniqueModel added = committed;
    std::vector<Phase> phases;
    std::vector<FaultPlan::Point> points;
    int growths = 0;
    {
        Fresh();
        // A plan serves the files opened while it lives.
        FaultPlan recorder;
        TestTree tree(path);
        Phase phase = InInsert;
        recorder.observe = [&](FaultPlan::Point point) {
            phases.push_back(phase);
            points.push_back(point);
            growths += phase == InInsert && point == FaultPlan::BeforeResize;
        };
        Transaction(tree, added, kCommitted, kAdded, phase);
        recorder.observe = nullptr;  // the points of the transaction only, not of the close
    }
    EXPECT_GT(growths, 0) << "the inserts must grow the file";
    int runs = 0;
    for (std::size_t point = 1; point <= phases.size(); ++point) {
        const int error = point % 2 ? EIO : ENOSPC;
        for (const Recovery recovery : {Rollback, Reopen, Retry}) {
            if (recovery == Retry && phases[point - 1] != InPreCommit) continue;
            const std::string where = "point " + std::to_string(point) + " (phase " +
                                      std::to_string(phases[point - 1]) + "), recovery " +
                                      std::to_string(recovery);
            Fresh();
            FaultPlan plan;
            auto tree = std::make_unique<TestTree>(path);
            plan.Arm(point, FaultPlan::Fail, error);
            UniqueModel model = committed;
            Phase phase = InInsert;
            try {
                Transaction(*tree, model, kCommitted, kAdded, phase);
                ADD_FAILURE() << where << ": nothing thrown";
            } catch (const TamFile::FileException& e) {
                EXPECT_EQ(e.GetError(), error) << where;
                EXPECT_EQ(e.GetAction(), FaultPlan::ActionOf(points[point - 1])) << where;
            }
            EXPECT_EQ(phase, phases[point - 1]) << where;
            // Once Commit has begun the new state is decided; so it is when the
            // failed PreCommit had already marked its block ready.
            bool decided = phase == InCommit;
            if (recovery == Reopen) {
                tree.reset();
                tree = std::make_unique<TestTree>(path);
                if (tree->GetCommitState() == TestTree::CommitReady) {
                    EXPECT_EQ(tree->Difference(committed), "") << where;
                    tree->Commit();
                    decided = true;
                }
            } else if (recovery == Retry) {
                tree->CommitNow();
                decided = true;
            } else {
                tree->Rollback();
            }
            EXPECT_EQ(tree->GetCommitState(), TestTree::CommitIdle) << where;
            ExpectUsable(*tree, decided ? added : committed, where);
            ++runs;
        }
    }
    std::printf("I/O faults: %zu points of a transaction, %d failing runs\n", phases.size(), runs);
}

// A growth that fails in the middle of a split (inside a long-held bracket,
// where no headroom was secured) leaves the transaction failed: it refuses to
// commit until Rollback, which restores the committed records. A full disk
// never stops reads, which need no room.
TEST_F(IoFaults, AGrowthFailingInsideAnInsertBlocksTheCommitAndReadsNeedNoRoom) {
    const auto load = [](TestTree& tree) {
        CacheOperation bracket(&tree);
        for (int i = 0; i < 3000; ++i)
            tree.Put(Key(2000000 + i * 7919 % 5000), std::string(900, 'g'));
    };
    int growths = 0;
    {
        Fresh();
        FaultPlan recorder;
        TestTree tree(path);
        recorder.filter = [](FaultPlan::Point point) { return point == FaultPlan::BeforeResize; };
        recorder.observe = [&](FaultPlan::Point) { ++growths; };
        load(tree);
    }
    ASSERT_GT(growths, 1);
    for (int growth = 1; growth <= growths; ++growth) {
        const std::string where = "growth " + std::to_string(growth);
        Fresh();
        FaultPlan plan;
        TestTree tree(path);
        plan.filter = [](FaultPlan::Point point) { return point == FaultPlan::BeforeResize; };
        plan.Arm(growth, FaultPlan::Fail, ENOSPC);
        EXPECT_THROW(load(tree), TamFile::FileException) << where;
        // Every later growth fails too: the disk stays full for the reads.
        plan.observe = [](FaultPlan::Point) {
            throw TamFile::FileException(TamFile::ActionSeek, "full", ENOSPC);
        };
        for (const auto& [key, value] : committed)
            ASSERT_FALSE(tree.Find(TestTree::MakeKey(key)).IsEnd()) << where;
        EXPECT_NO_THROW(tree.ValidateTree()) << where;
        EXPECT_THROW(tree.PreCommit(), TamBTree::BTreeTransactionFailedException) << where;
        EXPECT_THROW(tree.CommitNow(), TamBTree::BTreeTransactionFailedException) << where;
        plan.observe = nullptr;
        tree.Rollback();
        ExpectUsable(tree, committed, where);
    }
}
