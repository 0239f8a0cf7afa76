// tambtree demo: a guided run through a tree of 100000 records in a
// temporary directory that is removed afterwards.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "Tool.h"

namespace TamTool {

namespace {

constexpr std::uint32_t RECORDS = 100000;

std::string DemoKey(std::uint32_t n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "key%06u", n);
    return buf;
}

// Removes the demo directory and whatever is left in it.
class TempDirectory {
public:
    TempDirectory() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tambtree-demo-XXXXXX";
        if (!mkdtemp(&pattern[0])) throw Failure("cannot create a temporary directory");
        path = pattern;
    }
    ~TempDirectory() {
        unlink(File().c_str());
        rmdir(path.c_str());
    }
    std::string File() const { return path + "/demo.tbt"; }

private:
    std::string path;
};

// One line of the report: what was done, and what came of it.
void Report(const std::string& what, const std::string& result) {
    std::printf("%-44s %s\n", what.c_str(), result.c_str());
}

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

class Stopwatch {
public:
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

private:
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

void Fill(TamBTree::ByteTree& tree) {
    // Shuffled, so that the inserts split pages all over the tree.
    std::vector<std::uint32_t> order(RECORDS);
    for (std::uint32_t i = 0; i < RECORDS; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    Stopwatch watch;
    for (std::uint32_t n : order) tree.Put(DemoKey(n), "value of record " + std::to_string(n));
    Report("Put " + std::to_string(RECORDS) + " records in random order", Seconds(watch.Seconds()));
    Stopwatch commit;
    tree.Commit();
    Report("Commit (PreCommit, then Commit)", Seconds(commit.Seconds()));
}

void Query(TamBTree::ByteTree& tree) {
    Report("Get(\"key031415\")", "\"" + tree.Get("key031415").value_or("(missing)") + "\"");
    Report("Contains(\"key100000\")", tree.Contains("key100000") ? "true" : "false");
    std::printf("Records(\"key050000\", \"key050005\"):\n");
    for (const auto& [key, value] : tree.Records("key050000", "key050005"))
        std::printf("  %.*s -> %.*s\n", static_cast<int>(key.size()), key.data(),
                    static_cast<int>(value.size()), value.data());
    Report("Reversed(): the last record", std::string(tree.Reversed().begin().Key()));
}

void EraseAndRollback(TamBTree::ByteTree& tree) {
    std::uint32_t erased = 0;
    for (std::uint32_t n = 0; n < RECORDS; n += 10) erased += tree.Erase(DemoKey(n));
    Report("Erase every tenth key (" + std::to_string(erased) + " records)",
           std::to_string(tree.Size()) + " records left");
    tree.Rollback();
    Report("Rollback", std::to_string(tree.Size()) + " records");
}

}  // namespace

int Demo() {
    TempDirectory dir;
    Report("Tree file", dir.File());
    TamBTree::ByteTree tree(dir.File());
    Fill(tree);
    Query(tree);
    EraseAndRollback(tree);
    Stopwatch watch;
    tree.Validate();
    Report("Validate the whole tree", Seconds(watch.Seconds()));
    std::printf("\n");
    PrintStatistics(stdout, tree, false);
    return 0;
}

}  // namespace TamTool
