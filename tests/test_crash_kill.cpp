// A child process runs random transactions and is killed at random moments;
// every reopened file must hold the last committed state or the one whose
// commit was under way, never anything else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>

#include "TestTree.h"
#include "TreeFileBytes.h"

using namespace TamBTreeTest;
using TamBTree::BTreeIterator;
using Model = std::map<std::string, std::string>;

namespace {

constexpr std::uint32_t kChildTransactions = 60;

enum OpType { OpInsert, OpErase, OpEraseAt, OpUpdate };

struct Op {
    OpType type;
    std::string key;
    std::string value;
};

// Transaction k of a run: a pure function of (seed, k), so the parent can
// compute every state the child can have committed.
std::vector<Op> Transaction(unsigned seed, std::uint32_t k) {
    std::seed_seq sequence{seed, k};
    std::mt19937 rng(sequence);
    std::vector<Op> ops(1 + rng() % 60);
    for (Op& op : ops) {
        const std::uint32_t r = rng() % 20;
        op.type = r < 8 ? OpInsert : r < 12 ? OpErase : r < 15 ? OpEraseAt : OpUpdate;
        char key[16];
        std::snprintf(key, sizeof key, "%08u", static_cast<unsigned>(rng() % 1500));
        op.key.assign(key);
        op.key.append(rng() % 32, 'k');
        op.value.assign(rng() % 10 == 0 ? 3000 + rng() % 6000 : rng() % 1500,
                        static_cast<char>('a' + k % 26));
    }
    return ops;
}

void Apply(const std::vector<Op>& ops, Model& model) {
    for (const Op& op : ops) {
        if (op.type == OpInsert) {
            model.emplace(op.key, op.value);
        } else if (op.type == OpErase) {
            model.erase(op.key);
        } else if (op.type == OpEraseAt) {
            auto it = model.lower_bound(op.key);
            if (it != model.end()) model.erase(it);
        } else {
            auto it = model.find(op.key);
            if (it != model.end()) it->second = op.value;
        }
    }
}

void Apply(const std::vector<Op>& ops, TestTree& tree) {
    for (const Op& op : ops) {
        const TestTree::Record key = TestTree::MakeKey(op.key);
        if (op.type == OpInsert) {
            tree.Put(op.key, op.value);
        } else if (op.type == OpErase) {
            tree.Erase(key);
        } else if (op.type == OpEraseAt) {
            const BTreeIterator it = tree.LowerBound(key);
            bool nextValid;
            BTreeIterator next;
            if (!it.IsEnd()) tree.Erase(it, nextValid, next);
        } else {
            const BTreeIterator it = tree.Find(key);
            if (!it.IsEnd()) tree.Update(it, TestTree::Make(op.key, op.value));
        }
    }
}

// Kills the process at its n-th durability point (flush, resize, open).
class KillAt : public TamFile::FileFaultHook {
public:
    explicit KillAt(std::uint32_t n) : n(n) {}
    void At(Point, const std::string&) override {
        if (--n == 0) raise(SIGKILL);
    }

private:
    std::uint32_t n;
};

// Runs transactions 1, 2, ... and writes, durably, the number of the one it
// is about to commit before committing it.
[[noreturn]] void RunChild(const std::string& path, const std::string& side, unsigned seed,
                           std::uint32_t killAt, bool powerLoss) {
    static KillAt hook(killAt);
    if (killAt) TamFile::MemoryMapFile::SetFaultHook(&hook);
    if (powerLoss)
        TamFile::MemoryMapFile::SetPowerLossSimulation(
            TamFile::MemoryMapFile::PowerLossRandomWriteBack, seed);
    try {
        const int fd = open(side.c_str(), O_WRONLY);
        TestTree tree(path);
        for (std::uint32_t k = 1; k <= kChildTransactions; ++k) {
            Apply(Transaction(seed, k), tree);
            if (pwrite(fd, &k, sizeof k, 0) != sizeof k || fsync(fd) != 0) _exit(3);
            tree.PreCommit();
            tree.Commit();
        }
    } catch (...) {
        _exit(2);
    }
    _exit(0);
}

std::uint32_t ReadSide(const std::string& side) {
    return TreeFileBytes(side).Get<std::uint32_t>(0);
}

void ResetSide(const std::string& side) {
    TreeFileBytes(side).WriteAll(std::vector<unsigned char>(sizeof(std::uint32_t), 0));
}

// Kills the child after `delayMs`, or earlier when it ends by itself.
int KillAfter(pid_t pid, std::uint32_t delayMs) {
    int status = 0;
    for (std::uint32_t waited = 0; waited < delayMs; ++waited) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        usleep(1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(CrashKill, EveryKillLeavesTheLastCommittedStateOrTheOneUnderWay) {
    const unsigned seed = 20240611;
    std::printf("seed %u\n", seed);
    std::mt19937 timing(seed);
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    const std::string side = dir.File("side");
    Model base;
    std::map<std::string, int> outcomes;
    for (unsigned round = 0; round < 30; ++round) {
        const unsigned runSeed = seed + round;
        SCOPED_TRACE("round " + std::to_string(round) + " run seed " + std::to_string(runSeed));
        ResetSide(side);
        // Odd rounds die at a durability point, even rounds at a moment in
        // time; every fourth round also loses what was not flushed, as in a
        // power cut.
        const std::uint32_t killAt = round % 2 ? 1 + timing() % 400 : 0;
        const std::uint32_t delayMs = round % 2 ? 5000 : timing() % 250;
        std::fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) RunChild(path, side, runSeed, killAt, round % 4 == 1);
        const int status = KillAfter(pid, delayMs);
        ASSERT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ||
                    (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << "child status " << status;

        const std::uint32_t k = ReadSide(side);
        Model before = base;
        for (std::uint32_t j = 1; j < k; ++j) Apply(Transaction(runSeed, j), before);
        Model after = before;
        if (k > 0) Apply(Transaction(runSeed, k), after);

        if (TreeFileBytes(path).Get<std::uint8_t>(73)) ++outcomes["applying"];
        TestTree tree(path);
        ASSERT_NE(tree.GetCommitState(), TestTree::CommitApplying);
        ASSERT_NO_THROW(tree.ValidateTree());
        if (tree.GetCommitState() == TestTree::CommitReady) {
            ASSERT_EQ(tree.Difference(before), "") << "transaction " << k << " waits";
            // Repeating the PreCommit keeps the waiting transaction.
            if (round % 3 == 0) tree.PreCommit();
            tree.Commit();
            ASSERT_EQ(tree.Difference(after), "") << "transaction " << k << " committed";
            ++outcomes["ready"];
        } else if (tree.Difference(after).empty()) {
            ++outcomes[k == 0 ? "none" : "new"];
        } else {
            ASSERT_EQ(tree.Difference(before), "") << "neither before nor after transaction " << k;
            after = before;
            ++outcomes["old"];
        }
        ASSERT_NO_THROW(tree.ValidateTree());
        // The file takes a normal transaction after the crash.
        const std::vector<Op> following = Transaction(~runSeed, 0);
        Apply(following, tree);
        Apply(following, after);
        tree.PreCommit();
        tree.Commit();
        ASSERT_EQ(tree.Difference(after), "");
        base = after;
    }
    for (const auto& outcome : outcomes)
        std::printf("%s: %d\n", outcome.first.c_str(), outcome.second);
    TestTree tree(path);
    EXPECT_EQ(tree.Difference(base), "");
    EXPECT_NO_THROW(tree.ValidateTree());
}
