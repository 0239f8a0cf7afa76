// Writes the fuzzer's seeds: small valid trees of every layout, committed
// (one leaf, and a few leaves under a root), left waiting after a pre-commit,
// and left half way through a commit's install. Each file is cut after its
// last used granule and carries its layout in the byte the fuzz target reads.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "FaultHook.h"
#include "FileFormat.h"
#include "TestTree.h"
#include "TreeFileBytes.h"
#include "TreeFuzz.h"

namespace {

using TamBTree::BTreeInfo;
using TamBTree::BTreeTestAccess;
using TamBTreeTest::Options;
using TamBTreeTest::TestTree;

enum Kind { OneLeaf, TwoLevels, Waiting, Installing };

// Records `first` to `first + count` (every third twice where duplicates
// are allowed); without values the bulk goes into the keys.
void Fill(TestTree& tree, const Options& o, int first, int count, std::uint32_t bulk) {
    for (int i = first; i < first + count; ++i) {
        char seed[16];
        std::snprintf(seed, sizeof seed, "key%05d", i * 37 % 100000);
        const std::string filler(bulk, static_cast<char>('a' + i % 26));
        const std::string key = TamBTreeFuzz::KeyFor(o, o.hasValue ? seed : seed + filler);
        const std::string value = TamBTreeFuzz::ValueFor(o, filler);
        for (int copy = 0; copy < (o.allowDuplicates && i % 3 == 0 ? 2 : 1); ++copy)
            tree.Insert(TestTree::Make(key, value));
    }
}

void Make(const std::string& directory, std::uint32_t layout, Kind kind) {
    std::uint32_t count = 0;
    const Options o = TamBTreeFuzz::Layouts(count)[layout].options;
    const std::string path =
        directory + "/seed-" + std::to_string(layout) + "-" + std::to_string(kind) + ".bt";
    std::remove(path.c_str());
    std::uint64_t usedEnd = 0;
    {
        TestTree tree(path, o);
        const bool large = !o.fixedKeySize && (!o.hasValue || !o.fixedValueSize);
        const std::uint32_t bulk = large ? 2000 : 16;
        // Just enough records to split the root once, or a dozen.
        const int records = kind == TwoLevels ? (large ? 40 : 2500) : 12;
        Fill(tree, o, 0, records, bulk);
        tree.PreCommit();
        tree.Commit();
        if (kind == Waiting || kind == Installing) {
            Fill(tree, o, records, 10, bulk);
            tree.PreCommit();
        }
        if (kind == Installing) {
            // The install stops once the applying flag is on disk.
            TamBTreeTest::FaultPlan plan;
            plan.Arm(4, TamBTreeTest::FaultPlan::Fail);
            try {
                tree.Commit();
            } catch (const TamFile::FileException&) {
            }
        }
        usedEnd = BTreeTestAccess::UsedEnd(tree);
    }
    // A waiting committed block lies in space the free list counts as free.
    const TamBTreeTest::TreeFileBytes file(path);
    if (file.Get<std::uint8_t>(offsetof(BTreeInfo, commitReady)) ||
        file.Get<std::uint8_t>(offsetof(BTreeInfo, commitApplying))) {
        const auto block = file.Get<std::uint64_t>(offsetof(BTreeInfo, committedBlockOffset));
        const std::uint64_t length = file.Get<std::uint32_t>(block);
        usedEnd = std::max(usedEnd, block + TamBTree::CommittedBlockSize(length));
    }
    if (::truncate(path.c_str(), static_cast<off_t>(usedEnd)) != 0) std::perror(path.c_str());
    file.Put<std::uint8_t>(TamBTreeFuzz::LAYOUT_BYTE, static_cast<std::uint8_t>(layout));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s directory\n", argv[0]);
        return 2;
    }
    std::uint32_t count = 0;
    TamBTreeFuzz::Layouts(count);
    for (std::uint32_t layout = 0; layout < count; ++layout)
        for (Kind kind : {OneLeaf, TwoLevels, Waiting, Installing}) Make(argv[1], layout, kind);
    return 0;
}
