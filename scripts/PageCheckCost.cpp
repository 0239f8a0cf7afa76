// Micro-benchmark of the checks made where a committed page is mapped: a tree
// of 200,000 records, then random Finds. page-check-cost.sh builds it twice,
// with the library as it is and with the checks taken out, and compares.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "TestTree.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s make|find tree-file\n", argv[0]);
        return 2;
    }
    const std::string path = argv[2];
    constexpr int kRecords = 200000;
    constexpr int kFinds = 1000000;
    TamBTreeTest::Options options;
    options.cacheSize = 64 * 65536;
    std::vector<std::string> keys;
    std::mt19937 random(7);
    for (int i = 0; i < kRecords; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "k%09u", static_cast<unsigned>(random()));
        keys.push_back(key);
    }
    if (std::string(argv[1]) == "make") {
        std::remove(path.c_str());
        TamBTreeTest::TestTree tree(path, options);
        for (const std::string& key : keys) tree.Put(key, std::string(16 + random() % 32, 'v'));
        tree.PreCommit();
        tree.Commit();
        return 0;
    }
    // A fresh open: every page is a committed image, checked on first use.
    TamBTreeTest::TestTree tree(path, options);
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        std::mt19937 pick(run);
        int found = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kFinds; ++i)
            found += !tree.Find(TamBTreeTest::TestTree::MakeKey(keys[pick() % kRecords])).IsEnd();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (found != kFinds) return 1;
        if (seconds < best) best = seconds;
    }
    std::printf("%.1f\n", best * 1e9 / kFinds);
    return 0;
}
