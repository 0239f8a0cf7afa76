// Compacting copies: the copy holds exactly the last committed records in the
// tree's order for every record layout, passes validation and is dense; it
// refuses an existing target; and an in-place compaction that dies at any
// durability point leaves a file that opens with the same records.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "CompactInPlace.h"
#include "FaultPlan.h"
#include "PowerLoss.h"
#include "TreeChecks.h"

using namespace TamBTreeTest;

namespace {

constexpr unsigned kSeed = 20250119;

using CompactCopy = TreeFileTest;

// The copy of a tree of each record layout, after a random load and the
// erasure of about a third of its keys: every page but the last of each level
// holds close to 90 %.
TEST_F(CompactCopy, HoldsTheCommittedRecordsInOrderInDensePagesInEveryLayout) {
    std::mt19937 rng = SeededRng(kSeed);
    int layouts = 0;
    for (const Options& o : {Layout(false, 0, true, 0), Layout(true, 0, true, 0),
                             Layout(false, 8, true, 8), Layout(false, 0, false, 0)}) {
        SCOPED_TRACE(testing::Message() << "duplicates " << o.allowDuplicates << ", key size "
                                        << o.keySize << ", values " << o.hasValue);
        const std::string copyPath = dir.File("copy" + std::to_string(++layouts));
        Model model;
        std::uint64_t originalSize = 0;
        {
            TestTree tree(copyPath + ".original", o);
            for (std::uint32_t i = 0; i < 20000 * 4 / 3; ++i) {
                const std::uint32_t n = rng() % (o.allowDuplicates ? 2500 : 80000);
                const std::string key = o.fixedKeySize ? Key(n) : Key(n, 8 + n % 40);
                if (i >= 20000) {
                    tree.Erase(TestTree::MakeKey(key));
                    model.erase(key);
                    continue;
                }
                const std::string value =
                    o.hasValue ? Letters(rng, o.fixedValueSize ? 8 : rng() % 300) : "";
                if (tree.Insert(TestTree::Make(key, value)).second) ModelInsert(model, key, value);
            }
            tree.CommitNow();
            tree.CopyTo(copyPath);
            originalSize = tree.GetDiskSpaceUsed();
        }
        TestTree copy(copyPath, o);
        ExpectSameAsModel(copy, model);
        const TamBTree::BTree::Statistics s = copy.GetStatistics();
        EXPECT_EQ(s.commitState, TestTree::CommitIdle);
        ASSERT_GT(s.height, 1u);
        std::uint64_t pages = 0;
        for (std::uint32_t i = 0; i < s.height; ++i) pages += s.pages[i];
        EXPECT_GT(s.usedBytes, (pages - s.height) * 65536 * 85 / 100);
        EXPECT_LE(s.fileSize, (pages + 4) * 65536 + s.freeBytes);
        EXPECT_LE(s.freeBytes, 2 * 65536u);
        EXPECT_LT(s.fileSize, originalSize);
    }
}

// Keys of kilobytes put several internal pages on each level above the
// leaves, and duplicate keys make runs that the copy must keep in order.
TEST_F(CompactCopy, CopiesTreesWithSeveralInternalPagesPerLevel) {
    std::mt19937 rng = SeededRng(kSeed + 1);
    const Options o = Layout(true, 0, true, 0);
    Model model;
    {
        TestTree tree(dir.File("large.original"), o);
        for (int i = 0; i < 6000; ++i) {
            const std::uint32_t n = rng() % 1500;
            const std::string key = Key(n, 1000 + n % 2000 + (n % 7 == 0 ? 8000 : 0));
            const std::string value = Letters(rng, rng() % 200);
            if (tree.Insert(TestTree::Make(key, value)).second) ModelInsert(model, key, value);
        }
        tree.CommitNow();
        const TamBTree::BTree::Statistics s = tree.GetStatistics();
        ASSERT_GE(s.height, 3u);
        ASSERT_GT(s.pages[1], 1u) << "the level above the leaves must have several pages";
        tree.CopyTo(dir.File("large"));
    }
    TestTree copy(dir.File("large"), o);
    ExpectSameAsModel(copy, model);
    EXPECT_GT(copy.GetStatistics().pages[1], 1u);
}

// A copy that fails at any durability point leaves nothing at its path, and
// the tree it copies as it was.
TEST_F(CompactCopy, ACopyFailingAtAnyPointLeavesNothingBehind) {
    TestTree tree(dir.File("source"));
    for (std::uint32_t i = 0; i < 3000; ++i) tree.Put(Key(i), std::string(100, 'c'));
    tree.CommitNow();
    int points = 0;
    {
        FaultPlan counter;
        counter.observe = [&](FaultPlan::Point) { ++points; };
        tree.CopyTo(dir.File("counted"));
    }
    ASSERT_GT(points, 3);
    for (int point = 1; point <= points; ++point) {
        const std::string target = dir.File("copy" + std::to_string(point));
        {
            FaultPlan plan;
            plan.Arm(point, FaultPlan::Fail);
            EXPECT_THROW(tree.CopyTo(target), TamFile::FileException) << "point " << point;
        }
        EXPECT_FALSE(std::filesystem::exists(target)) << "point " << point;
    }
    tree.ValidateTree();
    EXPECT_EQ(tree.Size(), 3000u);
}

TEST_F(CompactCopy, LeavesOutWhatIsNotCommittedInEveryState) {
    std::mt19937 rng = SeededRng(kSeed + 1);
    UniqueModel committed;
    UniqueModel changed;
    {
        TestTree tree(path);
        Mutate(&tree, committed, rng, 3000);
        tree.CommitNow();
        changed = committed;
        Mutate(&tree, changed, rng, 500);
        ASSERT_NE(changed, committed);
        tree.CopyTo(dir.File("open.tbt"));
        tree.PreCommit();
        tree.CopyTo(dir.File("ready.tbt"));
        tree.Commit();
        tree.CopyTo(dir.File("after-commit.tbt"));
        const std::string refused = ThrownText([&] { tree.CopyTo(dir.File("open.tbt")); });
        EXPECT_NE(refused.find(std::strerror(EEXIST)), std::string::npos) << refused;
        ExpectValidAndSame(tree, changed);
    }
    {
        TestTree readOnly(path, ReadOnly());
        readOnly.CopyTo(dir.File("read-only.tbt"));
    }
    for (const char* name : {"open.tbt", "ready.tbt"}) {
        TestTree copy(dir.File(name));
        ExpectValidAndSame(copy, committed);
    }
    for (const char* name : {"after-commit.tbt", "read-only.tbt"}) {
        TestTree copy(dir.File(name));
        ExpectValidAndSame(copy, changed);
    }
}

// Compacts `path` in place in a child whose unflushed writes are lost, in
// parts, when it ends at durability point `point`; returns its exit status.
int CompactAndCrash(const std::string& path, std::uint64_t point) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            PowerLoss simulation(PowerLoss::RandomWriteBack, kSeed + point);
            FaultPlan plan;
            plan.Arm(point, FaultPlan::Exit);
            TestTree tree(path);
            TamTool::CompactInPlace(tree);
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST_F(CompactCopy, InPlaceInterruptedAtAnyPointLeavesTheOldOrTheNewFile) {
    std::mt19937 rng = SeededRng(kSeed + 4);
    UniqueModel model;
    {
        TestTree tree(path);
        Mutate(&tree, model, rng, 4000);
        tree.CommitNow();
        Mutate(&tree, model, rng, 2000);
        tree.CommitNow();
    }
    const std::uint64_t oldSize = TamFile::Path(path).Size();
    std::uint64_t point = 1;
    for (int status = 0;; ++point) {
        status = CompactAndCrash(path, point);
        ASSERT_TRUE(status == 0 || status == FaultPlan::EXIT_CODE) << "point " << point;
        TestTree tree(path);
        ExpectValidAndSame(tree, model);
        if (status == 0) break;
    }
    std::printf("in-place compaction: %d durability points\n", static_cast<int>(point));
    EXPECT_GT(point, 3u);
    EXPECT_LT(TamFile::Path(path).Size(), oldSize);
    EXPECT_NE(::access(TamTool::CompactTemporary(path).c_str(), F_OK), 0);
}

}  // namespace
