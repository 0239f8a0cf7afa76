// Insertion, search, bounds and iterators against a model of the records:
// trees of three and more levels in every insert order and record layout,
// duplicate runs across leaves, refused insertions, reopening in every commit
// state, iterator steps and distances, and the operation bracket.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "TreeChecks.h"

using namespace TamBTreeTest;
using TamBTree::BTreeTestAccess;
using TamBTree::CacheOperation;
using Record = TamBTree::BTree::Record;

namespace {

std::string RandomBytes(std::mt19937& rng, std::uint32_t length) {
    std::string s(length, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

std::vector<std::uint32_t> Shuffled(std::uint32_t first, std::uint32_t n, std::mt19937& rng) {
    std::vector<std::uint32_t> numbers(n);
    for (std::uint32_t i = 0; i < n; ++i) numbers[i] = first + i;
    std::shuffle(numbers.begin(), numbers.end(), rng);
    return numbers;
}

// Stores the numbers first .. first + n - 1 in a random order.
void Fill(TestTree& tree, std::uint32_t first, std::uint32_t n, std::uint32_t length,
          std::mt19937& rng) {
    for (const std::uint32_t number : Shuffled(first, n, rng))
        ASSERT_TRUE(tree.Put(Key(number, length), std::to_string(number)).second);
}

}  // namespace

using Iterators = TreeFileTest;

TEST(InsertSearch, ThreeOrdersReachThreeLevelsAndSurviveReopening) {
    const char* names[] = {"ascending", "descending", "random"};
    for (unsigned order = 0; order < 3; ++order) {
        SCOPED_TRACE(names[order]);
        std::mt19937 rng = SeededRng(1234 + order);
        TempDir dir;
        Model model;
        const std::uint32_t n = 16000;
        std::vector<std::uint32_t> numbers = Shuffled(0, n, rng);
        if (order < 2) std::sort(numbers.begin(), numbers.end());
        if (order == 1) std::reverse(numbers.begin(), numbers.end());
        {
            TestTree tree(dir.File("t.tbt"));
            // Phase 0 stores the even numbers, phase 1 the odd ones between them.
            for (std::uint32_t phase = 0; phase < 2; ++phase) {
                for (const std::uint32_t number : numbers) {
                    if (number % 2 != phase) continue;
                    // Long keys keep the fan-out of internal pages small.
                    const std::string key = Key(number, 200 + rng() % 1300);
                    const std::string value = RandomBytes(rng, rng() % 300);
                    const auto result = tree.Put(key, value);
                    ASSERT_TRUE(result.second);
                    ASSERT_EQ(tree.KeyAt(result.first), key);
                    model.emplace(key, value);
                }
                ExpectSameAsModel(tree, model);
            }
            EXPECT_GE(tree.GetStatistics().height, 3u);
            const auto again = tree.Put(model.begin()->first, "other");
            EXPECT_FALSE(again.second);
            EXPECT_EQ(again.first, tree.Begin());
            EXPECT_EQ(tree.ValueAt(again.first), model.begin()->second);
            tree.CommitNow();
        }
        TestTree reopened(dir.File("t.tbt"));
        ExpectSameAsModel(reopened, model);
    }
}

// Each layout is checked in the first transaction, pre-committed, reopened
// with the block waiting, and after the waiting commit.
TEST(InsertSearch, EveryRecordLayoutInEveryCommitState) {
    unsigned seed = 500;
    for (const bool duplicates : {false, true}) {
        for (const std::uint32_t keySize : {0u, 600u}) {
            for (const int values : {0, 1, 2}) {  // none, variable, fixed
                const Options o = Layout(duplicates, keySize, values > 0, values == 2 ? 120 : 0);
                SCOPED_TRACE(testing::Message() << "duplicates " << duplicates << ", key size "
                                                << keySize << ", values " << values);
                std::mt19937 rng = SeededRng(seed++);
                TempDir dir;
                const std::string path = dir.File("t.tbt");
                Model model, committed;
                {
                    TestTree tree(path, o);
                    for (std::uint32_t i = 0; i < 2000; ++i) {
                        if (i == 1000) {
                            ExpectSameAsModel(tree, model);
                            tree.CommitNow();
                            committed = model;
                        }
                        const std::uint32_t number = rng() % (duplicates ? 300 : 100000);
                        // One length per number, so that numbers repeat as equal keys.
                        const std::string key = Key(number, keySize ? 600 : 8 + number * 37 % 900);
                        if (i > 1000 && i % 4 == 0) {
                            ASSERT_EQ(tree.Erase(TestTree::MakeKey(key)), model.erase(key));
                            continue;
                        }
                        // A tree without values ignores the value it is given, of any size.
                        const std::uint32_t length =
                            values == 2 ? 120 : (values == 0 && i % 100 == 0 ? 70000 : rng() % 500);
                        const std::string value = RandomBytes(rng, length);
                        const std::string stored = values ? value : std::string();
                        const bool fresh = duplicates || model.find(key) == model.end();
                        const auto result = tree.Put(key, value);
                        ASSERT_EQ(result.second, fresh);
                        if (!fresh) {
                            EXPECT_EQ(tree.ValueAt(result.first), model.find(key)->second);
                            continue;
                        }
                        ASSERT_EQ(tree.ValueAt(result.first), stored);
                        ASSERT_EQ(result.first, tree.LowerBound(TestTree::MakeKey(key)));
                        ModelInsert(model, key, stored);
                    }
                    EXPECT_GE(tree.GetStatistics().height, 2u);
                    ExpectSameAsModel(tree, model);
                    tree.PreCommit();
                    EXPECT_NO_THROW(tree.ValidateTree());
                }
                TestTree tree(path, o);
                ASSERT_EQ(tree.GetCommitState(), TestTree::CommitReady);
                ExpectSameAsModel(tree, committed);
                tree.Commit();
                ExpectSameAsModel(tree, model);
            }
        }
    }
}

TEST(InsertSearch, DuplicateRunsAcrossLeavesAreFoundBoundedAndErasedWhole) {
    std::mt19937 rng = SeededRng(4242);
    TempDir dir;
    const Options o = Layout(true, 0, true, 0);
    TestTree tree(dir.File("t.tbt"), o);
    Model model;
    // Keys 0..59 once, a few of them many times; key 59 runs to the end.
    std::vector<std::uint32_t> numbers = Shuffled(0, 60, rng);
    const std::pair<std::uint32_t, std::uint32_t> runs[] = {
        {10, 70}, {25, 150}, {40, 3}, {59, 400}};
    for (const auto& run : runs) numbers.insert(numbers.end(), run.second - 1, run.first);
    std::shuffle(numbers.begin(), numbers.end(), rng);
    for (std::uint32_t i = 0; i < numbers.size(); ++i) {
        ASSERT_TRUE(tree.Put(Key(numbers[i], 1000), std::to_string(i)).second);
        ModelInsert(model, Key(numbers[i], 1000), std::to_string(i));
    }
    ExpectSameAsModel(tree, model);

    const std::string k25 = Key(25, 1000), k59 = Key(59, 1000);
    const Record r25 = TestTree::MakeKey(k25), r59 = TestTree::MakeKey(k59);
    const BTreeIterator first25 = tree.LowerBound(r25);
    const auto position = [&model](Model::const_iterator m) {
        return static_cast<std::uint32_t>(std::distance(model.cbegin(), m));
    };
    EXPECT_EQ(first25 - tree.Begin(), position(model.lower_bound(k25)));
    EXPECT_EQ(tree.UpperBound(r25) - tree.Begin(), position(model.upper_bound(k25)));

    // Walk the run of 59 to a leaf after the one where it starts.
    BTreeIterator later = tree.Find(r59);
    std::uint32_t leaves = 1;
    for (BTreeIterator it = later; !it.IsEnd(); ++it) {
        if (it.GetCurrentPage() == later.GetCurrentPage()) continue;
        if (leaves++ == 1) later = it;
    }
    EXPECT_GE(leaves, 4u);
    ASSERT_EQ(later.GetCurrentRecord(), 1u);
    EXPECT_EQ(tree.FindEx(tree.Begin(), r25), first25);
    EXPECT_EQ(tree.FindEx(first25, r59), tree.Find(r59));
    EXPECT_EQ(tree.FindEx(later, r59), later);
    EXPECT_TRUE(tree.FindEx(later, r25).IsEnd());
    EXPECT_TRUE(tree.FindEx(tree.End(), r59).IsEnd());
    EXPECT_TRUE(tree.FindEx(tree.Begin(), TestTree::MakeKey(Key(60, 1000))).IsEnd());
    EXPECT_TRUE(tree.FindEx(tree.Begin(), TestTree::MakeKey(Key(26, 1001))).IsEnd());

    // Erasing by key takes the whole run, over all its leaves.
    EXPECT_EQ(tree.Erase(r59), 400u);
    EXPECT_EQ(tree.Erase(r59), 0u);
    model.erase(k59);
    ExpectSameAsModel(tree, model);

    // A tree whose records are all equal.
    TestTree same(dir.File("same.tbt"), o);
    const std::string k7 = Key(7, 1000);
    Model sameModel;
    for (std::uint32_t i = 0; i < 300; ++i) {
        ASSERT_TRUE(same.Put(k7, std::to_string(i)).second);
        ModelInsert(sameModel, k7, std::to_string(i));
    }
    ExpectSameAsModel(same, sameModel);
    EXPECT_EQ(same.FindEx(same.Begin(), TestTree::MakeKey(k7)), same.Begin());
    EXPECT_GE(same.GetStatistics().pages[1], 4u);
}

TEST(InsertSearch, RefusedInsertionsLeaveTheTreeUnchanged) {
    std::mt19937 rng = SeededRng(31);
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    Model model;
    for (std::uint32_t i = 0; i < 300; ++i) {
        const std::string key = Key(i * 2, 100 + rng() % 900);
        const std::string value = RandomBytes(rng, rng() % 1000);
        tree.Put(key, value);
        model.emplace(key, value);
    }
    tree.CommitNow();
    const std::uint32_t max = tree.GetMaxRecordSize();
    const std::uint64_t usedBytes = tree.GetStatistics().usedBytes;
    EXPECT_THROW(tree.Put(Key(3, max + 1), ""), TamBTree::BTreeRecordTooLargeException);
    EXPECT_THROW(tree.Put(Key(5, 100), std::string(max - 99, 'v')),
                 TamBTree::BTreeRecordTooLargeException);
    EXPECT_EQ(tree.GetStatistics().usedBytes, usedBytes);
    for (std::uint32_t i = 0; i < 20; ++i) {
        const std::string key = Key(7 + 2 * i, i % 2 ? max : 100);
        const std::string value(max - key.size(), 'v');
        ASSERT_TRUE(tree.Put(key, value).second);
        model.emplace(key, value);
    }
    ExpectSameAsModel(tree, model);

    TestTree fixed(dir.File("fixed.tbt"), Layout(false, 16, true, 4));
    Model fixedModel;
    for (std::uint32_t i = 0; i < 5000; ++i) {
        fixed.Put(Key(i, 16), "vvvv");
        fixedModel.emplace(Key(i, 16), "vvvv");
    }
    const std::pair<std::uint32_t, std::size_t> wrongSizes[] = {{17, 4}, {15, 4}, {16, 3}};
    for (const auto& wrong : wrongSizes)
        EXPECT_THROW(fixed.Put(Key(1, wrong.first), std::string(wrong.second, 'v')),
                     TamBTree::BTreeInvalidPageSizeException);
    ExpectSameAsModel(fixed, fixedModel);
}

TEST_F(Iterators, EndIsCircularAndIteratorsOfOtherTreesNeverEqual) {
    TestTree tree(dir.File("t.tbt"));
    TestTree other(dir.File("o.tbt"));
    const TestTree& constTree = tree;
    EXPECT_EQ(tree.Begin(), tree.End());
    EXPECT_EQ(constTree.Begin(), constTree.End());
    BTreeIterator end = tree.End();
    EXPECT_EQ(--end, tree.End());
    EXPECT_EQ(tree.End() - tree.Begin(), 0u);
    EXPECT_TRUE(constTree.Find(TestTree::MakeKey("k")).IsEnd());

    tree.Put("k", "v");
    other.Put("k", "v");
    const BTreeIterator first(0, 1, &tree);
    BTreeIterator it = tree.Begin();
    EXPECT_EQ(it, first);
    EXPECT_EQ(++it, tree.End());
    EXPECT_EQ(--it, first);
    EXPECT_EQ(--it, tree.End());
    EXPECT_EQ(it--, tree.End());
    EXPECT_EQ(it++, first);
    EXPECT_EQ(it, tree.End());
    EXPECT_EQ(tree.End() - tree.Begin(), 1u);
    BTreeConstIterator c = constTree.End();
    EXPECT_EQ(--c, constTree.Begin());
    EXPECT_EQ(++c, constTree.End());

    // Index 0 names no record: like one past the count, the empty record.
    const Record zero = tree.GetRecord(0, 0);
    EXPECT_EQ(zero.key, tree.GetRecord(0, 2).key);
    EXPECT_EQ(zero.keyLength + zero.valueLength, 0u);

    const BTreeIterator none;
    EXPECT_FALSE(none.IsEnd());
    EXPECT_NE(none, BTreeIterator(0, 0, &tree));
    EXPECT_NE(BTreeConstIterator(), constTree.Begin());
    EXPECT_NE(tree.Begin(), other.Begin());
    EXPECT_NE(tree.End(), other.End());
}

TEST_F(Iterators, StepsAcrossLeavesBothWaysAndDistances) {
    std::mt19937 rng = SeededRng(2024);
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
    }
    EXPECT_GE(leafChanges, 50u);
    BTreeIterator it = tree.End();
    for (std::uint32_t i = n; i > 0; --i) ASSERT_EQ(--it, at[i - 1]);
    EXPECT_EQ(--it, tree.End());

    for (std::uint32_t i = 0; i < n; i += 1 + rng() % 100) {
        EXPECT_EQ(at[i] - tree.Begin(), i);
        EXPECT_EQ(tree.End() - at[i], n - i);
        // An end or later-leaf b gives a's zero-based position.
        EXPECT_EQ(at[i] - tree.End(), i);
        const std::uint32_t j = i + rng() % (n - i);
        EXPECT_EQ(at[j] - at[i], j - i);
        const bool sameLeaf = at[j].GetCurrentPage() == at[i].GetCurrentPage();
        EXPECT_EQ(at[i] - at[j], sameLeaf ? i - j : i);  // modulo 2^32 within one leaf
    }
}

namespace {

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

TEST_F(Iterators, BracketKeepsViewsAndLongWalksDoNotGrowTheCache) {
    std::mt19937 rng = SeededRng(11);
    Options o = Layout(true, 0, true, 0);
    o.cacheSize = 2 * 65536;
    const std::string run = Key(100, 2000);
    std::uint32_t height = 0;
    {
        TestTree tree(dir.File("t.tbt"), o);
        Fill(tree, 0, 40, 2000, rng);
        for (std::uint32_t i = 0; i < 300; ++i) tree.Put(run, std::to_string(i));
        Fill(tree, 200, 40, 2000, rng);
        height = tree.GetStatistics().height;
        tree.CommitNow();
    }
    FailingTree tree(dir.File("t.tbt"), o);
    EXPECT_EQ(tree.UpperBound(TestTree::MakeKey(run)),
              tree.Find(TestTree::MakeKey(Key(200, 2000))));
    // The walk over the run's leaves releases what it mapped itself.
    EXPECT_LE(BTreeTestAccess::CachedViews(tree), height + 2);
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
            EXPECT_EQ(
                std::string(reinterpret_cast<const char*>(records[k].key), records[k].keyLength),
                tree.KeyAt(BTreeIterator(at[k].GetCurrentPage(), 1, &tree)));
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

namespace {

// Stored bytes (entries, length words and slots) of every page of one level,
// left to right, from the leftmost page reached by child 0 links.
std::vector<std::uint32_t> LevelFill(const TestTree& tree, std::uint32_t level) {
    std::uint64_t n = BTreeTestAccess::RootPage(tree);
    for (std::uint32_t i = 0; i < level; ++i) n = BTreeTestAccess::Children(tree, n).at(0);
    std::vector<std::uint32_t> fill;
    for (; n != TamBTree::NO_PAGE; n = BTreeTestAccess::LoadPage(tree, n)->nextPage)
        fill.push_back(65536 - 48 - BTreeTestAccess::PageFreeSpace(tree, n));
    return fill;
}

struct SizeMix {
    const char* name;
    Options options;
    std::uint32_t records;
    // Key and value lengths of one record, within the tree's maximum.
    std::function<std::pair<std::uint32_t, std::uint32_t>(std::mt19937&, std::uint32_t)> draw;
};

}  // namespace

// Random loads of records from the smallest to the largest the tree takes:
// every leaf but the rightmost is at least a third full by stored bytes, and
// the file stays within twice the bytes the records occupy in their pages.
TEST(InsertSearch, SplitsBalanceStoredBytesForEveryMixOfRecordSizes) {
    auto tiny = [](std::mt19937& rng, std::uint32_t) {
        return std::make_pair(1 + rng() % 4u, rng() % 5u);
    };
    auto mixed = [](std::mt19937& rng, std::uint32_t max) {
        const std::uint32_t kind = rng() % 100;
        const std::uint32_t size = kind < 80 ? rng() % 9 : kind < 97 ? rng() % 2000 : max;
        const std::uint32_t key = 1 + (size < 2 ? 0 : rng() % (size < 64 ? size : 64));
        return std::make_pair(key, size > key ? size - key : 0u);
    };
    auto keysOnly = [](std::mt19937& rng, std::uint32_t max) {
        return std::make_pair(rng() % 50 == 0 ? max : 1 + rng() % 8u, 0u);
    };
    auto fixed = [](std::mt19937&, std::uint32_t) { return std::make_pair(4u, 4u); };
    const SizeMix mixes[] = {
        {"4+4 bytes, variable", Layout(false, 0, true, 0), 20000, tiny},
        {"1 byte to the maximum", Layout(false, 0, true, 0), 8000, mixed},
        {"keys alone", Layout(false, 0, false, 0), 3000, keysOnly},
        {"fixed 4+4 bytes", Layout(false, 4, true, 4), 20000, fixed},
        {"duplicates", Layout(true, 0, true, 0), 3000, mixed},
    };
    for (const SizeMix& mix : mixes) {
        const std::uint32_t seed = 20261206;
        SCOPED_TRACE(std::string(mix.name) + ", seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        TempDir dir;
        TestTree tree(dir.File("t.tbt"), mix.options);
        Model model;
        std::uint64_t stored = 0;
        const bool variableKey = !mix.options.fixedKeySize;
        const bool variableValue = mix.options.hasValue && !mix.options.fixedValueSize;
        while (model.size() < mix.records) {
            const auto sizes = mix.draw(rng, tree.GetMaxRecordSize());
            const std::string key = RandomBytes(rng, sizes.first);
            const std::string value = mix.options.hasValue ? RandomBytes(rng, sizes.second) : "";
            if (!mix.options.allowDuplicates && model.count(key)) continue;
            ASSERT_TRUE(tree.Put(key, value).second);
            ModelInsert(model, key, value);
            stored += key.size() + value.size() + 4 * (variableKey + variableValue) + 4;
        }
        tree.CommitNow();
        ExpectValidAndSame(tree, model);
        const std::vector<std::uint32_t> leaves = LevelFill(tree, tree.GetStatistics().height - 1);
        for (std::size_t i = 0; i + 1 < leaves.size(); ++i)
            ASSERT_GE(leaves[i], (65536u - 48) / 3) << "leaf " << i << " of " << leaves.size();
        // Past a few megabytes the file holds at most twice what the records
        // occupy; 20,000 tiny records take no more than 2 MB.
        const std::uint64_t file = tree.GetDiskSpaceUsed();
        EXPECT_LE(file, std::max<std::uint64_t>(2 * stored, 4 << 20)) << stored << " stored";
        if (mix.records == 20000) {
            EXPECT_LE(file, 2000000u);
        }
    }
}

// A record of the largest size goes in among the smallest, in every position,
// with and without a commit between.
TEST(InsertSearch, AMaximumSizeRecordFitsAmongTinyOnes) {
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    Model model;
    std::mt19937 rng(7);
    for (std::uint32_t n = 0; n < 30000; ++n) {
        const std::string key = Key(rng() % 1000000);
        if (model.count(key)) continue;
        tree.Put(key, "v");
        ModelInsert(model, key, "v");
    }
    const std::uint32_t max = tree.GetMaxRecordSize();
    for (std::uint32_t i = 0; i < 40; ++i) {
        const std::string key = Key(i * 25000 + 1) + "m";
        const std::string value(max - key.size(), static_cast<char>('a' + i % 26));
        ASSERT_TRUE(tree.Put(key, value).second) << i;
        ModelInsert(model, key, value);
        if (i % 10 == 9) tree.CommitNow();
    }
    ExpectValidAndSame(tree, model);
}

// Ascending loads leave full leaves behind them (the split at the end of the
// last leaf keeps everything on the left); random ones keep balanced splits.
TEST(InsertSearch, AscendingLoadsFillTheirLeaves) {
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    Model model;
    for (std::uint32_t n = 0; n < 20000; ++n) {
        tree.Put(Key(n, 16), std::string(100, 'v'));
        ModelInsert(model, Key(n, 16), std::string(100, 'v'));
    }
    const std::vector<std::uint32_t> leaves = LevelFill(tree, tree.GetStatistics().height - 1);
    for (std::size_t i = 0; i + 1 < leaves.size(); ++i)
        ASSERT_GE(leaves[i], (65536u - 48) * 9 / 10) << "leaf " << i << " of " << leaves.size();
    ExpectValidAndSame(tree, model);
}

// The single-descent upsert against a map: values that shrink, grow past the
// page's free space and vanish, with commits and a rollback between.
TEST(InsertSearch, InsertOrAssignMatchesAMap) {
    const std::uint32_t seed = 4242;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    UniqueModel model, committed;
    for (int i = 0; i < 6000; ++i) {
        const std::string key = Key(rng() % 1500);
        const std::uint32_t kind = rng() % 10;
        const std::string value(kind < 6   ? rng() % 40
                                : kind < 9 ? rng() % 3000
                                           : 12000,
                                static_cast<char>('a' + i % 26));
        const auto stored = tree.InsertOrAssign(TestTree::Make(key, value));
        ASSERT_EQ(stored.second, model.count(key) == 0) << i;
        ASSERT_EQ(tree.KeyAt(stored.first), key) << i;
        ASSERT_EQ(tree.ValueAt(stored.first), value) << i;
        model[key] = value;
        if (i % 1000 == 500) {
            tree.CommitNow();
            committed = model;
        }
    }
    tree.Rollback();
    ExpectValidAndSame(tree, committed);
}
