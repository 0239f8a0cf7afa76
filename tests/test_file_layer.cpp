// The real file layer, below the power-loss simulation: every flush that the
// commit schedule asks for reaches the operating system as a file or mapping
// sync, and a new tree file's name is made durable in its directory. This
// program's own fdatasync, fsync, msync and rename stand in front of the C
// library's and count the calls before passing them on.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>

#include "CompactInPlace.h"
#include "FaultPlan.h"
#include "TreeChecks.h"

using namespace TamBTreeTest;

namespace {

std::atomic<int> g_dataSyncs{0};
std::atomic<int> g_fileSyncs{0};
std::atomic<int> g_mappingSyncs{0};
std::atomic<int> g_directorySyncs{0};
// The directory syncs made when a file was last renamed.
std::atomic<int> g_directorySyncsAtRename{-1};

template <class Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

int Syncs() {
    return g_dataSyncs + g_fileSyncs + g_mappingSyncs;
}

}  // namespace

extern "C" int fdatasync(int fd) {
    ++g_dataSyncs;
    static const auto next = Next<int (*)(int)>("fdatasync");
    return next(fd);
}

extern "C" int fsync(int fd) {
    struct stat st;
    ++(::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? g_directorySyncs : g_fileSyncs);
    static const auto next = Next<int (*)(int)>("fsync");
    return next(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    g_directorySyncsAtRename = g_directorySyncs.load();
    static const auto next = Next<int (*)(const char*, const char*)>("rename");
    return next(from, to);
}

extern "C" int msync(void* address, size_t length, int flags) {
    ++g_mappingSyncs;
    static const auto next = Next<int (*)(void*, size_t, int)>("msync");
    return next(address, length, flags);
}

namespace {

// Counts the flushes of the file layer in which no sync reached the system.
struct SilentFlushes {
    FaultPlan plan;
    int flushes = 0;
    int silent = 0;
    int syncsBefore = 0;

    SilentFlushes() {
        plan.observe = [this](FaultPlan::Point point) {
            if (point == FaultPlan::BeforeFlush || point == FaultPlan::BeforeFlushView) {
                syncsBefore = Syncs();
            } else if (point == FaultPlan::AfterFlush || point == FaultPlan::AfterFlushView) {
                ++flushes;
                silent += Syncs() == syncsBefore;
            }
        };
    }
};

TEST(FileLayer, EveryFlushOfEveryCommitPathReachesTheSystem) {
    TempDir dir;
    SilentFlushes counter;
    TestTree tree(dir.File("t"));
    for (int round = 0; round < 3; ++round) {
        for (std::uint32_t i = 0; i < 2000; ++i) tree.Put(Key(i + round * 7), std::string(90, 'v'));
        if (round == 0) tree.CommitNow();
        if (round == 1) {
            tree.PreCommit();
            tree.Commit();
        }
        if (round == 2) {
            tree.PreCommit();
            tree.Rollback();
        }
    }
    EXPECT_GE(counter.flushes, 8) << "creation, a commit in each way and a rollback";
    EXPECT_EQ(counter.silent, 0) << "flushes that did not reach the system";
}

// What each durability mode promises in system syncs: Full two per commit,
// Normal one, Deferred none until Sync, which then makes them durable at once
// (and the tree at rest writes nothing more).
TEST(FileLayer, EachDurabilityModeSyncsAsItsScheduleSays) {
    using TamBTree::Durability;
    TempDir dir;
    TestTree tree(dir.File("t"));
    const auto syncsPerCommit = [&](int commits) {
        const int before = Syncs();
        for (int c = 0; c < commits; ++c) {
            tree.Put(Key(static_cast<std::uint32_t>(c)), std::string(200, 'v'));
            tree.CommitNow();
        }
        return Syncs() - before;
    };
    EXPECT_EQ(syncsPerCommit(10), 20);
    tree.SetDurability(Durability::Normal);
    EXPECT_EQ(syncsPerCommit(10), 10);
    int before = Syncs();
    tree.SetDurability(Durability::Deferred, 1000);
    EXPECT_EQ(Syncs() - before, 1) << "leaving Normal makes the last commit durable";
    EXPECT_EQ(syncsPerCommit(10), 0);
    before = Syncs();
    tree.Sync();
    EXPECT_EQ(Syncs() - before, 2);
    before = Syncs();
    tree.Sync();
    EXPECT_EQ(Syncs(), before) << "nothing to sync";
    tree.SetDurability(Durability::Deferred, 4);
    EXPECT_EQ(syncsPerCommit(8), 4) << "a sync by itself every fourth commit";
}

TEST(FileLayer, ANewTreeFileAndACopyAreSyncedInTheirDirectory) {
    TempDir dir;
    const int before = g_directorySyncs;
    TestTree tree(dir.File("t"));
    EXPECT_GT(g_directorySyncs, before) << "the new file's directory entry was not synced";
    tree.Put("k", "v");
    tree.CommitNow();
    const int beforeCopy = g_directorySyncs;
    tree.CopyTo(dir.File("copy"));
    EXPECT_GT(g_directorySyncs, beforeCopy) << "the copy's directory entry was not synced";
    EXPECT_EQ(TestTree(dir.File("copy")).Contents(), tree.Contents());
    // In-place compaction syncs the copy's name before the rename and the
    // rename after it.
    const int beforeCompaction = g_directorySyncs;
    TamTool::CompactInPlace(tree);
    EXPECT_GT(g_directorySyncsAtRename, beforeCompaction);
    EXPECT_GT(g_directorySyncs, g_directorySyncsAtRename);
}

std::size_t OpenDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator()));
}

// Opening, reopening, copying and failing leave no descriptor open; a tree
// named without a directory lives in the current one.
TEST(FileLayer, TreesLeaveNoDescriptorsAndBareNamesUseTheCurrentDirectory) {
    TempDir dir;
    const std::string home = std::filesystem::current_path();
    std::filesystem::current_path(dir.File(""));
    const std::size_t before = OpenDescriptors();
    {
        TestTree tree("bare.tbt");
        tree.Put("k", "v");
        tree.CommitNow();
        tree.Rollback();
        tree.ReadOnly(true);
        EXPECT_EQ(TestTree("bare.tbt", ReadOnly()).Size(), 1u);
        tree.ReadOnly(false);
        tree.CopyTo("bare-copy.tbt");
        EXPECT_THROW(tree.CopyTo("bare-copy.tbt"), TamFile::FileException);
        EXPECT_THROW(TestTree("bare.tbt"), TamFile::FileException);
    }
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(TestTree("bare-copy.tbt").Contents(), TestTree("bare.tbt").Contents());
    std::filesystem::current_path(home);
}

}  // namespace
