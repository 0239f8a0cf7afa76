// Writes the fuzzer's seeds: small valid trees of every layout, committed
// (one leaf, and a few leaves under a root), left waiting after a pre-commit,
// and left half way through a commit's install. Each file is cut after its
// last used granule and carries its layout in the byte the fuzz target reads.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "FaultHook.h"
#include "FileFormat.h"
#include "TestTree.h"
#include "TreeFuzz.h"

namespace {

using TamBTree::BTreeInfo;
using TamBTree::BTreeTestAccess;
using TamBTreeTest::Options;
using TamBTreeTest::TestTree;

enum Kind { OneLeaf, TwoLevels, Waiting, Installing };

void Fill(TestTree& tree, const Options& o, int first, int count, std::uint32_t valueLength) {
    for (int i = first; i < first + count; ++i) {
        char seed[16];
        std::snprintf(seed, sizeof seed, "key%05d", i * 37 % 100000);
        const std::string value =
            TamBTreeFuzz::ValueFor(o, std::string(valueLength, static_cast<char>('a' + i % 26)));
        tree.Insert(TestTree::Make(TamBTreeFuzz::KeyFor(o, seed), value));
        if (o.allowDuplicates && i % 3 == 0)
            tree.Insert(TestTree::Make(TamBTreeFuzz::KeyFor(o, seed), value));
    }
}

template <class T>
T Get(int fd, std::uint64_t offset) {
    T value{};
    if (::pread(fd, &value, sizeof value, static_cast<off_t>(offset)) != sizeof value) value = T();
    return value;
}

// Byte offset just past the last granule in use, the waiting committed block
// (which lies in space the free list already counts as free) included.
std::uint64_t UsedEnd(int fd, std::uint64_t treeEnd) {
    const std::uint64_t block = Get<std::uint64_t>(fd, offsetof(BTreeInfo, committedBlockOffset));
    const bool waits = Get<std::uint8_t>(fd, offsetof(BTreeInfo, commitReady)) ||
                       Get<std::uint8_t>(fd, offsetof(BTreeInfo, commitApplying));
    if (!waits) return treeEnd;
    const std::uint64_t length = Get<std::uint32_t>(fd, block);
    return std::max(treeEnd, block + TamBTree::CommittedBlockSize(length));
}

void Make(const std::string& directory, std::uint32_t layout, Kind kind) {
    std::uint32_t count = 0;
    const Options o = TamBTreeFuzz::Layouts(count)[layout].options;
    const std::string path =
        directory + "/seed-" + std::to_string(layout) + "-" + std::to_string(kind) + ".bt";
    std::remove(path.c_str());
    std::uint64_t treeEnd = 0;
    {
        TestTree tree(path, o);
        const bool large = !o.fixedKeySize && (!o.hasValue || !o.fixedValueSize);
        const std::uint32_t valueLength = large ? 2000 : 16;
        // Just enough records to split the root once, or a dozen.
        const int records = kind == TwoLevels ? (large ? 40 : 2500) : 12;
        if (!o.hasValue && !o.fixedKeySize) {
            // Keys alone: long keys make a few leaves.
            for (int i = 0; i < records; ++i)
                tree.Insert(TestTree::MakeKey("key" + std::to_string(i * 37 % 1000) +
                                              std::string(kind == OneLeaf ? 4 : 2000, 'k')));
        } else {
            Fill(tree, o, 0, records, valueLength);
        }
        tree.PreCommit();
        tree.Commit();
        if (kind == Waiting || kind == Installing) {
            Fill(tree, o, records, 10, valueLength);
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
        treeEnd = tree.GetDiskSpaceUsed();
        for (const auto& block : BTreeTestAccess::FreeList(tree).BlocksByOffset())
            if (block.first + block.second == treeEnd) treeEnd = block.first;
    }
    const int fd = ::open(path.c_str(), O_RDWR);
    const auto selector = static_cast<std::uint8_t>(layout);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(UsedEnd(fd, treeEnd))) != 0 ||
        ::pwrite(fd, &selector, 1, TamBTreeFuzz::LAYOUT_BYTE) != 1)
        std::perror(path.c_str());
    if (fd >= 0) ::close(fd);
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
