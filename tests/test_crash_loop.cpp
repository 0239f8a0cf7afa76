// Crash safety at every durability point. A fixed workload of transactions
// runs in a child process that ends at point 1, 2, 3, ... of the file
// services' flush, growth and open calls, with unflushed writes lost (power
// loss, also with a random part of them written back) or kept (the process
// dies, the system lives on). The parent then reopens the file, validates it,
// checks that it holds the last committed state or the one whose commit was
// under way, and that a following transaction commits normally.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "FaultHook.h"
#include "TestTree.h"

using TamBTree::BTree;
using TamBTree::BTreeTestAccess;
using TamBTreeTest::FaultPlan;
using TamBTreeTest::RamDir;
using TamBTreeTest::TestTree;
using TamFile::MemoryMapFile;

extern char** environ;

namespace {

// Under the sanitizers every point of a smaller workload is covered.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kScale = 1;
constexpr bool kFull = false;
#else
constexpr int kScale = 3;
constexpr bool kFull = true;
#endif
constexpr std::uint32_t kSeed = 20240611;
constexpr std::uint64_t kEntriesPerIndexBlock = 8192;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

using Model = std::map<std::string, std::string>;

Model Contents(TestTree& tree) {
    Model all;
    for (TamBTree::BTreeIterator it = tree.Begin(); it != tree.End(); ++it)
        all.emplace(tree.KeyAt(it), tree.ValueAt(it));
    return all;
}

// Which states a crash may leave: `before` always, `after` while a commit
// (or a pre-commit that a rollback then drops) is under way.
struct Progress {
    std::size_t before = 0;
    std::size_t after = kNone;
};

// The transactions: inserts that split pages and grow the file, updates in
// place and by reinsertion, erases that merge pages and shrink the tree, a
// rollback after a pre-commit, an empty commit. The first operation adds a
// page-index block, since the base tree's next page number is close to the
// end of its only block. The calls are drawn once, from a generator with a
// fixed seed, so that every run makes the same ones; a crashing child only
// replays them.
class Workload {
public:
    // `keepStates`: whether States() is wanted (the child does without).
    Workload(const Model& base, int scale, bool full, bool keepStates)
        : random(kSeed), model(base), committed(base), keepStates(keepStates) {
        if (keepStates) states.push_back(base);
        Insert(120 * scale, 0, 1200);
        Finish(true);
        Update(30 * scale);
        Erase(20 * scale);
        Finish(true);
        if (full) {
            Insert(60 * scale, 2000, 6000);
            Finish(true);
        }
        Insert(40, 0, 800);
        Erase(20);
        Finish(false);
        EraseRange(model.size() / 5, model.size() * 4 / 5);
        Finish(true);
        if (full) {
            Finish(true);
            Insert(80 * scale, 0, 300);
            Finish(true);
        }
        EraseRange(5, model.size());
        Finish(true);
        if (full) {
            Insert(40 * scale, 100, 3000);
            Finish(true);
        }
    }

    // The contents each transaction leaves, states[0] being the base. A
    // dropped transaction leaves two: the one its pre-commit wrote and the
    // committed one again.
    const std::vector<Model>& States() const { return states; }
    std::size_t Size() const { return transactions.size(); }

    void Run(TestTree& tree, Progress& progress) const {
        std::size_t index = 0;
        std::string value;
        for (const Transaction& transaction : transactions) {
            for (const Call& call : transaction.calls) {
                value.assign(call.length, call.fill);
                Apply(tree, call, value);
            }
            progress.after = index + 1;
            tree.PreCommit();
            if (transaction.keep) {
                tree.Commit();
            } else {
                tree.Rollback();
                ++index;
            }
            progress.before = ++index;
            progress.after = kNone;
        }
    }

private:
    // Values are runs of one letter, so a call need not hold its value.
    struct Call {
        enum Kind { Put, Update, Erase } kind;
        std::string key;
        std::uint32_t length;
        char fill;
    };
    struct Transaction {
        std::vector<Call> calls;
        bool keep = true;
    };

    static void Apply(TestTree& tree, const Call& call, const std::string& value) {
        switch (call.kind) {
            case Call::Put:
                tree.Put(call.key, value);
                break;
            case Call::Update:
                tree.Update(tree.Find(TestTree::MakeKey(call.key)),
                            TestTree::Make(call.key, value));
                break;
            case Call::Erase:
                tree.Erase(TestTree::MakeKey(call.key));
                break;
        }
    }

    void Finish(bool keep) {
        current.keep = keep;
        transactions.push_back(std::move(current));
        current = Transaction();
        if (keepStates) states.push_back(model);
        if (keep) {
            committed = model;
        } else {
            model = committed;
            if (keepStates) states.push_back(model);
        }
    }
    // Adds a call and returns the value it writes.
    std::string Add(Call::Kind kind, const std::string& key, std::uint32_t low,
                    std::uint32_t high) {
        Call call{kind, key, 0, 0};
        if (kind != Call::Erase) {
            call.length = low + random() % (high - low + 1);
            call.fill = static_cast<char>('a' + random() % 26);
        }
        current.calls.push_back(call);
        return std::string(call.length, call.fill);
    }
    std::string Pick() {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        return it->first;
    }
    void Insert(int n, std::uint32_t low, std::uint32_t high) {
        for (int i = 0; i < n; ++i) {
            char key[16];
            std::snprintf(key, sizeof key, "k%07u", static_cast<unsigned>(random() % 10000000));
            const std::string value = Add(Call::Put, key, low, high);
            model.emplace(key, value);
        }
    }
    void Update(int n) {
        for (int i = 0; i < n && !model.empty(); ++i) {
            const std::string key = Pick();
            model[key] = Add(Call::Update, key, 0, 5000);
        }
    }
    void Erase(int n) {
        for (int i = 0; i < n && !model.empty(); ++i) {
            const std::string key = Pick();
            Add(Call::Erase, key, 0, 0);
            model.erase(key);
        }
    }
    // Erases the records at positions [first, last) of the key order.
    void EraseRange(std::size_t first, std::size_t last) {
        std::vector<std::string> keys;
        std::size_t i = 0;
        for (const auto& record : model)
            if (i++ >= first && i <= last) keys.push_back(record.first);
        for (const std::string& key : keys) {
            Add(Call::Erase, key, 0, 0);
            model.erase(key);
        }
    }

    std::mt19937 random;
    Model model;
    Model committed;
    bool keepStates;
    Transaction current;
    std::vector<Transaction> transactions;
    std::vector<Model> states;
};

// Records, for every point of a run, which states a crash there may leave.
class Recorder : public TamFile::FileFaultHook {
public:
    explicit Recorder(const Progress& progress) : progress(progress) {
        MemoryMapFile::SetFaultHook(this);
    }
    ~Recorder() override { MemoryMapFile::SetFaultHook(nullptr); }
    void At(Point point, const std::string&) override {
        marks.push_back(progress);
        if (point == BeforeResize) ++resizes;
    }
    const Progress& progress;
    std::vector<Progress> marks;
    int resizes = 0;
};

// A committed tree whose next page number is close enough to the end of its
// only page-index block that the next operation adds a second one. Pages made
// and freed in one transaction keep their numbers until it commits, so a
// churn of large records moves the next page number on. The file is then cut
// after its last used granule: the free tail would only cost copying time,
// and with little free space left the workload grows the file too.
Model BuildBase(const std::string& path) {
    Model model;
    std::uint64_t usedEnd = 0;
    {
        TestTree tree(path);
        const std::string large(12000, 'L');
        const std::uint64_t threshold = kEntriesPerIndexBlock - 20;
        while (BTreeTestAccess::PageCount(tree) < threshold - 30) {
            for (int i = 0; i < 40; ++i) tree.Put("churn" + std::to_string(i), large);
            for (int i = 0; i < 40; ++i) tree.Erase(TestTree::MakeKey("churn" + std::to_string(i)));
        }
        for (int i = 0; BTreeTestAccess::PageCount(tree) < threshold; ++i) {
            const std::string key = "b" + std::to_string(100000 + i * 7);
            const std::string value(200 + i % 900, static_cast<char>('A' + i % 26));
            tree.Put(key, value);
            model.emplace(key, value);
        }
        // No operation may follow: the next one adds the page-index block.
        tree.PreCommit();
        tree.Commit();
        usedEnd = tree.GetDiskSpaceUsed();
        for (const auto& block : BTreeTestAccess::FreeList(tree).BlocksByOffset())
            if (block.first + block.second == usedEnd) usedEnd = block.first;
    }
    EXPECT_EQ(::truncate(path.c_str(), static_cast<off_t>(usedEnd)), 0);
    return model;
}

// Reopens a crashed file and checks it; returns what is wrong, or "".
std::string Recover(const std::string& path, const std::vector<Model>& states, const Progress& at,
                    bool rollbackWaiting) {
    TestTree tree(path);
    tree.ValidateTree();
    Model seen = Contents(tree);
    const Model& before = states[at.before];
    const bool isAfter = at.after != kNone && seen == states[at.after];
    if (tree.GetCommitState() == BTree::CommitReady) {
        if (seen != before) return "a waiting commit shows other than the last committed state";
        if (at.after == kNone) return "a commit waits where none was under way";
        if (rollbackWaiting) {
            tree.Rollback();
        } else {
            tree.Commit();
            seen = Contents(tree);
            if (seen != states[at.after]) return "the waiting commit installs other contents";
        }
        tree.ValidateTree();
    } else if (seen != before && !isAfter) {
        return "the contents are neither the committed state nor the one being committed";
    }
    if (tree.GetCommitState() != BTree::CommitIdle) return "the commit state is not idle";
    Model expected = Contents(tree);
    for (int i = 0; i < 20; ++i) {
        const std::string key = "following" + std::to_string(i);
        tree.Put(key, key);
        expected[key] = key;
    }
    for (int i = 0; i < 5 && !expected.empty(); ++i) {
        const std::string key = expected.begin()->first;
        tree.Erase(TestTree::MakeKey(key));
        expected.erase(key);
    }
    tree.PreCommit();
    tree.Commit();
    tree.ValidateTree();
    if (Contents(tree) != expected) return "the following transaction lost records";
    return "";
}

// The crashing child is this program run anew (a fork would share the
// parent's memory copy-on-write, and on some virtual machines every first
// write to a shared page costs more than the whole workload). The child finds
// its task in the environment: base file, file, mode, point.
constexpr char kChildTask[] = "TAMBTREE_CRASH_CHILD";
constexpr char kTestName[] = "CrashLoop.EveryDurabilityPointRecoversToACommittedState";

[[noreturn]] void RunChild(const char* task) {
    char base[4096];
    char path[4096];
    int mode = 0;
    unsigned long long point = 0;
    if (std::sscanf(task, "%4095[^|]|%4095[^|]|%d|%llu", base, path, &mode, &point) != 4)
        ::_exit(2);
    int code = 0;
    try {
        TamBTreeTest::Options readOnly;
        readOnly.readOnly = true;
        Model model;
        {
            TestTree tree(base, readOnly);
            model = Contents(tree);
        }
        const Workload workload(model, kScale, kFull, false);
        const auto simulation = static_cast<MemoryMapFile::PowerLoss>(mode);
        MemoryMapFile::SetPowerLossSimulation(simulation, kSeed + point);
        FaultPlan plan;
        plan.Arm(point, FaultPlan::Exit);
        TestTree tree(path);
        Progress progress;
        workload.Run(tree, progress);
    } catch (...) {
        code = 3;
    }
    ::_exit(code);
}

// Runs the workload in a child that ends at `point`; returns its exit code.
int CrashAt(const std::string& base, const std::string& path, MemoryMapFile::PowerLoss mode,
            std::uint64_t point) {
    const std::string task = std::string(kChildTask) + "=" + base + "|" + path + "|" +
                             std::to_string(static_cast<int>(mode)) + "|" + std::to_string(point);
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable) environment.push_back(*variable);
    environment.push_back(task);
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string filter = std::string("--gtest_filter=") + kTestName;
    char* argv[] = {&program[0], &filter[0], nullptr};
    // The child's own test report would only clutter the parent's.
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &quiet, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const char* ModeName(MemoryMapFile::PowerLoss mode) {
    switch (mode) {
        case MemoryMapFile::PowerLossUnflushed:
            return "power loss";
        case MemoryMapFile::PowerLossRandomWriteBack:
            return "power loss with random write-back";
        default:
            return "process death";
    }
}

TEST(CrashLoop, EveryDurabilityPointRecoversToACommittedState) {
    if (const char* task = std::getenv(kChildTask)) RunChild(task);
    RamDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string base = dir.File("base.bt");
    const std::string path = dir.File("crash.bt");
    const Workload workload(BuildBase(base), kScale, kFull, true);
    const std::vector<Model>& states = workload.States();

    // A clean run tells how many points there are and what each may leave.
    std::vector<Progress> marks;
    {
        std::filesystem::copy_file(base, path, std::filesystem::copy_options::overwrite_existing);
        Progress progress;
        Recorder recorder(progress);
        TestTree tree(path);
        EXPECT_EQ(BTreeTestAccess::PageIndexBlocks(tree).size(), 1u);
        workload.Run(tree, progress);
        EXPECT_EQ(BTreeTestAccess::PageIndexBlocks(tree).size(), 2u);
        EXPECT_GT(recorder.resizes, 0) << "the workload must grow the file";
        marks = recorder.marks;
        tree.ValidateTree();
        EXPECT_EQ(Contents(tree), states.back());
    }
    std::printf("crash loop: seed %u, %zu transactions, %zu durability points\n", kSeed,
                workload.Size(), marks.size());

    std::vector<std::string> failures;
    for (MemoryMapFile::PowerLoss mode :
         {MemoryMapFile::PowerLossUnflushed, MemoryMapFile::PowerLossRandomWriteBack,
          MemoryMapFile::PowerLossOff}) {
        std::size_t covered = 0;
        for (std::uint64_t point = 1; point <= marks.size(); ++point) {
            std::filesystem::copy_file(base, path,
                                       std::filesystem::copy_options::overwrite_existing);
            const int code = CrashAt(base, path, mode, point);
            std::string problem;
            if (code != FaultPlan::EXIT_CODE) {
                problem = "the child ended with " + std::to_string(code);
            } else {
                ++covered;
                try {
                    problem = Recover(path, states, marks[point - 1], point % 2 == 1);
                } catch (const std::exception& e) {
                    problem = std::string("exception: ") + e.what();
                }
            }
            if (!problem.empty())
                failures.push_back(std::string(ModeName(mode)) + ", point " +
                                   std::to_string(point) + ": " + problem);
        }
        std::printf("crash loop: %s: %zu of %zu points covered\n", ModeName(mode), covered,
                    marks.size());
        std::fflush(stdout);
    }
    std::printf("crash loop: %zu failures\n", failures.size());
    for (std::size_t i = 0; i < failures.size() && i < 20; ++i) ADD_FAILURE() << failures[i];
    EXPECT_TRUE(failures.empty());
}

// The simulation itself: without a flush a write is lost to a power cut but
// kept when only the process dies; the random variant keeps some of them.
TEST(CrashLoop, PowerLossSimulationKeepsOnlyWhatReachedTheFile) {
    RamDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string path = dir.File("plain.bin");
    constexpr std::uint64_t kGranule = 65536;
    constexpr int kPages = 64;
    auto run = [&](MemoryMapFile::PowerLoss mode) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            MemoryMapFile::SetPowerLossSimulation(mode, kSeed);
            MemoryMapFile file(path);
            file.Open(TamFile::OpenCreate);
            file.Resize(3 * kGranule);
            unsigned char* flushed = file.GetView(0);
            flushed[10] = 1;
            file.FlushView(0, 16);
            unsigned char* unflushed = file.GetView(kGranule, 2 * kGranule);
            for (int i = 0; i < kPages; ++i) unflushed[i * 2048] = 2;
            file.Resize(4 * kGranule);  // a point at which the random variant writes back
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        std::FILE* f = std::fopen(path.c_str(), "rb");
        std::vector<unsigned char> bytes(3 * kGranule);
        EXPECT_EQ(std::fread(bytes.data(), bytes.size(), 1, f), 1u);
        std::fclose(f);
        EXPECT_EQ(bytes[10], 1) << ModeName(mode);
        int kept = 0;
        for (int i = 0; i < kPages; ++i) kept += bytes[kGranule + i * 2048] == 2;
        return kept;
    };
    EXPECT_EQ(run(MemoryMapFile::PowerLossUnflushed), 0);
    const int some = run(MemoryMapFile::PowerLossRandomWriteBack);
    EXPECT_GT(some, 0);
    EXPECT_LT(some, kPages);
    EXPECT_EQ(run(MemoryMapFile::PowerLossOff), kPages);
}

}  // namespace
