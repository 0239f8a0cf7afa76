// I/O faults: a flush or a growth of the file that fails during Insert,
// PreCommit or Commit surfaces as the file layer's exception; the tree then
// recovers through Rollback, a reopen or (after a failed PreCommit) a repeated
// commit, to the state the failure decided, and the next transaction commits.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "FaultHook.h"
#include "TreeChecks.h"

using namespace TamBTreeTest;
using TamBTree::CacheOperation;

namespace {

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

class IoFaults : public ::testing::Test {
protected:
    void SetUp() override {
        TestTree tree(base);
        Phase phase;
        Transaction(tree, committed, 0, kCommitted, phase);
    }
    void Fresh() const {
        std::filesystem::copy_file(base, path, std::filesystem::copy_options::overwrite_existing);
    }
    // The tree holds `expected`, passes validation and takes a transaction.
    void ExpectUsable(TestTree& tree, UniqueModel expected, const std::string& where) const {
        EXPECT_NO_THROW(tree.ValidateTree()) << where;
        EXPECT_EQ(tree.Difference(expected), "") << where;
        Phase phase;
        Transaction(tree, expected, 5000, 50, phase);
        EXPECT_EQ(tree.Difference(expected), "") << where;
    }

    TempDir dir{true};
    std::string base = dir.File("base.bt");
    std::string path = dir.File("tree.bt");
    UniqueModel committed;
};

TEST_F(IoFaults, AFailingFlushOrGrowthSurfacesAndTheTreeRecoversToTheDecidedState) {
    UniqueModel added = committed;
    std::vector<Phase> phases;
    std::vector<FaultPlan::Point> points;
    int growths = 0;
    {
        Fresh();
        TestTree tree(path);
        Phase phase = InInsert;
        FaultPlan recorder;
        recorder.observe = [&](FaultPlan::Point point) {
            phases.push_back(phase);
            points.push_back(point);
            growths += phase == InInsert && point == FaultPlan::BeforeResize;
        };
        Transaction(tree, added, kCommitted, kAdded, phase);
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
            auto tree = std::make_unique<TestTree>(path);
            FaultPlan plan;
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
        TestTree tree(path);
        FaultPlan recorder;
        recorder.filter = [](FaultPlan::Point point) { return point == FaultPlan::BeforeResize; };
        recorder.observe = [&](FaultPlan::Point) { ++growths; };
        load(tree);
    }
    ASSERT_GT(growths, 1);
    for (int growth = 1; growth <= growths; ++growth) {
        const std::string where = "growth " + std::to_string(growth);
        Fresh();
        TestTree tree(path);
        {
            FaultPlan plan;
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
        }
        tree.Rollback();
        ExpectUsable(tree, committed, where);
    }
}

}  // namespace
