// Two-phase commit, rollback, the committed block, recovery at open and the
// read-only mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <random>
#include <typeinfo>

#include "FileFormat.h"
#include "TestTree.h"
#include "TreeFileBytes.h"

using namespace TamBTreeTest;
using TamBTree::BTreeException;
using TamBTree::BTreeInfo;
using TamBTree::BTreeIterator;
using TamBTree::BTreeReadOnlyException;
using TamBTree::BTreeTestAccess;
using TamBTree::NO_PAGE;
using TamFile::FileFaultHook;
using TamFile::MemoryMapFile;
using Model = std::map<std::string, std::string>;

namespace {

const std::wstring kWaiting =
    L"The B-Tree has a pre-committed transaction waiting for Commit or Rollback.";

std::mt19937 SeededRng(unsigned seed) {
    std::printf("seed %u\n", seed);
    return std::mt19937(seed);
}

std::string Key(std::uint32_t n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08u", n);
    return buf;
}

std::string Value(std::mt19937& rng, std::uint32_t length) {
    std::string s(length, '\0');
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    return s;
}

// Random inserts, erasures and updates applied to both the tree and the model.
void Mutate(TestTree& tree, Model& model, std::mt19937& rng, int ops) {
    for (int i = 0; i < ops; ++i) {
        const std::string key = Key(rng() % 2000);
        const std::string value = Value(rng, rng() % 900);
        switch (rng() % 4) {
            case 0:
            case 1:
                ASSERT_EQ(tree.Put(key, value).second, model.emplace(key, value).second);
                break;
            case 2:
                ASSERT_EQ(tree.Erase(TestTree::MakeKey(key)), model.erase(key));
                break;
            default: {
                const BTreeIterator it = tree.Find(TestTree::MakeKey(key));
                ASSERT_EQ(it.IsEnd(), model.count(key) == 0);
                if (it.IsEnd()) break;
                tree.Update(it, TestTree::Make(key, value));
                model[key] = value;
            }
        }
    }
}

BTreeInfo ReadHead(const std::string& path) {
    return TreeFileBytes(path).Get<BTreeInfo>(0);
}

void WriteFlags(const std::string& path, std::uint8_t ready, std::uint8_t applying) {
    TreeFileBytes(path).Put(72, ready);
    TreeFileBytes(path).Put(73, applying);
}

void ExpectIdleHead(const std::string& path) {
    const BTreeInfo info = ReadHead(path);
    EXPECT_EQ(info.commitReady, 0);
    EXPECT_EQ(info.commitApplying, 0);
    EXPECT_EQ(info.committedBlockOffset, NO_PAGE);
}

template <class F>
std::wstring ThrownText(F f) {
    try {
        f();
    } catch (const BTreeException& e) {
        if (typeid(e) != typeid(BTreeException)) return L"(a subclass of BTreeException)";
        return e.What();
    }
    return L"(nothing thrown)";
}

struct HookGuard {
    explicit HookGuard(FileFaultHook* hook) { MemoryMapFile::SetFaultHook(hook); }
    ~HookGuard() { MemoryMapFile::SetFaultHook(nullptr); }
};

// Fails the at-th flush as a failing system call would.
class FailingFlush : public FileFaultHook {
public:
    explicit FailingFlush(int at) : at(at) {}
    void At(Point point, const std::string& path) override {
        if ((point == BeforeFlushView || point == BeforeFlush) && ++seen == at)
            throw TamFile::FileException(TamFile::ActionFlush, path, EIO);
    }
    int seen = 0;

private:
    int at;
};

class OpenCounter : public FileFaultHook {
public:
    void At(Point point, const std::string&) override { opens += point == BeforeOpen; }
    int opens = 0;
};

// A file whose last commit holds `committed` and whose pre-committed block
// brings `next`; the tree is destroyed in the ready state.
void MakeReadyFile(const std::string& path, unsigned seed, Model& committed, Model& next) {
    std::mt19937 rng = SeededRng(seed);
    TestTree tree(path);
    Mutate(tree, committed, rng, 600);
    tree.PreCommit();
    tree.Commit();
    next = committed;
    Mutate(tree, next, rng, 400);
    tree.PreCommit();
    ASSERT_EQ(ReadHead(path).commitReady, 1);
}

// Every change is refused with the waiting-block text and nothing changes.
void ExpectChangesRefused(TestTree& tree) {
    const auto before = tree.Contents();
    ASSERT_FALSE(before.empty());
    const BTreeIterator first = tree.Begin();
    EXPECT_EQ(ThrownText([&] { tree.Put("new key", "v"); }), kWaiting);
    EXPECT_EQ(ThrownText([&] { tree.Erase(TestTree::MakeKey(before[0].first)); }), kWaiting);
    bool nextValid = true;
    BTreeIterator next = first;
    EXPECT_EQ(ThrownText([&] { tree.Erase(first, nextValid, next); }), kWaiting);
    EXPECT_FALSE(nextValid);
    EXPECT_TRUE(next.IsEnd());
    EXPECT_EQ(ThrownText([&] { tree.Update(first, TestTree::Make(before[0].first, "x")); }),
              kWaiting);
    EXPECT_EQ(tree.Contents(), before);
    EXPECT_EQ(tree.KeyAt(tree.Find(TestTree::MakeKey(before[0].first))), before[0].first);
    EXPECT_NO_THROW(tree.ValidateTree());
}

}  // namespace

TEST(Transactions, CommitIsDurableAndUncommittedChangesAreGoneAfterReopen) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    std::mt19937 rng = SeededRng(11);
    Model committed;
    {
        TestTree tree(path);
        Mutate(tree, committed, rng, 1500);
        tree.PreCommit();
        tree.Commit();
        ExpectIdleHead(path);
        Model lost = committed;
        Mutate(tree, lost, rng, 800);
        ASSERT_EQ(tree.Difference(lost), "");
    }
    {
        TestTree tree(path);
        EXPECT_EQ(tree.Difference(committed), "");
        EXPECT_NO_THROW(tree.ValidateTree());
        Mutate(tree, committed, rng, 800);
        tree.PreCommit();
        tree.Commit();
    }
    Options readOnly;
    readOnly.readOnly = true;
    TestTree reader(path, readOnly);
    EXPECT_EQ(reader.Difference(committed), "");
}

TEST(Transactions, RollbackRestoresTheLastCommittedState) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    std::mt19937 rng = SeededRng(12);
    TestTree tree(path);
    Model never;
    Mutate(tree, never, rng, 1500);
    tree.Rollback();
    EXPECT_EQ(tree.Size(), 0u);
    EXPECT_EQ(tree.Begin(), tree.End());
    EXPECT_NO_THROW(tree.ValidateTree());

    Model committed;
    Mutate(tree, committed, rng, 1500);
    tree.PreCommit();
    tree.Commit();
    for (int round = 0; round < 3; ++round) {
        Model discarded = committed;
        Mutate(tree, discarded, rng, 500);
        if (round == 1) tree.PreCommit();
        tree.Rollback();
        ASSERT_EQ(tree.Difference(committed), "") << "round " << round;
        ExpectIdleHead(path);
        EXPECT_NO_THROW(tree.ValidateTree());
    }
    Mutate(tree, committed, rng, 300);
    tree.PreCommit();
    tree.Commit();
    tree.Rollback();
    EXPECT_EQ(tree.Difference(committed), "");
}

// The waiting block is the transaction: after the reopen a repeated PreCommit
// keeps it, Commit installs it and Rollback drops it.
TEST(Transactions, PreCommittedBlockWaitsAcrossReopenForCommitOrRollback) {
    enum Decision { Commit, PreCommitThenCommit, Rollback };
    TempDir dir;
    for (const Decision decision : {Commit, PreCommitThenCommit, Rollback}) {
        SCOPED_TRACE("decision " + std::to_string(decision));
        const std::string path = dir.File(std::to_string(decision) + ".tbt");
        Model committed;
        Model next;
        MakeReadyFile(path, 21 + decision, committed, next);
        {
            TestTree tree(path);
            EXPECT_EQ(tree.GetCommitState(), TestTree::CommitReady);
            EXPECT_EQ(tree.Difference(committed), "");
            EXPECT_NO_THROW(tree.ValidateTree());
            ExpectChangesRefused(tree);
            if (decision == PreCommitThenCommit) {
                tree.PreCommit();
                EXPECT_EQ(tree.GetCommitState(), TestTree::CommitReady);
                EXPECT_NO_THROW(tree.ValidateTree());
            }
            if (decision == Rollback) {
                tree.Rollback();
                next = committed;
            } else {
                tree.Commit();
            }
            ExpectIdleHead(path);
            EXPECT_EQ(tree.Difference(next), "");
            EXPECT_NO_THROW(tree.ValidateTree());
            // Allocations no longer avoid the waiting images: they must not
            // overwrite what the install made live.
            std::mt19937 rng(23);
            Mutate(tree, next, rng, 500);
            tree.PreCommit();
            tree.Commit();
        }
        TestTree again(path);
        EXPECT_EQ(again.Difference(next), "");
        EXPECT_NO_THROW(again.ValidateTree());
    }
}

TEST(Transactions, FileLeftApplyingOpensWithTheNewStateAndIdleFlags) {
    TempDir dir;
    for (const bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly ? "read-only open" : "read-write open");
        const std::string path = dir.File(readOnly ? "ro.tbt" : "rw.tbt");
        Model committed;
        Model next;
        MakeReadyFile(path, readOnly ? 31 : 32, committed, next);
        WriteFlags(path, 0, 1);
        Options options;
        options.readOnly = readOnly;
        if (readOnly) {
            // The install needs a read-write open, which another reader's
            // lock refuses.
            const int reader = open(path.c_str(), O_RDONLY);
            ASSERT_EQ(flock(reader, LOCK_SH), 0);
            EXPECT_THROW(TestTree(path, options), TamFile::FileException);
            close(reader);
            EXPECT_EQ(ReadHead(path).commitApplying, 1);
        }
        {
            TestTree tree(path, options);
            EXPECT_EQ(tree.ReadOnly(), readOnly);
            ExpectIdleHead(path);
            EXPECT_EQ(tree.GetCommitState(), TestTree::CommitIdle);
            EXPECT_EQ(tree.Difference(next), "");
            EXPECT_NO_THROW(tree.ValidateTree());
            if (readOnly) {
                EXPECT_THROW(tree.Put("k", "v"), BTreeReadOnlyException);
            } else {
                std::mt19937 rng(33);
                Mutate(tree, next, rng, 300);
                tree.PreCommit();
                tree.Commit();
                EXPECT_NO_THROW(tree.ValidateTree());
            }
        }
        TestTree again(path);
        EXPECT_EQ(again.Difference(next), "");
    }
}

// A committed block that the file names outside itself, or whose length
// reaches beyond the file, is reported; the flags stay for a later attempt.
TEST(Transactions, DamagedCommittedBlockIsReportedInsteadOfRead) {
    struct Damage {
        const char* name;
        bool applying;
        std::uint64_t offsetShift;  // added to the block's offset
        std::uint32_t length;       // 0: keep
    };
    const Damage damages[] = {{"ready, offset beyond the end", false, 1u << 30, 0},
                              {"ready, offset inside a granule", false, 8, 0},
                              {"ready, length beyond the end", false, 0, 0xFFFFFFF0u},
                              {"applying, offset beyond the end", true, 1u << 30, 0},
                              {"applying, length beyond the end", true, 0, 0xFFFFFFF0u}};
    TempDir dir;
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        const std::string path = dir.File("t.tbt");
        Model committed;
        Model next;
        MakeReadyFile(path, 100, committed, next);
        const std::uint64_t offset = ReadHead(path).committedBlockOffset + damage.offsetShift;
        TreeFileBytes(path).Put(64, offset);
        if (damage.length) TreeFileBytes(path).Put(offset, damage.length);
        if (damage.applying) WriteFlags(path, 0, 1);
        EXPECT_THROW(TestTree{path}, Tam::Exception);
        EXPECT_EQ(ReadHead(path).commitApplying, damage.applying ? 1 : 0);
        EXPECT_EQ(ReadHead(path).commitReady, damage.applying ? 0 : 1);
        std::remove(path.c_str());
    }
}

enum Recovery { Reopen, RollBack, Retry };

// After a flush failed in PreCommit or Commit, the tree is reopened, rolled
// back, or (PreCommit only) changed further and committed again; returns
// false when nothing failed.
bool FailAndRecover(int at, Recovery recovery) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    std::mt19937 rng = SeededRng(40 + at);
    Model committed;
    Model next;
    bool preCommitted = false;
    {
        TestTree tree(path);
        Mutate(tree, committed, rng, 400);
        tree.PreCommit();
        tree.Commit();
        next = committed;
        Mutate(tree, next, rng, 400);
        FailingFlush hook(at);
        try {
            HookGuard guard(&hook);
            tree.PreCommit();
            preCommitted = true;
            tree.Commit();
            EXPECT_EQ(tree.Difference(next), "");
            return false;
        } catch (const TamFile::FileException&) {
        }
        if (recovery == Retry && !preCommitted) {
            Mutate(tree, next, rng, 200);
            tree.PreCommit();
            tree.Commit();
            EXPECT_EQ(tree.Difference(next), "");
        } else if (recovery != Reopen) {
            tree.Rollback();
            EXPECT_EQ(tree.Difference(preCommitted ? next : committed), "");
        }
        EXPECT_NO_THROW(tree.ValidateTree());
        if (recovery != Reopen) return true;
    }
    TestTree tree(path);
    if (tree.GetCommitState() == TestTree::CommitReady) {
        EXPECT_FALSE(preCommitted);
        EXPECT_EQ(tree.Difference(committed), "");
        tree.Commit();
        EXPECT_EQ(tree.Difference(next), "");
    } else {
        EXPECT_EQ(tree.Difference(preCommitted ? next : committed), "");
    }
    // An unfinished PreCommit may leave its block's offset behind; it is
    // ignored in the idle state.
    EXPECT_EQ(tree.GetCommitState(), TestTree::CommitIdle);
    EXPECT_NO_THROW(tree.ValidateTree());
    return true;
}

// A flush failing at any point of PreCommit and Commit leaves the old state
// when PreCommit did not finish and the new one otherwise.
TEST(Transactions, FailureAtEveryFlushOfACommitEndsInTheOldOrTheNewState) {
    int at = 1;
    for (; at < 40; ++at) {
        SCOPED_TRACE("failing flush " + std::to_string(at));
        bool failed = false;
        for (const Recovery recovery : {Reopen, RollBack, Retry})
            failed = FailAndRecover(at, recovery);
        if (!failed) break;
    }
    EXPECT_LT(at, 40);
}

TEST(Transactions, EmptyTransactionsChangeNothing) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    {
        TestTree fresh(path);
        fresh.PreCommit();
        EXPECT_EQ(TreeFileBytes(path).Get<std::uint32_t>(ReadHead(path).committedBlockOffset), 4u);
        fresh.Commit();
    }
    TestTree tree(path);
    EXPECT_EQ(tree.Size(), 0u);
    std::mt19937 rng = SeededRng(50);
    Model model;
    Mutate(tree, model, rng, 500);
    tree.PreCommit();
    tree.Commit();

    const BTreeInfo before = ReadHead(path);
    tree.Commit();
    const BTreeInfo after = ReadHead(path);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);

    tree.PreCommit();
    const BTreeInfo ready = ReadHead(path);
    EXPECT_EQ(ready.commitReady, 1);
    EXPECT_EQ(TreeFileBytes(path).Get<std::uint32_t>(ready.committedBlockOffset), 4u);
    EXPECT_EQ(ready.pendingRecordCount, model.size());
    EXPECT_EQ(ready.pendingRootPage, before.rootPage);
    EXPECT_EQ(ready.pendingPageCount, before.pageCount);
    tree.Commit();
    ExpectIdleHead(path);
    EXPECT_EQ(ReadHead(path).recordCount, model.size());
    EXPECT_EQ(tree.Difference(model), "");

    const std::uint64_t size = tree.GetDiskSpaceUsed();
    for (int i = 0; i < 20; ++i) {
        tree.PreCommit();
        tree.Commit();
    }
    EXPECT_EQ(tree.GetDiskSpaceUsed(), size);
    EXPECT_NO_THROW(tree.ValidateTree());
}

// 4096 entries make a block of 65540 bytes, read through one view of two
// granules both when the open reserves its images and when Commit installs it.
TEST(Transactions, BlockOf4096ChangedPagesSpansTwoGranules) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    Model model;
    {
        TestTree tree(path);
        std::mt19937 rng = SeededRng(60);
        const std::string value = Value(rng, tree.GetMaxRecordSize() - 8);
        for (std::uint32_t n = 0; BTreeTestAccess::PageCount(tree) < 4096; ++n) {
            ASSERT_TRUE(tree.Put(Key(n), value).second);
            model.emplace(Key(n), value);
        }
        // Page 0 and every new page are in the transaction; nothing was freed.
        ASSERT_EQ(BTreeTestAccess::PageCount(tree), 4096u);
        tree.PreCommit();
        EXPECT_EQ(TreeFileBytes(path).Get<std::uint32_t>(ReadHead(path).committedBlockOffset),
                  65540u);
    }
    TestTree tree(path);
    EXPECT_EQ(tree.GetCommitState(), TestTree::CommitReady);
    EXPECT_EQ(tree.Size(), 0u);
    EXPECT_NO_THROW(tree.ValidateTree());
    tree.Commit();
    ExpectIdleHead(path);
    EXPECT_EQ(tree.Difference(model), "");
    EXPECT_NO_THROW(tree.ValidateTree());
}

TEST(Transactions, WaitingBlockRefusesChangesButAllowsReadsCommitRollbackAndClear) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    std::mt19937 rng = SeededRng(70);
    TestTree tree(path);
    Model committed;
    Mutate(tree, committed, rng, 600);
    tree.PreCommit();
    tree.Commit();

    Model next = committed;
    Mutate(tree, next, rng, 300);
    tree.PreCommit();
    ExpectChangesRefused(tree);
    tree.PreCommit();
    EXPECT_EQ(tree.GetCommitState(), TestTree::CommitReady);
    ExpectChangesRefused(tree);
    tree.Commit();
    EXPECT_EQ(tree.Difference(next), "");

    Model discarded = next;
    Mutate(tree, discarded, rng, 300);
    tree.PreCommit();
    tree.Rollback();
    EXPECT_EQ(tree.Difference(next), "");
    Mutate(tree, next, rng, 100);

    tree.PreCommit();
    tree.Clear();
    ExpectIdleHead(path);
    EXPECT_EQ(tree.Size(), 0u);
    auto put = tree.Put("after clear", "v");
    EXPECT_TRUE(put.second);
    EXPECT_EQ(put.first, BTreeIterator(0, 1, &tree));
    EXPECT_NO_THROW(tree.ValidateTree());
}

TEST(Transactions, ReadOnlyTreeSkipsPreCommitAndRollbackAndRefusesCommit) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    Model committed;
    Model next;
    MakeReadyFile(path, 80, committed, next);
    Options options;
    options.readOnly = true;
    TestTree tree(path, options);
    EXPECT_EQ(tree.GetCommitState(), TestTree::CommitReady);
    const BTreeInfo before = ReadHead(path);
    tree.PreCommit();
    tree.Rollback();
    EXPECT_THROW(tree.Commit(), BTreeReadOnlyException);
    EXPECT_THROW(tree.Put("k", "v"), BTreeReadOnlyException);
    const BTreeInfo after = ReadHead(path);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_EQ(tree.Difference(committed), "");
    EXPECT_NO_THROW(tree.ValidateTree());
}

TEST(Transactions, ReadOnlySwitchReopensOnlyOnAChangeAndKeepsUncommittedChanges) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    std::mt19937 rng = SeededRng(90);
    TestTree tree(path);
    Model committed;
    Mutate(tree, committed, rng, 600);
    tree.PreCommit();
    tree.Commit();
    Model changed = committed;
    Mutate(tree, changed, rng, 300);

    OpenCounter counter;
    HookGuard guard(&counter);
    tree.ReadOnly(false);
    EXPECT_EQ(counter.opens, 0);
    tree.ReadOnly(true);
    EXPECT_EQ(counter.opens, 1);
    EXPECT_TRUE(tree.ReadOnly());
    tree.ReadOnly(true);
    EXPECT_EQ(counter.opens, 1);

    EXPECT_THROW(tree.Put("new key", "v"), BTreeReadOnlyException);
    tree.PreCommit();
    tree.Rollback();
    EXPECT_EQ(ReadHead(path).commitReady, 0);
    EXPECT_EQ(tree.Difference(changed), "");

    tree.ReadOnly(false);
    EXPECT_EQ(counter.opens, 2);
    EXPECT_FALSE(tree.ReadOnly());
    EXPECT_TRUE(tree.Put("new key", "v").second);
    changed.emplace("new key", "v");
    EXPECT_EQ(tree.Difference(changed), "");
    tree.Rollback();
    EXPECT_EQ(tree.Difference(committed), "");
    Mutate(tree, committed, rng, 200);
    tree.PreCommit();
    tree.Commit();
    EXPECT_NO_THROW(tree.ValidateTree());
}
