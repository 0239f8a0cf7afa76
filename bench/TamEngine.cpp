// Our tree behind the common adapter, through a derived tree ("tambtree") or
// through ByteTree ("bytetree"). Every write runs in the tree's open
// transaction and stores with the upsert; a durable commit is CommitNow
// (ByteTree::Commit), a two-phase one PreCommit followed by Commit. A wrapper
// of the file services counts the flushes the commits make. The tree commits
// in the durability mode the settings name; under Deferred, Sync makes the
// gathered commits durable. Readers on other threads read through snapshots of
// the last commit; readers in other processes open the file read-only.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "BenchTree.h"
#include "FaultPlan.h"

namespace TamBench {

namespace {

// Counts the flushes of the files opened while it lives.
class FlushCounter {
public:
    FlushCounter() {
        plan.observe = [this](TamBTreeTest::FaultPlan::Point point) {
            flushViews += point == TamBTreeTest::FaultPlan::BeforeFlushView;
            flushes += point == TamBTreeTest::FaultPlan::BeforeFlush;
        };
    }
    std::uint64_t flushViews = 0;
    std::uint64_t flushes = 0;

private:
    TamBTreeTest::FaultPlan plan;
};

// Reads through snapshots of the derived tree.
class TreeReader : public Reader {
public:
    explicit TreeReader(const BenchTree& tree) : source(tree) {}
    void Renew() override {
        // The old snapshot ends first, as LMDB's reader resets before it renews.
        snapshot.reset();
        snapshot = source.TakeSnapshot();
    }
    bool Get(const Key& key, std::uint64_t& sink) override { return snapshot->Get(key, sink); }

private:
    const BenchTree& source;
    std::unique_ptr<BenchTree> snapshot;
};

// Reads through ByteTree's snapshots.
class ByteTreeReader : public Reader {
public:
    explicit ByteTreeReader(const BenchByteTree& tree) : source(tree) {}
    void Renew() override {
        snapshot.reset();
        snapshot.emplace(source.Tree().TakeSnapshot());
    }
    bool Get(const Key& key, std::uint64_t& sink) override {
        return BenchByteTree::Get(*snapshot, key, sink);
    }

private:
    const BenchByteTree& source;
    std::optional<TamBTree::ByteTree::Snapshot> snapshot;
};

// A reader in a process of its own: the derived tree opened read-only, moved
// to the last commit by Rollback at every renewal.
class TreeProcessReader : public Reader {
public:
    TreeProcessReader(std::string file, std::uint32_t cache)
        : path(std::move(file)), cacheBytes(cache) {}
    void Renew() override {
        if (!tree)
            tree.reset(new BenchTree(path, cacheBytes, BenchTree::ReadOnly{}));
        else
            tree->Rollback();
    }
    bool Get(const Key& key, std::uint64_t& sink) override { return tree->Get(key, sink); }

private:
    std::string path;
    std::uint32_t cacheBytes;
    std::unique_ptr<BenchTree> tree;
};

// A reader in a process of its own: ByteTree opened read-only, read through a
// new snapshot of the last commit at every renewal; the tree itself moves on
// too (Rollback), as the tutorial says, so that it holds no old commit.
class ByteTreeProcessReader : public Reader {
public:
    ByteTreeProcessReader(std::string file, std::uint32_t cache)
        : path(std::move(file)), cacheBytes(cache) {}
    void Renew() override {
        if (!tree) {
            TamBTree::ByteTree::Options options;
            options.readOnly = true;
            options.mode = TamBTree::BTree::OpenOnly;
            options.cacheSize = cacheBytes;
            tree.reset(new TamBTree::ByteTree(path, options));
        } else {
            tree->Rollback();
        }
        snapshot.reset();
        snapshot.emplace(tree->TakeSnapshot());
    }
    bool Get(const Key& key, std::uint64_t& sink) override {
        return BenchByteTree::Get(*snapshot, key, sink);
    }

private:
    std::string path;
    std::uint32_t cacheBytes;
    std::unique_ptr<TamBTree::ByteTree> tree;
    std::optional<TamBTree::ByteTree::Snapshot> snapshot;
};

class TamEngine : public Engine {
public:
    explicit TamEngine(const EngineSettings& engineSettings) : settings(engineSettings) {}
    ~TamEngine() override { Close(); }
    const char* Name() const override { return useBytes ? "bytetree" : "tambtree"; }
    void Create(const std::string& directory) override {
        Close();
        path = directory + "/data.tbt";
        Open();
    }
    void Close() override {
        tree.reset();
        bytes.reset();
    }
    void BeginWrite() override {}
    void Insert(const Key& key, const unsigned char* value) override {
        if (!Put(key, value)) throw std::runtime_error("an insert met a stored key");
    }
    void Overwrite(const Key& key, const unsigned char* value) override {
        if (Put(key, value)) throw std::runtime_error("an overwrite met no stored key");
    }
    void Erase(const Key& key) override {
        if (bytes)
            bytes->Delete(key);
        else
            tree->Delete(key);
    }
    void CommitWrite() override {
        Count();
        if (bytes)
            bytes->Commit();
        else
            tree->CommitNow();
    }
    void CommitWriteTwoPhase() override {
        if (bytes) throw std::runtime_error("bytetree: no two-phase commit");
        Count();
        tree->PreCommit();
        tree->Commit();
    }
    void BeginRead() override {}
    bool Get(const Key& key, std::uint64_t& sink) override {
        return bytes ? bytes->Get(key, sink) : tree->Get(key, sink);
    }
    void EndRead() override {}
    std::uint64_t Scan(bool forward, std::uint64_t& sink) override {
        return bytes ? bytes->Scan(forward, sink) : tree->Scan(forward, sink);
    }
    void Sync() override {
        if (settings.durability == Durability::Deferred) OpenTree().Sync();
    }
    const char* SecondPathName() const override { return "bytetree"; }
    void UseSecondPath(bool second) override {
        useBytes = second;
        if (path.empty()) return;  // no store yet: Create opens it
        Close();
        Open();
    }
    void Reopen(const std::string& directory) override { Create(directory); }
    bool CompactCopy(const std::string& directory) override {
        OpenTree().CopyTo(directory + "/data.tbt");
        return true;
    }
    std::unique_ptr<Reader> NewReader() override {
        if (bytes) return std::unique_ptr<Reader>(new ByteTreeReader(*bytes));
        return std::unique_ptr<Reader>(new TreeReader(*tree));
    }
    CommitCounters Counters() const override {
        CommitCounters c;
        c.commits = commits;
        c.pagesWritten = pagesWritten;
        c.flushViews = counter.flushViews;
        c.flushes = counter.flushes;
        return c;
    }

private:
    void Open() {
        if (useBytes)
            bytes.reset(new BenchByteTree(path, settings.cacheBytes));
        else
            tree.reset(new BenchTree(path, settings.cacheBytes));
        OpenTree().SetDurability(
            Mode(), settings.syncEvery,
            settings.syncBytes ? settings.syncBytes : TamBTree::DEFAULT_SYNC_BYTES);
    }
    TamBTree::Durability Mode() const {
        switch (settings.durability) {
            case Durability::Normal:
                return TamBTree::Durability::Normal;
            case Durability::Deferred:
                return TamBTree::Durability::Deferred;
            case Durability::Full:
                break;
        }
        return TamBTree::Durability::Full;
    }
    bool Put(const Key& key, const unsigned char* value) {
        return bytes ? bytes->Put(key, value) : tree->Put(key, value);
    }
    const TamBTree::BTree& OpenTree() const {
        return bytes ? static_cast<const TamBTree::BTree&>(bytes->Tree())
                     : static_cast<const TamBTree::BTree&>(*tree);
    }
    TamBTree::BTree& OpenTree() {
        return bytes ? static_cast<TamBTree::BTree&>(bytes->Tree())
                     : static_cast<TamBTree::BTree&>(*tree);
    }
    void Count() {
        pagesWritten += TamBTree::BTreeTestAccess::ChangedPageCount(OpenTree());
        ++commits;
    }

    EngineSettings settings;
    FlushCounter counter;
    std::string path;
    bool useBytes = false;
    std::unique_ptr<BenchTree> tree;
    std::unique_ptr<BenchByteTree> bytes;
    std::uint64_t commits = 0;
    std::uint64_t pagesWritten = 0;
};

}  // namespace

Engine* NewTamEngine(const EngineSettings& settings) {
    return new TamEngine(settings);
}

std::unique_ptr<Reader> NewTamProcessReader(const std::string& directory, bool bytes,
                                            std::uint32_t cacheBytes) {
    const std::string path = directory + "/data.tbt";
    if (bytes) return std::unique_ptr<Reader>(new ByteTreeProcessReader(path, cacheBytes));
    return std::unique_ptr<Reader>(new TreeProcessReader(path, cacheBytes));
}

}  // namespace TamBench
