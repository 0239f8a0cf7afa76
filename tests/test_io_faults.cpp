// I/O faults: a flush or a growth of the file that fails during Insert,
// PreCommit or Commit surfaces as the file layer's exception; the tree then
// recovers through Rollback or a reopen without losing a committed record,
// and the next transaction commits normally.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FaultHook.h"
#include "TestTree.h"

using TamBTree::BTree;
using TamBTreeTest::FaultPlan;
using TamBTreeTest::RamDir;
using TamBTreeTest::TestTree;

namespace {

using Model = std::map<std::string, std::string>;

Model Contents(TestTree& tree) {
    Model all;
    for (TamBTree::BTreeIterator it = tree.Begin(); it != tree.End(); ++it)
        all.emplace(tree.KeyAt(it), tree.ValueAt(it));
    return all;
}

std::string Key(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "key%06d", (i * 7919) % 1000000);
    return text;
}

enum Phase { InInsert, InPreCommit, InCommit };

// Inserts `count` records from `first` (enough to grow the file), then
// pre-commits and commits; `phase` follows the call under way.
void Transaction(TestTree& tree, Model& model, int first, int count, Phase& phase) {
    phase = InInsert;
    for (int i = first; i < first + count; ++i) {
        const std::string value(300 + i % 700, static_cast<char>('a' + i % 26));
        tree.Put(Key(i), value);
        model[Key(i)] = value;
    }
    phase = InPreCommit;
    tree.PreCommit();
    phase = InCommit;
    tree.Commit();
}

// Counts the points of a clean transaction and the phase of each.
class PhaseRecorder : public TamFile::FileFaultHook {
public:
    explicit PhaseRecorder(const Phase& phase) : phase(phase) {
        TamFile::MemoryMapFile::SetFaultHook(this);
    }
    ~PhaseRecorder() override { TamFile::MemoryMapFile::SetFaultHook(nullptr); }
    void At(Point point, const std::string&) override {
        phases.push_back(phase);
        points.push_back(point);
        if (phase == InInsert && point == BeforeResize) ++growths;
    }
    const Phase& phase;
    std::vector<Phase> phases;
    std::vector<Point> points;
    int growths = 0;
};

constexpr int kCommitted = 400;
constexpr int kAdded = 600;

class IoFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        TestTree tree(base);
        Phase phase;
        Transaction(tree, committed, 0, kCommitted, phase);
    }
    void Fresh() const {
        std::filesystem::copy_file(base, path, std::filesystem::copy_options::overwrite_existing);
    }
    // After a recovery: the contents are the committed ones or, once the
    // failed commit had been decided, the new ones; a next transaction works.
    void ExpectUsable(TestTree& tree, const Model& added, bool commitDecided,
                      const std::string& where) const {
        tree.ValidateTree();
        const Model seen = Contents(tree);
        if (!(seen == committed || (commitDecided && seen == added)))
            ADD_FAILURE() << where << ": committed records lost or foreign ones present";
        Model expected = seen;
        Phase phase;
        Transaction(tree, expected, 5000, 50, phase);
        tree.ValidateTree();
        EXPECT_EQ(Contents(tree), expected) << where;
    }

    RamDir dir;
    std::string base = dir.File("base.bt");
    std::string path = dir.File("tree.bt");
    Model committed;
};

TEST_F(IoFaults, AFailingFlushOrGrowthSurfacesAndRollbackOrReopenRecovers) {
    Model added = committed;
    std::vector<Phase> phases;
    std::vector<TamFile::FileFaultHook::Point> points;
    {
        Fresh();
        Phase phase = InInsert;
        PhaseRecorder recorder(phase);
        TestTree tree(path);
        recorder.phases.clear();
        recorder.points.clear();
        Transaction(tree, added, kCommitted, kAdded, phase);
        phases = recorder.phases;
        points = recorder.points;
        EXPECT_GT(recorder.growths, 0) << "the inserts must grow the file";
    }
    int runs = 0;
    for (std::size_t point = 1; point <= phases.size(); ++point) {
        for (const int error : {EIO, ENOSPC}) {
            for (const bool reopen : {false, true}) {
                const std::string where = "point " + std::to_string(point) + " (phase " +
                                          std::to_string(phases[point - 1]) + "), errno " +
                                          std::to_string(error) +
                                          (reopen ? ", reopen" : ", rollback");
                Fresh();
                std::unique_ptr<TestTree> tree(new TestTree(path));
                FaultPlan plan;
                plan.Arm(point, FaultPlan::Fail, error);
                Model model = committed;
                Phase phase = InInsert;
                try {
                    Transaction(*tree, model, kCommitted, kAdded, phase);
                    ADD_FAILURE() << where << ": nothing thrown";
                } catch (const TamFile::FileException& e) {
                    EXPECT_EQ(e.GetError(), error) << where;
                    EXPECT_EQ(e.GetAction(), FaultPlan::ActionOf(points[point - 1])) << where;
                }
                EXPECT_EQ(phase, phases[point - 1]) << where;
                // Once Commit has begun, the file may already hold the new
                // state; a waiting pre-commit can be installed after a reopen.
                bool mayBeNew = phase == InCommit;
                if (reopen) {
                    tree.reset();
                    tree.reset(new TestTree(path));
                    if (tree->GetCommitState() == BTree::CommitReady) {
                        EXPECT_EQ(Contents(*tree), committed) << where;
                        tree->Commit();
                        mayBeNew = true;
                    }
                } else {
                    tree->Rollback();
                }
                ExpectUsable(*tree, added, mayBeNew, where);
                ++runs;
            }
        }
    }
    std::printf("I/O faults: %zu points of a transaction, %d failing runs\n", phases.size(), runs);
}

// A recovery that itself meets a failing open leaves the tree closed but not
// lost: the next Rollback opens it again.
TEST_F(IoFaults, ARollbackWhoseReopenFailsCanBeRepeated) {
    Fresh();
    TestTree tree(path);
    tree.Put("uncommitted", "x");
    FaultPlan plan;
    plan.filter = [](FaultPlan::Point point) { return point == FaultPlan::BeforeOpen; };
    plan.Arm(1, FaultPlan::Fail, EIO);
    try {
        tree.Rollback();
        ADD_FAILURE() << "the failing open did not surface";
    } catch (const TamFile::FileException& e) {
        EXPECT_EQ(e.GetAction(), TamFile::ActionOpenWrite);
        EXPECT_EQ(e.GetError(), EIO);
    }
    tree.Rollback();
    ExpectUsable(tree, committed, false, "after a failed reopen");
}

}  // namespace
