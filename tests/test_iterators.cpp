// Iterator steps across leaves, the circular end position, distances, the
// const iterator, and the operation bracket that keeps records valid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <vector>

#include "TestTree.h"

using namespace TamBTreeTest;
using TamBTree::BTreeConstIterator;
using TamBTree::BTreeIterator;
using TamBTree::BTreeTestAccess;
using TamBTree::CacheOperation;
using Record = TamBTree::BTree::Record;

namespace {

// The 8 digits of n padded to `length` bytes: keys order as their numbers.
std::string Key(std::uint32_t n, std::uint32_t length) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", n);
    std::string key(digits);
    key.resize(std::max<std::uint32_t>(length, 8), 'k');
    return key;
}

std::mt19937 SeededRng(unsigned seed) {
    std::printf("seed %u\n", seed);
    return std::mt19937(seed);
}

// Stores the numbers first .. first + n - 1 in a random order.
void Fill(TestTree& tree, std::uint32_t first, std::uint32_t n, std::uint32_t length,
          std::mt19937& rng) {
    std::vector<std::uint32_t> numbers(n);
    for (std::uint32_t i = 0; i < n; ++i) numbers[i] = first + i;
    std::shuffle(numbers.begin(), numbers.end(), rng);
    for (const std::uint32_t number : numbers)
        ASSERT_TRUE(tree.Put(Key(number, length), std::to_string(number)).second);
}

// Less fails on demand: the bracket must close when an exception passes.
class FailingTree : public TestTree {
public:
    using TestTree::TestTree;
    bool fail = false;

protected:
    bool Less(const Record& a, const Record& b) const override {
        if (fail) throw std::runtime_error("comparison failed");
        return TestTree::Less(a, b);
    }
};

}  // namespace

TEST(Iterators, EmptyTreeBeginIsEndAndStaysEnd) {
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    const TestTree& constTree = tree;
    EXPECT_EQ(tree.Begin(), tree.End());
    EXPECT_EQ(constTree.Begin(), constTree.End());
    BTreeIterator end = tree.End();
    EXPECT_EQ(--end, tree.End());
    BTreeConstIterator constEnd = constTree.End();
    EXPECT_EQ(--constEnd, constTree.End());
    EXPECT_EQ(tree.End() - tree.Begin(), 0u);
    const Record r = TestTree::MakeKey("k");
    EXPECT_TRUE(tree.Find(r).IsEnd());
    EXPECT_TRUE(tree.LowerBound(r).IsEnd());
    EXPECT_TRUE(tree.UpperBound(r).IsEnd());
    EXPECT_TRUE(constTree.Find(r).IsEnd());
}

TEST(Iterators, OneRecordStepsToEndAndBack) {
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    tree.Put("k", "v");
    const BTreeIterator first(0, 1, &tree);
    EXPECT_EQ(tree.Begin(), first);
    BTreeIterator it = tree.Begin();
    EXPECT_EQ(++it, tree.End());
    EXPECT_EQ(--it, first);
    EXPECT_EQ(--it, tree.End());
    EXPECT_EQ(it--, tree.End());
    EXPECT_EQ(it, first);
    EXPECT_EQ(it++, first);
    EXPECT_EQ(it, tree.End());
    EXPECT_EQ(tree.End() - tree.Begin(), 1u);
    EXPECT_EQ(tree.End() - tree.End(), 0u);
    const TestTree& constTree = tree;
    BTreeConstIterator c = constTree.End();
    EXPECT_EQ(--c, constTree.Begin());
    EXPECT_EQ(++c, constTree.End());
}

TEST(Iterators, StepsAcrossLeavesBothWaysAndDistances) {
    std::mt19937 rng = SeededRng(2024);
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    const std::uint32_t n = 3000;
    Fill(tree, 0, n, 2000, rng);
    ASSERT_GE(tree.GetStatistics().height, 3u);

    std::vector<BTreeIterator> at;
    for (BTreeIterator it = tree.Begin(); !it.IsEnd(); ++it) at.push_back(it);
    ASSERT_EQ(at.size(), n);
    std::uint32_t leafChanges = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(tree.KeyAt(at[i]), Key(i, 2000));
        if (i == 0 || at[i].GetCurrentPage() == at[i - 1].GetCurrentPage()) continue;
        ++leafChanges;
        EXPECT_EQ(at[i].GetCurrentRecord(), 1u);
        BTreeIterator back = at[i];
        EXPECT_EQ(back--, at[i]);
        EXPECT_EQ(back, at[i - 1]);
    }
    EXPECT_GE(leafChanges, 50u);
    BTreeIterator it = tree.End();
    for (std::uint32_t i = n; i > 0; --i) ASSERT_EQ(--it, at[i - 1]);
    EXPECT_EQ(--it, tree.End());

    EXPECT_EQ(tree.End() - tree.End(), 0u);
    EXPECT_EQ(tree.End() - tree.Begin(), n);
    for (std::uint32_t i = 0; i < n; i += 1 + rng() % 100) {
        EXPECT_EQ(at[i] - tree.Begin(), i);
        EXPECT_EQ(tree.End() - at[i], n - i);
        // An end or later-leaf b gives a's zero-based position.
        EXPECT_EQ(at[i] - tree.End(), i);
        const std::uint32_t j = i + rng() % (n - i);
        EXPECT_EQ(at[j] - at[i], j - i);
        if (at[j].GetCurrentPage() != at[i].GetCurrentPage())
            EXPECT_EQ(at[i] - at[j], i);
        else
            EXPECT_EQ(at[i] - at[j], i - j);  // modulo 2^32 within one leaf
    }
}

TEST(Iterators, DefaultAndForeignIteratorsNeverEqualATreesOwn) {
    TempDir dir;
    TestTree a(dir.File("a.tbt"));
    TestTree b(dir.File("b.tbt"));
    a.Put("k", "v");
    b.Put("k", "v");
    const BTreeIterator none;
    EXPECT_FALSE(none.IsEnd());
    EXPECT_EQ(none.GetBTree(), nullptr);
    EXPECT_NE(none, a.Begin());
    EXPECT_NE(none, a.End());
    EXPECT_NE(none, BTreeIterator(0, 0, &a));
    const BTreeConstIterator constNone;
    EXPECT_FALSE(constNone.IsEnd());
    EXPECT_NE(constNone, static_cast<const TestTree&>(a).Begin());
    EXPECT_NE(a.Begin(), b.Begin());
    EXPECT_NE(a.End(), b.End());
    EXPECT_NE(static_cast<const TestTree&>(a).End(), static_cast<const TestTree&>(b).End());
}

TEST(Iterators, ConstIteratorsConvertAndWalkLikeMutableOnes) {
    std::mt19937 rng = SeededRng(7);
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    Fill(tree, 0, 500, 3000, rng);
    const TestTree& constTree = tree;
    BTreeConstIterator converted = tree.End();
    EXPECT_EQ(converted, constTree.End());
    converted = tree.Begin();
    EXPECT_EQ(converted, constTree.Begin());
    EXPECT_EQ(converted.GetBTree(), &tree);

    BTreeIterator it = tree.Begin();
    for (BTreeConstIterator c = constTree.Begin(); c != constTree.End(); ++c, ++it) {
        ASSERT_EQ(c, BTreeConstIterator(it));
        EXPECT_EQ(c - constTree.Begin(), it - tree.Begin());
    }
    EXPECT_TRUE(it.IsEnd());
    BTreeConstIterator c = constTree.End();
    for (--it; it != tree.End(); --it) ASSERT_EQ(--c, BTreeConstIterator(it));
    EXPECT_EQ(--c, constTree.End());
    EXPECT_EQ(constTree.End() - constTree.Begin(), 500u);

    for (const std::string& key : {Key(0, 3000), Key(250, 3000), Key(250, 10), Key(499, 3001)}) {
        const Record r = TestTree::MakeKey(key);
        EXPECT_EQ(constTree.Find(r), BTreeConstIterator(tree.Find(r)));
        EXPECT_EQ(constTree.LowerBound(r), BTreeConstIterator(tree.LowerBound(r)));
        EXPECT_EQ(constTree.UpperBound(r), BTreeConstIterator(tree.UpperBound(r)));
    }
}

TEST(Iterators, BracketKeepsViewsAndLongWalksDoNotGrowTheCache) {
    std::mt19937 rng = SeededRng(11);
    TempDir dir;
    Options o;
    o.allowDuplicates = true;
    o.cacheSize = 2 * 65536;
    const std::string run = Key(100, 2000);
    std::uint32_t height = 0;
    {
        TestTree tree(dir.File("t.tbt"), o);
        Fill(tree, 0, 40, 2000, rng);
        for (std::uint32_t i = 0; i < 300; ++i) tree.Put(run, std::to_string(i));
        Fill(tree, 200, 40, 2000, rng);
        height = tree.GetStatistics().height;
        tree.PreCommit();
        tree.Commit();
    }
    {
        TestTree tree(dir.File("t.tbt"), o);
        EXPECT_EQ(tree.UpperBound(TestTree::MakeKey(run)),
                  tree.Find(TestTree::MakeKey(Key(200, 2000))));
        // The walk over the run's leaves releases what it mapped itself.
        EXPECT_LE(BTreeTestAccess::CachedViews(tree), height + 2);
    }
    FailingTree tree(dir.File("t.tbt"), o);
    EXPECT_EQ(tree.Count(), 0);
    {
        CacheOperation bracket(&tree);
        EXPECT_EQ(tree.Count(), 1);
        std::vector<Record> records;
        std::vector<BTreeIterator> at;
        for (std::uint32_t i = 0; i < 40; i += 13) {
            at.push_back(tree.Find(TestTree::MakeKey(Key(i, 2000))));
            records.push_back(tree.GetRecord(at.back().GetCurrentPage(), 1));
        }
        EXPECT_EQ(tree.Add(), 2);
        EXPECT_EQ(tree.Remove(), 1);
        tree.UpperBound(TestTree::MakeKey(run));
        tree.FindEx(tree.Begin(), TestTree::MakeKey(Key(239, 2000)));
        EXPECT_EQ(tree.Count(), 1);
        for (std::size_t k = 0; k < records.size(); ++k) {
            EXPECT_TRUE(BTreeTestAccess::IsPageCached(tree, at[k].GetCurrentPage()));
            BTreeIterator first(at[k].GetCurrentPage(), 1, &tree);
            EXPECT_EQ(
                std::string(reinterpret_cast<const char*>(records[k].key), records[k].keyLength),
                tree.KeyAt(first));
        }
    }
    EXPECT_EQ(tree.Count(), 0);
    tree.fail = true;
    EXPECT_THROW(tree.Find(TestTree::MakeKey(run)), std::runtime_error);
    EXPECT_THROW(tree.Put(run, "x"), std::runtime_error);
    EXPECT_EQ(tree.Count(), 0);
    tree.fail = false;
    EXPECT_EQ(tree.Size(), 380u);
}
