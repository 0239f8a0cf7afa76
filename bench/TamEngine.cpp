// Our tree behind the common adapter. Every write runs in the tree's open
// transaction; a durable commit is CommitNow, a two-phase one PreCommit
// followed by Commit. A fault hook counts the flushes the commits make.
#include <memory>
#include <stdexcept>

#include "BenchTree.h"

namespace TamBench {

namespace {

class FlushCounter : public TamFile::FileFaultHook {
public:
    void At(Point point, const std::string&) override {
        if (point == BeforeFlushView) ++flushViews;
        if (point == BeforeFlush) ++flushes;
    }
    std::uint64_t flushViews = 0;
    std::uint64_t flushes = 0;
};

class TamEngine : public Engine {
public:
    explicit TamEngine(const EngineSettings& engineSettings) : settings(engineSettings) {
        TamFile::MemoryMapFile::SetFaultHook(&counter);
    }
    ~TamEngine() override {
        Close();
        TamFile::MemoryMapFile::SetFaultHook(nullptr);
    }
    const char* Name() const override { return "tambtree"; }
    void Create(const std::string& directory) override {
        Close();
        tree.reset(new BenchTree(directory + "/data.tbt", settings.cacheBytes));
    }
    void Close() override { tree.reset(); }
    void BeginWrite() override {}
    void Insert(const Key& key, const unsigned char* value) override { tree->Put(key, value); }
    void Overwrite(const Key& key, const unsigned char* value) override {
        tree->Replace(key, value);
    }
    void Erase(const Key& key) override { tree->Delete(key); }
    void CommitWrite() override {
        pagesWritten += TamBTree::BTreeTestAccess::ChangedPages(*tree);
        ++commits;
        tree->CommitNow();
    }
    void CommitWriteTwoPhase() override {
        pagesWritten += TamBTree::BTreeTestAccess::ChangedPages(*tree);
        ++commits;
        tree->PreCommit();
        tree->Commit();
    }
    void BeginRead() override {}
    bool Get(const Key& key, std::uint64_t& sink) override { return tree->Get(key, sink); }
    void EndRead() override {}
    std::uint64_t Scan(bool forward, std::uint64_t& sink) override {
        return tree->Scan(forward, sink);
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
    EngineSettings settings;
    FlushCounter counter;
    std::unique_ptr<BenchTree> tree;
    std::uint64_t commits = 0;
    std::uint64_t pagesWritten = 0;
};

}  // namespace

Engine* NewTamEngine(const EngineSettings& settings) {
    return new TamEngine(settings);
}

}  // namespace TamBench
