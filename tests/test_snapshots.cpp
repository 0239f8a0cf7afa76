// Snapshots: each shows exactly the last commit that returned before it was
// taken and never changes, whatever its tree does meanwhile, on any thread.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ByteTree.h"
#include "FixedTree.h"
#include "TestTree.h"

using TamBTree::ByteTree;
using TamBTreeTest::Key;
using TamBTreeTest::TempDir;

namespace {

// Keys to their values in the order the tree keeps them: one value per key,
// or in a duplicate tree the most recently inserted first.
using Model = std::map<std::string, std::deque<std::string>>;

// The first difference between what `view` (a tree or a snapshot) shows and
// `model`, through scans both ways and look-ups; empty when they agree.
template <class View>
std::string Difference(const View& view, const Model& model) {
    std::size_t records = 0;
    auto expected = model.begin();
    std::size_t duplicate = 0;
    for (auto [key, value] : view.Records()) {
        if (expected == model.end() || key != expected->first ||
            value != expected->second[duplicate])
            return "forward scan differs at record " + std::to_string(records);
        ++records;
        if (++duplicate == expected->second.size()) ++expected, duplicate = 0;
    }
    if (expected != model.end()) return "forward scan ends early";
    if (view.Size() != records) return "size " + std::to_string(view.Size());
    std::size_t backward = 0;
    for (auto [key, value] : view.Reversed()) {
        if (backward == 0 && key != model.rbegin()->first)
            return "backward scan starts at " + std::string(key);
        ++backward;
    }
    if (backward != records) return "backward scan has " + std::to_string(backward);
    for (const auto& [key, values] : model) {
        if (view.Get(key) != values.front()) return "get " + key;
        auto bound = view.UpperBound(key);
        auto next = model.upper_bound(key);
        if (next == model.end() ? !bound.IsEnd() : bound.Key() != next->first)
            return "upper bound of " + key;
    }
    return std::string();
}

std::string Value(std::mt19937& rng, std::uint32_t most) {
    const std::uint32_t roll = rng() % 100;
    const std::uint32_t length = roll < 2 ? most : roll < 8 ? 2000 + rng() % 4000 : rng() % 120;
    return TamBTreeTest::Letters(rng, std::min(length, most));
}

}  // namespace

TEST(Snapshots, ShowTheLastCommitNeverTheOpenOrWaitingTransactionAndNeverChange) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    ByteTree tree(path);
    Model committed;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        tree.Put(Key(i), std::string(40, 'a'));
        committed[Key(i)] = {std::string(40, 'a')};
    }
    tree.Commit();
    ByteTree::Snapshot first = tree.TakeSnapshot();

    // Changes not committed, then pre-committed: invisible until Commit.
    for (std::uint32_t i = 0; i < 3000; i += 2) (void)tree.Erase(Key(i));
    tree.Put("new", "value");
    EXPECT_EQ(Difference(tree.TakeSnapshot(), committed), "");
    tree.PreCommit();
    ByteTree::Snapshot waiting = tree.TakeSnapshot();
    EXPECT_EQ(Difference(waiting, committed), "");
    tree.BTree::Commit();
    Model later = committed;
    for (std::uint32_t i = 0; i < 3000; i += 2) later.erase(Key(i));
    later["new"] = {"value"};
    EXPECT_EQ(Difference(tree.TakeSnapshot(), later), "");

    // A rollback, a switch to read-only and back, and commits that rewrite
    // every page leave the older snapshots as they were.
    tree.Put("rolled", "back");
    tree.Rollback();
    tree.ReadOnly(true);
    EXPECT_EQ(Difference(tree.TakeSnapshot(), later), "");
    tree.ReadOnly(false);
    for (int round = 0; round < 5; ++round) {
        for (std::uint32_t i = 1; i < 3000; i += 2) tree.Put(Key(i), std::string(60, 'b'));
        tree.Commit();
    }
    ByteTree::Snapshot moved = std::move(first);
    EXPECT_EQ(Difference(moved, committed), "");
    EXPECT_EQ(Difference(waiting, committed), "");

    // What the snapshots hold is counted, kept out of reuse, and claimed by
    // the consistency check.
    TamBTree::BTree::Statistics s = tree.GetStatistics();
    EXPECT_EQ(s.snapshots, 2u);
    EXPECT_GT(s.snapshotBytes, 0u);
    tree.Validate();
    {
        ByteTree::Snapshot done = std::move(moved);
        ByteTree::Snapshot alsoDone = std::move(waiting);
    }
    tree.Put("after", "all");
    tree.Commit();
    s = tree.GetStatistics();
    EXPECT_EQ(s.snapshots, 0u);
    EXPECT_EQ(s.snapshotBytes, 0u);
    tree.Validate();
}

TEST(Snapshots, OutlivingTheTreeKeepTheFileLockedAndReadable) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    std::unique_ptr<ByteTree::Snapshot> kept;
    {
        ByteTree tree(path);
        tree.Put("k", "v");
        tree.Commit();
        kept = std::make_unique<ByteTree::Snapshot>(tree.TakeSnapshot());
        tree.Put("k", "changed");
        tree.Commit();
    }
    EXPECT_EQ(kept->Get("k"), std::optional<std::string>("v"));
    // No other open may change the pages the snapshot reads.
    EXPECT_THROW(ByteTree again(path), TamFile::FileException);
    kept.reset();
    ByteTree again(path);
    EXPECT_EQ(again.Get("k"), std::optional<std::string>("changed"));
    again.Validate();
}

namespace {
// A tree derived from BTree with its own order (descending keys) offers a
// snapshot through the protected snapshot constructor.
class Descending : public TamBTree::BTree {
public:
    explicit Descending(const std::string& path)
        : BTree(path, false, true, true, true, TamBTree::PAGE_SIZE, 1 << 20, false, false) {
        keySize = valueSize = 4;
    }
    Descending Snapshot() const { return Descending(SnapshotOf{*this}); }
    void Put(std::uint32_t key) {
        Insert(Record{reinterpret_cast<const unsigned char*>(&key), 4,
                      reinterpret_cast<const unsigned char*>(&key), 4});
    }
    std::vector<std::uint32_t> Keys() const {
        std::vector<std::uint32_t> keys;
        for (auto it = Begin(); it != End(); ++it) {
            std::uint32_t key;
            std::memcpy(&key, GetRecord(it.GetCurrentPage(), it.GetCurrentRecord()).key, 4);
            keys.push_back(key);
        }
        return keys;
    }
    using BTree::Clear;
    using BTree::CommitNow;

protected:
    bool Less(const Record& a, const Record& b) const override {
        std::uint32_t x, y;
        std::memcpy(&x, a.key, 4);
        std::memcpy(&y, b.key, 4);
        return x > y;
    }

private:
    explicit Descending(SnapshotOf of) : BTree(of) { keySize = valueSize = 4; }
};
}  // namespace

TEST(Snapshots, FixedTreesAndTreesWithTheirOwnOrderOfferThemToo) {
    TempDir dir;
    TamBTree::FixedTree<std::int64_t, double> fixed(dir.File("f.tbt"));
    for (std::int64_t k = -500; k < 500; ++k) fixed.insert({k, k * 0.5});
    fixed.Commit();
    auto snapshot = fixed.take_snapshot();
    fixed.erase(std::int64_t{0});
    fixed.insert_or_assign(7, -1.0);
    fixed.Commit();
    EXPECT_EQ(snapshot.size(), 1000u);
    EXPECT_TRUE(snapshot.contains(0));
    EXPECT_EQ(snapshot.find(7)->second, 3.5);
    EXPECT_EQ(snapshot.lower_bound(-1000)->first, -500);
    EXPECT_EQ(snapshot.upper_bound(10)->first, 11);
    EXPECT_EQ(snapshot.rbegin()->first, 499);
    EXPECT_EQ(std::distance(snapshot.rbegin(), snapshot.rend()), 1000);
    EXPECT_FALSE(fixed.take_snapshot().contains(0));

    Descending tree(dir.File("d.tbt"));
    for (std::uint32_t k = 0; k < 2000; ++k) tree.Put(k);
    tree.CommitNow();
    {
        Descending view = tree.Snapshot();
        tree.Put(5000);
        tree.CommitNow();
        const std::vector<std::uint32_t> keys = view.Keys();
        ASSERT_EQ(keys.size(), 2000u);
        EXPECT_EQ(keys.front(), 1999u);
        EXPECT_EQ(keys.back(), 0u);
        EXPECT_EQ(tree.Snapshot().Keys().front(), 5000u);
        // Clearing would write a new file under the snapshot's pages.
        EXPECT_THROW(tree.Clear(), TamBTree::BTreeException);
        EXPECT_EQ(view.Keys().size(), 2000u);
    }
    tree.Clear();
    EXPECT_TRUE(tree.Snapshot().Keys().empty());
}

namespace {

// One writer commits random transactions while readers on other threads take
// snapshots and check each against the committed state it shows: every
// commit stores its number under "#seq", and the writer records the state it
// is about to commit under that number before committing.
class WriterAndReaders {
public:
    WriterAndReaders(const std::string& path, bool duplicates, TamBTree::Durability mode,
                     unsigned seed)
        : tree(path, Options(duplicates, mode)),
          rng(TamBTreeTest::SeededRng(seed)),
          dups(duplicates) {
        history.push_back(std::make_shared<const Model>());
    }

    void Run(int commits, int readers) {
        std::vector<std::thread> threads;
        for (int r = 0; r < readers; ++r) threads.emplace_back([this, r] { Read(r); });
        for (int k = 1; k <= commits && !failed; ++k) Transaction(k);
        done = true;
        for (std::thread& t : threads) t.join();
        EXPECT_FALSE(failed) << failure;
        EXPECT_GE(checked, static_cast<std::uint64_t>(readers)) << "snapshots checked";
        tree.Validate();
        std::printf("%llu snapshots checked\n", static_cast<unsigned long long>(checked.load()));
    }

private:
    static ByteTree::Options Options(bool duplicates, TamBTree::Durability mode) {
        ByteTree::Options o;
        o.allowDuplicates = duplicates;
        o.durability = mode;
        o.syncEvery = 7;
        o.cacheSize = 4 * TamBTree::PAGE_SIZE;
        return o;
    }

    // Random changes, then a commit (one of both paths) or a rollback.
    void Transaction(int k) {
        Model next = *history.back();
        const std::uint32_t most = tree.GetMaxRecordSize() - 8;
        const int changes = 1 + static_cast<int>(rng() % 40);
        for (int c = 0; c < changes; ++c) {
            const std::string key = Key(rng() % 1500);
            const std::uint32_t roll = rng() % 10;
            if (roll < 3) {
                (void)tree.Erase(key);
                next.erase(key);
            } else if (dups && roll < 6) {
                const std::string value = Value(rng, most);
                (void)tree.Insert(key, value);
                next[key].push_front(value);
            } else {
                const std::string value = Value(rng, most);
                tree.Put(key, value);
                auto& values = next[key];
                if (values.empty()) values.push_back(value);
                values.front() = value;
            }
        }
        const std::uint32_t ending = rng() % 20;
        if (ending < 3) return tree.Rollback();
        if (ending == 3) {
            tree.PreCommit();
            return tree.Rollback();
        }
        tree.Put("#seq", std::to_string(k));
        next["#seq"] = {std::to_string(k)};
        Record(k, std::move(next));
        if (ending < 8) {
            tree.PreCommit();
            std::this_thread::yield();
            tree.BTree::Commit();
        } else {
            tree.Commit();
        }
        lastCommitted = k;
        if (ending == 19) tree.Validate();
    }

    void Record(int k, Model next) {
        std::lock_guard<std::mutex> lock(mutex);
        history.resize(static_cast<std::size_t>(k) + 1);
        history[static_cast<std::size_t>(k)] = std::make_shared<const Model>(std::move(next));
    }

    std::shared_ptr<const Model> Committed(int k) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<std::size_t>(k) < history.size() ? history[static_cast<std::size_t>(k)]
                                                            : nullptr;
    }

    // Takes snapshots until the writer is done; each is checked when taken
    // and again later, after the writer went on.
    void Read(int reader) {
        std::deque<std::pair<ByteTree::Snapshot, std::shared_ptr<const Model>>> held;
        int newest = 0;
        while (!done && !failed) {
            const int returned = lastCommitted;
            ByteTree::Snapshot snapshot = tree.TakeSnapshot();
            const std::optional<std::string> seq = snapshot.Get("#seq");
            const int k = seq ? std::stoi(*seq) : 0;
            if (k < returned || k < newest)
                return Fail("reader " + std::to_string(reader) + " saw commit " +
                            std::to_string(k) + " after " + std::to_string(returned));
            newest = k;
            std::shared_ptr<const Model> model = Committed(k);
            if (!model) return Fail("commit " + std::to_string(k) + " was never recorded");
            held.emplace_back(std::move(snapshot), std::move(model));
            if (held.size() > 3) held.pop_front();
            for (const auto& [view, expected] : held) {
                const std::string difference = Difference(view, *expected);
                if (!difference.empty())
                    return Fail("commit " + std::to_string(k) + ": " + difference);
                ++checked;
            }
        }
    }

    void Fail(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!failed.exchange(true)) failure = what;
    }

    ByteTree tree;
    std::mt19937 rng;
    const bool dups;
    std::mutex mutex;
    std::vector<std::shared_ptr<const Model>> history;
    std::atomic<int> lastCommitted{0};
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};
    std::atomic<std::uint64_t> checked{0};
    std::string failure;
};

}  // namespace

// Under every durability mode: commits that the page index does not hold yet
// are what snapshots see too.
TEST(Snapshots, ReadersOnOtherThreadsSeeExactlyTheCommittedStatesWhileTheWriterGoesOn) {
    using TamBTree::Durability;
    for (const auto& [duplicates, mode] :
         {std::pair(false, Durability::Full), std::pair(true, Durability::Normal),
          std::pair(false, Durability::Deferred)}) {
        TempDir dir(true);
        WriterAndReaders run(dir.File("t.tbt"), duplicates, mode, 1207u + 10 * int(mode));
        run.Run(150, 3);
    }
}
