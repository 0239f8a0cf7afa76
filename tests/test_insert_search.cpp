// Insertion, search, bounds and iterators against a model of the records:
// trees of three and more levels in every insert order and record layout,
// duplicate runs across leaves, refused insertions and reopening in every
// commit state.
#include <gtest/gtest.h>

#include <algorithm>

#include "TreeChecks.h"

using namespace TamBTreeTest;
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

}  // namespace

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
                    // A key or a value of another than the fixed size is refused.
                    if (keySize || values == 2) {
                        const std::string value(values == 2 ? 119 : 0, 'v');
                        EXPECT_THROW(tree.Put(Key(1, keySize ? 601 : 8), value),
                                     TamBTree::BTreeInvalidPageSizeException);
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
}
