// Readers in other processes while one process writes. A writer process
// commits transaction k = 1, 2, 3, ..., each drawn from (seed, k) and storing
// "#seq" -> k, so the state after commit k is known to every process. Reader
// processes open the tree read-only, take snapshots and check every record of
// each against the state for the k it holds, re-check snapshots they kept
// after the writer moved on, and read through the tree itself, moved forward
// by Rollback. The parent kills readers and writers with SIGKILL at random
// moments and starts new ones; after each writer kill a fresh reader checks
// what the writer left. Reproduce a run with TAMBTREE_PROCS_SEED=<seed>.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ByteTree.h"
#include "TestTree.h"

using TamBTree::ByteTree;
using TamBTree::Durability;
using TamBTreeTest::Key;

namespace {

using Model = std::map<std::string, std::string>;

constexpr unsigned kDefaultSeed = 20261207;
constexpr std::uint32_t kKeys = 1500;
constexpr int kReaders = 3;
// How a child that found a fault ends, and how one that threw ends.
constexpr int kMismatch = 77;
constexpr int kThrew = 78;

// What the processes share: the last commit the writer saw return, packed as
// writer generation << 33 | writer being killed << 32 | k; and counters.
struct Shared {
    std::atomic<std::uint64_t> published;
    std::atomic<std::uint64_t> snapshots;
    std::atomic<std::uint64_t> rollbacks;
};
std::uint64_t Pack(std::uint64_t gen, bool dying, std::uint64_t k) {
    return gen << 33 | std::uint64_t(dying) << 32 | k;
}
std::uint64_t GenOf(std::uint64_t p) {
    return p >> 33;
}
bool Dying(std::uint64_t p) {
    return (p >> 32) & 1;
}
std::uint64_t KOf(std::uint64_t p) {
    return p & 0xffffffffu;
}

// The run the children inherit through fork.
struct Run {
    unsigned seed = kDefaultSeed;
    std::string path;
    Durability durability = Durability::Full;
    const char* name = "Full";  // the durability, for diagnostics
    std::uint32_t largest = 0;  // the largest value a record with an 8-byte key holds
    Shared* shared = nullptr;
} run;

[[noreturn]] void Fail(const std::string& who, const std::string& what) {
    std::fprintf(stderr, "FAULT in %s (pid %d, seed %u, %s): %s\n", who.c_str(), int(::getpid()),
                 run.seed, run.name, what.c_str());
    std::fflush(stderr);
    ::_exit(kMismatch);
}

// A value whose bytes say which commit and which change wrote it.
std::string Value(std::uint64_t k, std::uint32_t i, std::uint32_t length) {
    std::string v = std::to_string(k) + "." + std::to_string(i) + ":";
    v.resize(std::max<std::size_t>(length, v.size()), char('a' + (k + i) % 26));
    return v;
}

// Transaction k: puts, erasures and updates, runs of new records (splits) and
// of erasures (merges), values from empty to the largest; then "#seq" -> k.
// Applied to the model, to the tree, or both.
void Apply(std::uint64_t k, Model* model, ByteTree* tree) {
    std::seed_seq seq{run.seed, unsigned(k), unsigned(k >> 32)};
    std::mt19937 rng(seq);
    const auto put = [&](const std::string& key, const std::string& value) {
        if (model) (*model)[key] = value;
        if (tree) tree->Put(key, value);
    };
    const auto erase = [&](const std::string& key) {
        if (model) model->erase(key);
        if (tree) (void)tree->Erase(key);
    };
    const std::uint32_t ops = 1 + rng() % 20;
    for (std::uint32_t i = 0; i < ops; ++i) {
        const std::uint32_t n = rng() % kKeys;
        const std::uint32_t roll = rng() % 100;
        const std::uint32_t length = roll < 3    ? run.largest - rng() % 64
                                     : roll < 15 ? 300 + rng() % 3000
                                                 : rng() % 60;
        const std::uint32_t op = rng() % 20;
        if (op < 13) {
            put(Key(n), Value(k, i, length));
        } else if (op < 17) {
            erase(Key(n));
        } else if (op < 19) {
            for (std::uint32_t j = n; j < n + 40 && j < kKeys; ++j) erase(Key(j));
        } else {
            for (std::uint32_t j = n; j < n + 30 && j < kKeys; ++j)
                put(Key(j), Value(k, i, rng() % 40));
        }
    }
    put("#seq", std::to_string(k));
}

// The state after commit k, moved forward from the one it holds, or rebuilt.
struct Replay {
    Model model;
    std::uint64_t k = 0;
    const Model& At(std::uint64_t to) {
        if (to < k) model.clear(), k = 0;
        while (k < to) Apply(++k, &model, nullptr);
        return model;
    }
};

template <class View>
std::uint64_t SeqOf(const View& view, const std::string& who) {
    const std::optional<std::string> seq = view.Get("#seq");
    if (!seq) return 0;
    if (seq->empty() || seq->find_first_not_of("0123456789") != std::string::npos)
        Fail(who, "\"#seq\" holds \"" + seq->substr(0, 40) + "\"");
    return std::stoull(*seq);
}

// The first difference between a tree or snapshot and `model`: a scan of
// every record, the size, the last record and look-ups; empty when they agree.
template <class View>
std::string Difference(const View& view, const Model& model, std::mt19937& rng) {
    auto m = model.begin();
    std::size_t i = 0;
    for (auto [key, value] : view.Records()) {
        if (m == model.end()) return "record " + std::to_string(i) + " beyond the end";
        if (key != m->first || value != m->second)
            return "record " + std::to_string(i) + ": read " + std::string(key) + " = " +
                   std::string(value.substr(0, 24)) + " (" + std::to_string(value.size()) +
                   " bytes), expected " + m->first + " = " + m->second.substr(0, 24) + " (" +
                   std::to_string(m->second.size()) + " bytes)";
        ++m, ++i;
    }
    if (m != model.end()) return "scan ends after " + std::to_string(i) + " records";
    if (view.Size() != model.size()) return "size " + std::to_string(view.Size());
    const auto last = view.Reversed().begin();
    if (model.empty() ? !last.IsEnd() : last.IsEnd() || last.Key() != model.rbegin()->first)
        return "backward scan starts elsewhere";
    for (int probe = 0; probe < 4; ++probe) {
        const std::string key = Key(rng() % kKeys);
        const auto found = model.find(key);
        if (view.Get(key) !=
            (found == model.end() ? std::nullopt : std::optional<std::string>(found->second)))
            return "look-up of " + key;
    }
    return std::string();
}

// A child's life: it dies with the parent, and what throws ends it as kThrew.
[[noreturn]] void Child(const std::string& who, const std::function<void()>& body) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    try {
        if (::getppid() != 1) body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s (%s) threw: %s\n", who.c_str(), run.name, e.what());
    }
    ::_exit(kThrew);
}

ByteTree::Options ReadOnly() {
    ByteTree::Options options;
    options.readOnly = true;
    options.mode = ByteTree::OpenOnly;
    return options;
}

// Checks that k, read from a view taken between the loads `before` and
// `after` of what the writer published, is a state the writer committed then.
// Under Deferred durability a writer's death may take back unsynced commits,
// so only a view taken while one writer lived throughout is bounded.
void CheckBounds(std::uint64_t k, std::uint64_t before, std::uint64_t after,
                 const std::string& who) {
    const bool oneWriter = GenOf(before) == GenOf(after) && !Dying(before) && !Dying(after);
    if (run.durability == Durability::Deferred && !oneWriter) return;
    if (k < KOf(before))
        Fail(who, "read commit " + std::to_string(k) + " after commit " +
                      std::to_string(KOf(before)) + " had returned");
    if (k > KOf(after) + 1)
        Fail(who, "read commit " + std::to_string(k) + " while the writer had returned from " +
                      std::to_string(KOf(after)));
}

// A reader: snapshots checked one after the other, some kept and checked
// again later, and the read-only tree itself moved forward now and then.
[[noreturn]] void Reader(Replay replay, unsigned readerSeed) {
    const std::string who = "reader " + std::to_string(readerSeed);
    Child(who, [&] {
        std::mt19937 rng(readerSeed);
        std::uint64_t before = run.shared->published.load();
        ByteTree tree(run.path, ReadOnly());
        std::uint64_t pinnedK = SeqOf(tree, who);
        CheckBounds(pinnedK, before, run.shared->published.load(), who + ", opening");
        std::string d = Difference(tree, replay.At(pinnedK), rng);
        if (!d.empty()) Fail(who, "tree at commit " + std::to_string(pinnedK) + ": " + d);
        Model pinned = replay.model;
        // The highest commit read, and the writer it was read under.
        std::uint64_t highest = pinnedK, highestGen = GenOf(before);
        const auto forward = [&](std::uint64_t k, std::uint64_t b, std::uint64_t a,
                                 const std::string& what) {
            CheckBounds(k, b, a, who + ", " + what);
            const bool oneWriter = GenOf(b) == GenOf(a) && !Dying(b) && !Dying(a);
            if (run.durability == Durability::Deferred && (!oneWriter || GenOf(b) != highestGen))
                highest = 0;
            if (k < highest)
                Fail(who, what + " read commit " + std::to_string(k) + " after commit " +
                              std::to_string(highest));
            highest = k, highestGen = GenOf(b);
        };
        struct Kept {
            ByteTree::Snapshot snapshot;
            std::uint64_t k;
            Model model;
        };
        std::vector<Kept> kept;
        for (;;) {
            before = run.shared->published.load();
            ByteTree::Snapshot snapshot = tree.TakeSnapshot();
            const std::uint64_t after = run.shared->published.load();
            const std::uint64_t k = SeqOf(snapshot, who);
            forward(k, before, after, "snapshot");
            d = Difference(snapshot, replay.At(k), rng);
            if (!d.empty()) Fail(who, "snapshot of commit " + std::to_string(k) + ": " + d);
            run.shared->snapshots.fetch_add(1);
            if (rng() % 8 == 0) {
                kept.push_back(Kept{std::move(snapshot), k, replay.model});
                if (kept.size() > 3) kept.erase(kept.begin() + rng() % kept.size());
            }
            if (rng() % 16 == 0) {
                for (const Kept& old : kept) {
                    d = Difference(old.snapshot, old.model, rng);
                    if (!d.empty())
                        Fail(who,
                             "kept snapshot of commit " + std::to_string(old.k) + " changed: " + d);
                }
            }
            if (rng() % 24 == 0) {
                // The tree still reads the commit it was pinned to, then moves on.
                d = Difference(tree, pinned, rng);
                if (!d.empty())
                    Fail(who,
                         "tree pinned at commit " + std::to_string(pinnedK) + " changed: " + d);
                before = run.shared->published.load();
                tree.Rollback();
                pinnedK = SeqOf(tree, who);
                forward(pinnedK, before, run.shared->published.load(), "rollback");
                d = Difference(tree, replay.At(pinnedK), rng);
                if (!d.empty())
                    Fail(who,
                         "tree after rollback at commit " + std::to_string(pinnedK) + ": " + d);
                pinned = replay.model;
                run.shared->rollbacks.fetch_add(1);
            }
        }
    });
}

// Records that writer `gen` returned from commit k. The parent's mark that
// this writer is being killed stays: a commit may return just before the kill.
void Returned(std::uint64_t gen, std::uint64_t k) {
    std::uint64_t was = run.shared->published.load();
    while (!run.shared->published.compare_exchange_weak(
        was, Pack(gen, GenOf(was) == gen && Dying(was), k))) {
    }
}

// A writer: finishes or drops what a killed writer left waiting, then commits
// the transactions after the last one in the file, with junk rolled back
// between them, one-phase or two-phase, until it is killed.
[[noreturn]] void Writer(std::uint64_t gen) {
    const std::string who = "writer " + std::to_string(gen);
    Child(who, [&] {
        std::mt19937 rng(run.seed * 31 + unsigned(gen));
        ByteTree::Options options;
        options.durability = run.durability;
        options.syncEvery = 8;
        ByteTree tree(run.path, options);
        if (tree.GetCommitState() == TamBTree::BTree::CommitReady)
            rng() % 2 ? tree.BTree::Commit() : tree.Rollback();
        std::uint64_t k = SeqOf(tree, who);
        Returned(gen, k);
        for (;;) {
            if (rng() % 8 == 0) {
                for (int i = 0; i < 20; ++i) tree.Put(Key(rng() % kKeys), "junk");
                tree.Put("#seq", "junk");
                if (rng() % 2) tree.PreCommit();
                tree.Rollback();
            }
            Apply(k + 1, nullptr, &tree);
            if (rng() % 4 == 0) {
                tree.PreCommit();
                tree.BTree::Commit();
            } else {
                tree.Commit();
            }
            Returned(gen, ++k);
        }
    });
}

// What a killed writer left, read by a fresh reader: a whole commit, in
// Full and Normal durability the last one that returned or the one under way.
[[noreturn]] void Checker(Replay replay) {
    const std::string who = "checker";
    Child(who, [&] {
        std::mt19937 rng(run.seed);
        const ByteTree tree(run.path, ReadOnly());
        const std::uint64_t k = SeqOf(tree, who);
        const std::uint64_t published = run.shared->published.load();
        if (run.durability != Durability::Deferred &&
            (k < KOf(published) || k > KOf(published) + 1))
            Fail(who, "a killed writer that had returned from commit " +
                          std::to_string(KOf(published)) + " left commit " + std::to_string(k));
        std::string d = Difference(tree, replay.At(k), rng);
        if (d.empty()) d = Difference(tree.TakeSnapshot(), replay.model, rng);
        if (!d.empty()) Fail(who, "commit " + std::to_string(k) + ": " + d);
        ::_exit(0);
    });
}

struct Totals {
    std::uint64_t kills = 0, writerKills = 0, failures = 0;
};

// How a child ended: by the parent's SIGKILL, or else a failure.
void Reaped(pid_t pid, int status, Totals& totals) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return;
    ++totals.failures;
    ADD_FAILURE() << "child " << pid << " ended with "
                  << (WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                                        : "signal " + std::to_string(WTERMSIG(status)));
}

pid_t Spawn(const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        body();
        ::_exit(kThrew);
    }
    return pid;
}

void KillAndReap(pid_t pid, Totals& totals) {
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ++totals.kills;
    Reaped(pid, status, totals);
}

// One round on a new file: a writer and kReaders readers, killed and started
// until `kills` processes were killed and `snapshots` snapshots checked (or
// six times as many kills went by); then a final read-write open checks it.
void Round(const char* name, Durability durability, const std::string& path, std::uint64_t kills,
           std::uint64_t snapshots, std::mt19937& rng, Totals& totals) {
    run.durability = durability;
    run.name = name;
    run.path = path;
    run.shared->published.store(Pack(1, false, 0));
    const std::uint64_t snapshotsBefore = run.shared->snapshots.load();
    const std::uint64_t killsBefore = totals.kills;
    Replay parent;  // moved forward as the writer goes, for the readers it starts
    std::uint64_t gen = 1;
    pid_t writer = Spawn([&] { Writer(gen); });
    while (KOf(run.shared->published.load()) == 0) {
        int status = 0;
        if (::waitpid(writer, &status, WNOHANG) == writer) return Reaped(writer, status, totals);
        ::usleep(1000);
    }
    std::vector<pid_t> readers;
    const auto startReader = [&] {
        const unsigned readerSeed = rng();
        return Spawn([&] { Reader(parent, readerSeed); });
    };
    for (int i = 0; i < kReaders; ++i) readers.push_back(startReader());
    for (std::uint64_t event = 0; event < 6 * kills; ++event) {
        if (totals.kills - killsBefore >= kills &&
            run.shared->snapshots.load() - snapshotsBefore >= snapshots)
            break;
        ::usleep(2000 + rng() % 40000);
        for (pid_t& reader : readers) {
            int status = 0;
            if (::waitpid(reader, &status, WNOHANG) != reader) continue;
            Reaped(reader, status, totals);
            reader = startReader();
        }
        int status = 0;
        if (::waitpid(writer, &status, WNOHANG) == writer) {
            Reaped(writer, status, totals);
            ++gen;
            writer = Spawn([&] { Writer(gen); });
        }
        const std::uint64_t published = run.shared->published.load();
        if (KOf(published) > parent.k) parent.At(KOf(published));
        if (rng() % 6 == 0) {
            run.shared->published.fetch_or(Pack(0, true, 0));
            KillAndReap(writer, totals);
            ++totals.writerKills;
            const pid_t checker = Spawn([&] { Checker(parent); });
            ::waitpid(checker, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Reaped(checker, status, totals);
            ++gen;
            writer = Spawn([&] { Writer(gen); });
        } else {
            pid_t& reader = readers[rng() % readers.size()];
            KillAndReap(reader, totals);
            reader = startReader();
        }
    }
    for (pid_t reader : readers) KillAndReap(reader, totals);
    KillAndReap(writer, totals);

    // A read-write open after everything ended finds a valid tree holding a
    // whole commit, and closing it leaves no side file behind.
    {
        ByteTree tree(path);
        if (tree.GetCommitState() == TamBTree::BTree::CommitReady) tree.Rollback();
        EXPECT_NO_THROW(tree.Validate());
        const std::uint64_t k = SeqOf(tree, "final open");
        std::mt19937 probe(run.seed);
        EXPECT_EQ(Difference(tree, parent.At(k), probe), "") << "commit " << k;
        std::printf("  %s: reached commit %llu\n", name, static_cast<unsigned long long>(k));
    }
    EXPECT_FALSE(std::filesystem::exists(path + "-readers")) << path;
}

}  // namespace

TEST(Processes, ReadersInOtherProcessesSeeWholeCommitsWhileWritersAndReadersAreKilled) {
    const char* given = std::getenv("TAMBTREE_PROCS_SEED");
    run.seed = given ? unsigned(std::strtoul(given, nullptr, 10)) : kDefaultSeed;
    std::printf("seed %u\n", run.seed);
    std::mt19937 rng(run.seed);
    void* mapped =
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    run.shared = new (mapped) Shared{};
    TamBTreeTest::TempDir dir(true);
    {
        ByteTree probe(dir.File("probe.tbt"), ByteTree::Options{});
        run.largest = probe.GetMaxRecordSize() - 8;
    }
    std::filesystem::remove(dir.File("probe.tbt"));

    const auto started = std::chrono::steady_clock::now();
    Totals totals;
    Round("Full", Durability::Full, dir.File("full.tbt"), 130, 5500, rng, totals);
    Round("Normal", Durability::Normal, dir.File("normal.tbt"), 50, 2500, rng, totals);
    Round("Deferred", Durability::Deferred, dir.File("deferred.tbt"), 40, 2500, rng, totals);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::uint64_t snapshots = run.shared->snapshots.load();
    std::printf(
        "seed %u: %llu snapshots checked, %llu rollbacks, %llu processes killed (%llu "
        "writers), %llu failed, %.1f s\n",
        run.seed, static_cast<unsigned long long>(snapshots),
        static_cast<unsigned long long>(run.shared->rollbacks.load()),
        static_cast<unsigned long long>(totals.kills),
        static_cast<unsigned long long>(totals.writerKills),
        static_cast<unsigned long long>(totals.failures), seconds);
    EXPECT_EQ(totals.failures, 0u);
    EXPECT_GE(snapshots, 10000u);
    EXPECT_GE(totals.kills, 200u);
    ::munmap(mapped, sizeof(Shared));
}
