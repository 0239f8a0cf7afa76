// Crash safety. A fixed workload of transactions (one-phase and two-phase
// commits, rollbacks) runs in a child process that ends at durability point
// 1, 2, 3, ... of the file services' flush, growth and open calls, with
// unflushed writes lost (power loss, also with random parts of them written
// back at those points and between them) or kept (the process dies, the
// system lives on). The parent then reopens the file, validates it, checks that
// it holds the last committed state or the one whose commit was under way,
// that a pre-commit that returned left its transaction waiting, that the
// file a clean close left is idle, and that a following transaction commits
// normally. With any one flush of the commit schedule dropped, the same loop
// finds a crash that breaks one of these.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "FaultPlan.h"
#include "PowerLoss.h"
#include "TreeChecks.h"
#include "TreeFileBytes.h"

using namespace TamBTreeTest;
using TamBTree::BTreeTestAccess;

extern char** environ;

namespace {

constexpr std::uint32_t kSeed = 20240611;

// How a crashing child ends: the process dies and the system lives on, or the
// power fails (unflushed writes lost, or lost but for a random part of them).
enum CrashMode { PowerLossOff, PowerLossUnflushed, PowerLossRandomWriteBack };
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Which states a crash may leave: `before` always, `after` while a commit
// (or a pre-commit that a rollback then drops, or a sync) is under way; once a
// PreCommit has returned (`prepared`), only a waiting `before` or `after`.
// `lost`: what a power loss (not a process crash) may leave besides, the
// commit before the last under Normal durability.
struct Progress {
    std::size_t before = 0;
    std::size_t after = kNone;
    bool prepared = false;
    std::size_t lost = kNone;
};

using TamBTree::Durability;
// Deferred durability syncs by itself every this many commits here.
constexpr std::uint32_t kSyncEvery = 2;

// The transactions: random inserts (a tenth of the values large enough to
// grow the file), erasures and updates; one rolled back, one dropped by a
// rollback after its pre-commit; the erasure of all but five records, which
// merges the tree down to its root; an empty commit; new records in the freed
// space. Each way to end a transaction follows each other one, and two
// commits follow each other (which Normal durability flushes once each). The workload
// adds a page-index block, since the base tree's next page number is close to the
// end of its only block. Each is drawn from its own seed, so a crashing child
// replays them exactly.
enum Ending { CommitNow, TwoPhase, Discard, PreCommitThenRollback };
struct Step {
    int ops;  // -1: erase all but five records
    Ending ending;
};
// Under the sanitizers every point of a smaller workload is covered.
#if defined(__SANITIZE_ADDRESS__)
const Step kSteps[] = {
    {100, CommitNow}, {30, CommitNow}, {20, Discard}, {40, TwoPhase}, {30, PreCommitThenRollback},
    {-1, CommitNow}};
#else
const Step kSteps[] = {{200, CommitNow},
                       {50, CommitNow},
                       {30, Discard},
                       {120, TwoPhase},
                       {40, PreCommitThenRollback},
                       {-1, CommitNow},
                       {0, TwoPhase},
                       {60, CommitNow},
                       {80, TwoPhase}};
#endif

using States = std::vector<UniqueModel>;

// Runs the transactions on `tree`, or on the models alone (tree null), and
// returns the contents each leaves, [0] being `base`; one dropped after its
// pre-commit leaves two, the contents its pre-commit wrote and the committed
// ones again. `progress` follows what a crash may leave under `mode`: the last
// commit that returned (Full), also the one before it after a power loss
// (Normal), or the last synced one (Deferred, which syncs before a pre-commit
// or a rollback, every kSyncEvery commits, and at rest).
States RunWorkload(UniqueModel base, TestTree* tree, Progress& progress,
                   Durability mode = Durability::Full) {
    States states{base};
    std::size_t committed = 0;
    // Deferred: the last synced state; Normal: the commit before the last,
    // until a sync makes the last one's head durable.
    std::size_t durable = 0;
    std::uint32_t gathered = 0;
    const auto crashFinds = [&](std::size_t after) {
        if (mode == Durability::Deferred)
            progress = Progress{durable, after};
        else
            progress =
                Progress{committed, after, false, mode == Durability::Normal ? durable : kNone};
    };
    const auto sync = [&] {
        if (mode == Durability::Full) return;
        crashFinds(committed);
        if (tree) tree->Sync();
        durable = committed;
        gathered = 0;
        crashFinds(kNone);
    };
    for (std::size_t step = 0; step < std::size(kSteps); ++step) {
        const Ending ending = kSteps[step].ending;
        UniqueModel next = base;
        std::mt19937 rng(kSeed + static_cast<unsigned>(step));
        if (kSteps[step].ops >= 0) Mutate(tree, next, rng, kSteps[step].ops);
        while (kSteps[step].ops < 0 && next.size() > 5) {
            if (tree) tree->Erase(TestTree::MakeKey(next.rbegin()->first));
            next.erase(std::prev(next.end()));
        }
        if (ending != CommitNow) sync();
        if (ending != Discard) states.push_back(next);
        const std::size_t under = states.size() - 1;
        if (ending == CommitNow) {
            const bool syncs = mode == Durability::Deferred && ++gathered == kSyncEvery;
            crashFinds(mode != Durability::Deferred || syncs ? under : kNone);
            if (tree) tree->CommitNow();
            if (mode == Durability::Normal) durable = committed;
            if (syncs) durable = under, gathered = 0;
            committed = under;
            crashFinds(kNone);
        } else if (ending == TwoPhase) {
            crashFinds(under);
            if (tree) tree->PreCommit();
            progress.prepared = true;
            if (tree) tree->Commit();
            committed = durable = under;
        } else {
            if (ending == PreCommitThenRollback) crashFinds(under);
            if (tree && ending == PreCommitThenRollback) tree->PreCommit();
            progress.prepared = false;
            if (tree) tree->Rollback();
            states.push_back(base);
            committed = durable = states.size() - 1;
        }
        if (ending != Discard && ending != PreCommitThenRollback) base = next;
        crashFinds(kNone);
    }
    // At rest the tree syncs what it gathered.
    if (mode != Durability::Full) crashFinds(committed);
    return states;
}

// The life of a new file: created and filled; a transaction pre-committed,
// the file closed and reopened, the waiting block committed; another one
// pre-committed, reopened and rolled back; a last one committed. Runs on a
// tree at `path` when `live`, else on the models alone.
States RunLifecycle(const std::string& path, bool live, Progress& progress) {
    States states{UniqueModel()};
    std::optional<TestTree> tree;
    if (live) tree.emplace(path);
    const auto live_tree = [&]() -> TestTree* { return live ? &*tree : nullptr; };
    UniqueModel committed;
    std::mt19937 rng(kSeed);
    const auto change = [&](int ops) {
        UniqueModel next = committed;
        Mutate(live_tree(), next, rng, ops);
        states.push_back(next);
        progress.after = states.size() - 1;
        return next;
    };
    committed = change(300);
    if (live) tree->CommitNow();
    progress = Progress{states.size() - 1};
    for (const bool commit : {true, false}) {
        const UniqueModel next = change(60);
        if (live) tree->PreCommit();
        progress.prepared = commit;
        if (live) {
            tree.reset();
            tree.emplace(path);
        }
        if (live) commit ? tree->Commit() : tree->Rollback();
        if (commit) committed = next;
        if (!commit) states.push_back(committed);
        progress = Progress{states.size() - 1};
    }
    committed = change(40);
    if (live) tree->CommitNow();
    progress = Progress{states.size() - 1};
    return states;
}

// A committed tree whose next page number is close enough to the end of its
// only page-index block that the next operation adds a second one. Pages made
// and freed in one transaction keep their numbers until it commits, so a
// churn of large records moves the next page number on. The file is then cut
// after its last used granule: the free tail would only cost copying time,
// and with little free space left the workload grows the file too.
UniqueModel BuildBase(const std::string& path) {
    UniqueModel model;
    std::uint64_t usedEnd = 0;
    {
        TestTree tree(path);
        const std::uint64_t threshold = 8192 - 20;
        while (BTreeTestAccess::PageCount(tree) < threshold - 30) {
            for (int i = 0; i < 40; ++i)
                tree.Put("churn" + std::to_string(i), std::string(12000, 'L'));
            for (int i = 0; i < 40; ++i) tree.Erase(TestTree::MakeKey("churn" + std::to_string(i)));
        }
        // A write first secures index entries for the pages it may take: three
        // per level and a root. The base ends where the next write must add
        // the page-index block.
        const auto reserve = [&] { return 3 * tree.GetStatistics().height + 1; };
        for (int i = 0; BTreeTestAccess::PageCount(tree) + reserve() < 8192; ++i) {
            const std::string key = "b" + std::to_string(100000 + i * 7);
            const std::string value(200 + i % 900, static_cast<char>('A' + i % 26));
            tree.Put(key, value);
            model.emplace(key, value);
        }
        tree.CommitNow();
        usedEnd = BTreeTestAccess::UsedEnd(tree);
    }
    EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(usedEnd)), 0);
    return model;
}

// Reopens a crashed file and checks it; returns what is wrong, or "". A file
// that ended at the last point, after the tree's last flush, is at rest.
std::string Recover(const std::string& path, const States& states, const Progress& at,
                    bool rollbackWaiting, bool atRest, bool powerLost = true) {
    if (atRest && !TreeFileBytes(path).IdleHead()) return "the file a clean close left is not idle";
    TestTree tree(path);
    tree.ValidateTree();
    const bool isBefore =
        tree.Difference(states[at.before]).empty() ||
        (powerLost && at.lost != kNone && tree.Difference(states[at.lost]).empty());
    const bool isAfter = at.after != kNone && tree.Difference(states[at.after]).empty();
    if (tree.GetCommitState() == TestTree::CommitReady) {
        if (!isBefore) return "a waiting commit shows other than the last committed state";
        if (at.after == kNone) return "a commit waits where none was under way";
        if (rollbackWaiting) {
            tree.Rollback();
        } else {
            tree.Commit();
            if (!tree.Difference(states[at.after]).empty())
                return "the waiting commit installs other contents";
        }
        tree.ValidateTree();
    } else if (!isBefore && !isAfter) {
        return "the contents are neither the committed state nor the one being committed";
    } else if (at.prepared && !isAfter) {
        return "a pre-committed transaction was lost";
    }
    if (tree.GetCommitState() != TestTree::CommitIdle) return "the commit state is not idle";
    const auto contents = tree.Contents();
    UniqueModel expected(contents.begin(), contents.end());
    std::mt19937 rng(at.before);
    Mutate(&tree, expected, rng, 40);
    tree.CommitNow();
    tree.ValidateTree();
    if (!tree.Difference(expected).empty()) return "the following transaction lost records";
    return "";
}

// The crashing child is this program run anew (a fork would share the
// parent's memory copy-on-write, and on some virtual machines every first
// write to a shared page costs more than the whole workload). The child finds
// its task in the environment: file, mode, point, dropped flush, scenario.
constexpr char kChildTask[] = "TAMBTREE_CRASH_CHILD";
constexpr char kTestName[] = "CrashLoop.EveryDurabilityPointRecoversToACommittedState";

[[noreturn]] void RunChild(const char* task) {
    char path[4096];
    int mode = 0, dropped = 0, lifecycle = 0, durability = 0;
    unsigned long long point = 0;
    if (std::sscanf(task, "%4095[^|]|%d|%llu|%d|%d|%d", path, &mode, &point, &dropped, &lifecycle,
                    &durability) != 6)
        ::_exit(2);
    BTreeTestAccess::DropFlush(dropped);
    try {
        std::optional<PowerLoss> simulation;
        if (mode != PowerLossOff)
            simulation.emplace(
                mode == PowerLossUnflushed ? PowerLoss::Unflushed : PowerLoss::RandomWriteBack,
                kSeed + point);
        FaultPlan plan;
        plan.Arm(point, FaultPlan::Exit);
        Progress progress;
        if (lifecycle) {
            RunLifecycle(path, true, progress);
            ::_exit(0);
        }
        TestTree tree(path);
        tree.SetDurability(static_cast<Durability>(durability), kSyncEvery);
        const auto base = tree.Contents();
        RunWorkload(UniqueModel(base.begin(), base.end()), &tree, progress,
                    static_cast<Durability>(durability));
    } catch (...) {
        ::_exit(3);
    }
    ::_exit(0);
}

// Runs the workload in a child that ends at `point`; returns its exit code.
int CrashAt(const std::string& path, CrashMode mode, std::uint64_t point, int dropped,
            bool lifecycle = false, Durability durability = Durability::Full) {
    const std::string task = path + "|" + std::to_string(int(mode)) + "|" + std::to_string(point) +
                             "|" + std::to_string(dropped) + "|" + std::to_string(int(lifecycle)) +
                             "|" + std::to_string(int(durability));
    ::setenv(kChildTask, task.c_str(), 1);
    std::string program = "/proc/self/exe";
    std::string filter = std::string("--gtest_filter=") + kTestName;
    char* argv[] = {&program[0], &filter[0], nullptr};
    // The child's own test report would only clutter the parent's.
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &quiet, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&quiet);
    ::unsetenv(kChildTask);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const char* const kModeNames[] = {"process death", "power loss",
                                  "power loss with random write-back"};

// A clean run of the workload: what each durability point may leave.
std::vector<Progress> RecordPoints(const BaseAndCopy& files, const States& states,
                                   Durability durability = Durability::Full) {
    std::vector<Progress> marks;
    files.Fresh();
    Progress progress;
    int resizes = 0;
    FaultPlan recorder;
    recorder.observe = [&](FaultPlan::Point point) {
        marks.push_back(progress);
        resizes += point == FaultPlan::BeforeResize;
    };
    TestTree tree(files.path);
    tree.SetDurability(durability, kSyncEvery);
    EXPECT_EQ(BTreeTestAccess::PageIndexBlocks(tree).size(), 1u);
    EXPECT_TRUE(RunWorkload(states[0], &tree, progress, durability) == states);
    EXPECT_EQ(BTreeTestAccess::PageIndexBlocks(tree).size(), 2u);
    EXPECT_GT(resizes, 0) << "the workload must grow the file";
    EXPECT_EQ(tree.Difference(states.back()), "");
    return marks;
}

// Crashes the workload at `point` and checks the file; returns what is
// wrong, or "".
std::string CrashAndRecover(const BaseAndCopy& files, const States& states,
                            const std::vector<Progress>& marks, CrashMode mode, std::uint64_t point,
                            int dropped, Durability durability = Durability::Full) {
    files.Fresh();
    const int code = CrashAt(files.path, mode, point, dropped, false, durability);
    if (code != FaultPlan::EXIT_CODE) return "the child ended with " + std::to_string(code);
    try {
        return Recover(files.path, states, marks[point - 1], point % 2 == 1, point == marks.size(),
                       mode != PowerLossOff);
    } catch (const std::exception& e) {
        return std::string("exception: ") + e.what();
    }
}

// Crashes the workload under `durability` at every point, in every way.
void CrashEverywhere(Durability durability) {
    const BaseAndCopy files;
    Progress none;
    const States states = RunWorkload(BuildBase(files.base), nullptr, none, durability);
    const std::vector<Progress> marks = RecordPoints(files, states, durability);
    std::printf("crash loop: seed %u, %zu durability points\n", kSeed, marks.size());
    std::vector<std::string> failures;
    for (const auto mode : {PowerLossUnflushed, PowerLossRandomWriteBack, PowerLossOff}) {
        for (std::uint64_t point = 1; point <= marks.size(); ++point) {
            const std::string problem = CrashAndRecover(files, states, marks, mode, point,
                                                        BTreeTestAccess::NoFlush, durability);
            if (!problem.empty())
                failures.push_back(std::string(kModeNames[mode]) + ", point " +
                                   std::to_string(point) + ": " + problem);
        }
    }
    for (std::size_t i = 0; i < failures.size() && i < 20; ++i) ADD_FAILURE() << failures[i];
    EXPECT_TRUE(failures.empty()) << failures.size() << " failures";
}

TEST(CrashLoop, EveryDurabilityPointRecoversToACommittedState) {
    if (const char* task = std::getenv(kChildTask)) RunChild(task);
    CrashEverywhere(Durability::Full);
}

// One flush per commit: a power loss may take back the last commit, nothing
// more, and a process crash nothing.
TEST(CrashLoop, NormalDurabilityLosesAtMostTheLastCommitToAPowerLoss) {
    CrashEverywhere(Durability::Normal);
}

// No flush at commit: any crash finds the last synced state.
TEST(CrashLoop, DeferredDurabilityRecoversTheLastSyncedState) {
    CrashEverywhere(Durability::Deferred);
}

// A crash while a file is created opens as an empty tree; one while a block
// left waiting by a closed file is committed or rolled back after the reopen,
// as the state before or after it.
TEST(CrashLoop, CreationAndWaitingBlocksAfterAReopenRecoverAtEveryPoint) {
    const TempDir dir(true);
    const std::string path = dir.File("life.bt");
    Progress progress;
    std::vector<Progress> marks;
    States states;
    {
        FaultPlan recorder;
        recorder.observe = [&](FaultPlan::Point) { marks.push_back(progress); };
        states = RunLifecycle(path, true, progress);
    }
    Progress none;
    EXPECT_TRUE(RunLifecycle(path, false, none) == states);
    std::printf("life of a file: %zu durability points\n", marks.size());
    std::vector<std::string> failures;
    for (const auto mode : {PowerLossUnflushed, PowerLossRandomWriteBack, PowerLossOff}) {
        for (std::uint64_t point = 1; point <= marks.size(); ++point) {
            std::filesystem::remove(path);
            const int code = CrashAt(path, mode, point, BTreeTestAccess::NoFlush, true);
            std::string problem =
                code == FaultPlan::EXIT_CODE ? "" : "the child ended with " + std::to_string(code);
            try {
                if (problem.empty())
                    problem = Recover(path, states, marks[point - 1], point % 2 == 1,
                                      point == marks.size());
            } catch (const std::exception& e) {
                problem = std::string("exception: ") + e.what();
            }
            if (!problem.empty())
                failures.push_back(std::string(kModeNames[mode]) + ", point " +
                                   std::to_string(point) + ": " + problem);
        }
    }
    for (std::size_t i = 0; i < failures.size() && i < 20; ++i) ADD_FAILURE() << failures[i];
    EXPECT_TRUE(failures.empty()) << failures.size() << " failures";
}

// Each flush of the schedule is needed: without it some crash of the same
// loop opens wrongly, loses a returned commit or pre-commit, or leaves a
// closed file applying. (The flush of a rollback that drops a ready block is
// not among them: the simulation writes everything back when the file is
// closed, and a rollback closes it.)
TEST(CrashLoop, DroppingAnyFlushOfTheScheduleBreaksSomeCrash) {
    const BaseAndCopy files;
    const UniqueModel base = BuildBase(files.base);
    for (const auto& [durability, dropped] : BTreeTestAccess::ScheduleFlushes()) {
        Progress none;
        const States states = RunWorkload(base, nullptr, none, durability);
        BTreeTestAccess::DropFlush(dropped);
        const std::vector<Progress> marks = RecordPoints(files, states, durability);
        BTreeTestAccess::DropFlush(BTreeTestAccess::NoFlush);
        std::string found;
        for (const auto mode : {PowerLossUnflushed, PowerLossRandomWriteBack})
            for (std::uint64_t point = 1; point <= marks.size() && found.empty(); ++point)
                found = CrashAndRecover(files, states, marks, mode, point, dropped, durability);
        EXPECT_NE(found, "") << "flush " << dropped << " dropped, yet every crash recovers";
        std::printf("mode %d, flush %d dropped: %s\n", int(durability), dropped, found.c_str());
    }
}

}  // namespace
