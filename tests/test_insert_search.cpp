// Insertion, search and bounds against a std::multimap model: trees of three
// and more levels in every insert order and record layout, duplicate runs
// across leaves, refused insertions and reopening after a commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <random>

#include "TestTree.h"

using namespace TamBTreeTest;
using TamBTree::BTreeIterator;
using Model = std::multimap<std::string, std::string>;
using Record = TamBTree::BTree::Record;

namespace {

// The 8 digits of n padded to `length` bytes: keys order as their numbers.
std::string Key(std::uint32_t n, std::uint32_t length = 8) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", n);
    std::string key(digits);
    key.resize(std::max<std::uint32_t>(length, 8), static_cast<char>('a' + n % 26));
    return key;
}

std::string RandomBytes(std::mt19937& rng, std::uint32_t length) {
    std::string s(length, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

std::mt19937 SeededRng(unsigned seed) {
    std::printf("seed %u\n", seed);
    return std::mt19937(seed);
}

// A new record goes before the equal records already stored.
void ModelInsert(Model& model, const std::string& key, const std::string& value) {
    model.emplace_hint(model.lower_bound(key), key, value);
}

void ExpectAt(TestTree& tree, const BTreeIterator& it, Model::const_iterator m,
              const Model& model) {
    if (m == model.end()) {
        EXPECT_TRUE(it.IsEnd());
        return;
    }
    ASSERT_FALSE(it.IsEnd()) << "expected key of " << m->first.size() << " bytes";
    EXPECT_EQ(tree.KeyAt(it), m->first);
    EXPECT_EQ(tree.ValueAt(it), m->second);
}

void ExpectBounds(TestTree& tree, const Model& model, const std::string& key) {
    const Record r = TestTree::MakeKey(key);
    const Model::const_iterator lower = model.lower_bound(key);
    ExpectAt(tree, tree.LowerBound(r), lower, model);
    ExpectAt(tree, tree.UpperBound(r), model.upper_bound(key), model);
    const bool present = lower != model.end() && lower->first == key;
    ExpectAt(tree, tree.Find(r), present ? lower : model.end(), model);
}

// Both iterations equal the model, page 0 holds the first record, and every
// key and its neighbours outside the tree bound as in the model.
void ExpectSameAsModel(TestTree& tree, const Model& model) {
    ASSERT_EQ(tree.Size(), model.size());
    ASSERT_EQ(tree.End() - tree.Begin(), model.size());
    if (!model.empty()) {
        ASSERT_EQ(tree.Begin(), BTreeIterator(0, 1, &tree));
    }
    BTreeIterator it = tree.Begin();
    for (const auto& entry : model) {
        ASSERT_FALSE(it.IsEnd());
        ASSERT_EQ(tree.KeyAt(it), entry.first);
        ASSERT_EQ(tree.ValueAt(it), entry.second);
        ++it;
    }
    ASSERT_TRUE(it.IsEnd());
    for (auto m = model.rbegin(); m != model.rend(); ++m) {
        --it;
        ASSERT_FALSE(it.IsEnd());
        ASSERT_EQ(tree.KeyAt(it), m->first);
        ASSERT_EQ(tree.ValueAt(it), m->second);
    }
    EXPECT_TRUE((--it).IsEnd());
    for (auto m = model.begin(); m != model.end(); m = model.upper_bound(m->first)) {
        ExpectBounds(tree, model, m->first);
        ExpectBounds(tree, model, m->first + '\0');
        ExpectBounds(tree, model, m->first.substr(0, m->first.size() - 1));
    }
    ExpectBounds(tree, model, "");
    ExpectBounds(tree, model, "\xff");
    EXPECT_NO_THROW(tree.ValidateTree());
}

struct Shape {
    std::uint32_t records;
    std::uint32_t height;
    std::uint64_t pageCount;
    std::uint64_t usedBytes;
    bool operator==(const Shape& o) const {
        return records == o.records && height == o.height && pageCount == o.pageCount &&
               usedBytes == o.usedBytes;
    }
};

Shape ShapeOf(const TestTree& tree) {
    const TamBTree::BTree::Statistics s = tree.GetStatistics();
    return Shape{s.records, s.height, s.pageCount, s.usedBytes};
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
        std::vector<std::uint32_t> numbers(n);
        for (std::uint32_t i = 0; i < n; ++i) numbers[i] = order == 1 ? n - 1 - i : i;
        if (order == 2) std::shuffle(numbers.begin(), numbers.end(), rng);
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
            EXPECT_EQ(tree.Size(), model.size());
            tree.PreCommit();
            tree.Commit();
        }
        TestTree reopened(dir.File("t.tbt"));
        ExpectSameAsModel(reopened, model);
    }
}

TEST(InsertSearch, RecordsUpToTheMaximumSize) {
    std::mt19937 rng = SeededRng(99);
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    // An interval of 0 turns the disk-space check off.
    tree.SetEnoughSpaceCheckInterval(0);
    Model model;
    const std::uint32_t max = tree.GetMaxRecordSize();
    for (std::uint32_t i = 0; i < 3000; ++i) {
        // Keys up to the maximum size leave internal pages a handful of keys.
        const std::uint32_t keyLength = 1 + rng() % (i % 3 == 0 ? max : 64);
        const std::string key = RandomBytes(rng, keyLength);
        const std::uint32_t room = max - keyLength;
        const std::string value = RandomBytes(rng, i % 7 == 0 ? room : rng() % (room + 1));
        const bool fresh = model.find(key) == model.end();
        ASSERT_EQ(tree.Put(key, value).second, fresh);
        if (fresh) model.emplace(key, value);
    }
    EXPECT_GE(tree.GetStatistics().height, 3u);
    ExpectSameAsModel(tree, model);
}

TEST(InsertSearch, EveryRecordLayoutWithAndWithoutDuplicates) {
    struct Layout {
        bool fixedKey, hasValue, fixedValue;
    };
    const Layout layouts[] = {{false, false, false}, {false, true, false}, {false, true, true},
                              {true, false, false},  {true, true, false},  {true, true, true}};
    unsigned seed = 500;
    for (const Layout& layout : layouts) {
        for (const bool duplicates : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "fixed key " << layout.fixedKey << ", value " << layout.hasValue
                         << ", fixed value " << layout.fixedValue << ", duplicates " << duplicates);
            std::mt19937 rng = SeededRng(seed++);
            Options o;
            o.allowDuplicates = duplicates;
            o.fixedKeySize = layout.fixedKey;
            o.hasValue = layout.hasValue;
            o.fixedValueSize = layout.fixedValue;
            o.keySize = layout.fixedKey ? 600 : 0;
            o.valueSize = layout.fixedValue ? 120 : 0;
            TempDir dir;
            TestTree tree(dir.File("t.tbt"), o);
            Model model;
            for (std::uint32_t i = 0; i < 2000; ++i) {
                const std::uint32_t number = rng() % (duplicates ? 300 : 100000);
                // One length per number, so that numbers repeat as equal keys.
                const std::string key = Key(number, layout.fixedKey ? 600 : 8 + number * 37 % 900);
                // A tree without values ignores the value it is given, of any size.
                const std::uint32_t valueLength =
                    layout.fixedValue ? 120
                                      : (!layout.hasValue && i % 100 == 0 ? 70000 : rng() % 500);
                const std::string value = RandomBytes(rng, valueLength);
                const std::string stored = layout.hasValue ? value : std::string();
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
        }
    }
}

TEST(InsertSearch, DuplicateRunsAcrossLeaves) {
    std::mt19937 rng = SeededRng(4242);
    TempDir dir;
    Options o;
    o.allowDuplicates = true;
    TestTree tree(dir.File("t.tbt"), o);
    Model model;
    // Keys 0..59 once, a few of them many times; key 59 runs to the end.
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t k = 0; k < 60; ++k) numbers.push_back(k);
    const std::pair<std::uint32_t, std::uint32_t> runs[] = {
        {10, 70}, {25, 150}, {40, 3}, {59, 400}};
    for (const auto& run : runs) numbers.insert(numbers.end(), run.second - 1, run.first);
    std::shuffle(numbers.begin(), numbers.end(), rng);
    for (std::uint32_t i = 0; i < numbers.size(); ++i) {
        const std::string key = Key(numbers[i], 1000);
        ASSERT_TRUE(tree.Put(key, std::to_string(i)).second);
        ModelInsert(model, key, std::to_string(i));
    }
    ExpectSameAsModel(tree, model);

    const std::string k25 = Key(25, 1000), k59 = Key(59, 1000), k7 = Key(7, 1000);
    const Record r25 = TestTree::MakeKey(k25);
    const Record r59 = TestTree::MakeKey(k59);
    const BTreeIterator first25 = tree.LowerBound(r25);
    const auto position = [&model](Model::const_iterator m) {
        return static_cast<std::uint32_t>(std::distance(model.cbegin(), m));
    };
    EXPECT_EQ(first25 - tree.Begin(), position(model.lower_bound(k25)));
    EXPECT_EQ(tree.UpperBound(r25) - tree.Begin(), position(model.upper_bound(k25)));
    EXPECT_EQ(tree.UpperBound(r59), tree.End());

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

    // A tree whose records are all equal.
    TestTree same(dir.File("same.tbt"), o);
    Model sameModel;
    for (std::uint32_t i = 0; i < 300; ++i) {
        ASSERT_TRUE(same.Put(k7, std::to_string(i)).second);
        ModelInsert(sameModel, k7, std::to_string(i));
    }
    ExpectSameAsModel(same, sameModel);
    const Record r7 = TestTree::MakeKey(k7);
    EXPECT_EQ(same.LowerBound(r7), same.Begin());
    EXPECT_EQ(same.Find(r7), same.Begin());
    EXPECT_EQ(same.FindEx(same.Begin(), r7), same.Begin());
    EXPECT_EQ(same.UpperBound(r7), same.End());
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
    tree.PreCommit();
    tree.Commit();
    const Shape shape = ShapeOf(tree);
    const std::uint32_t max = tree.GetMaxRecordSize();

    tree.ReadOnly(true);
    EXPECT_THROW(tree.Put(Key(1), "v"), TamBTree::BTreeReadOnlyException);
    tree.ReadOnly(false);
    EXPECT_THROW(tree.Put(Key(3, max + 1), ""), TamBTree::BTreeRecordTooLargeException);
    EXPECT_THROW(tree.Put(Key(5, 100), std::string(max - 99, 'v')),
                 TamBTree::BTreeRecordTooLargeException);
    EXPECT_EQ(ShapeOf(tree), shape);
    ExpectSameAsModel(tree, model);
    for (std::uint32_t i = 0; i < 20; ++i) {
        const std::string key = Key(7 + 2 * i, i % 2 ? max : 100);
        const std::string value(max - key.size(), 'v');
        ASSERT_TRUE(tree.Put(key, value).second);
        model.emplace(key, value);
    }
    ExpectSameAsModel(tree, model);

    Options fixed;
    fixed.fixedKeySize = fixed.fixedValueSize = true;
    fixed.keySize = 16;
    fixed.valueSize = 4;
    TestTree fixedTree(dir.File("fixed.tbt"), fixed);
    Model fixedModel;
    for (std::uint32_t i = 0; i < 5000; ++i) {
        fixedTree.Put(Key(i, 16), "vvvv");
        fixedModel.emplace(Key(i, 16), "vvvv");
    }
    const Shape fixedShape = ShapeOf(fixedTree);
    EXPECT_THROW(fixedTree.Put(Key(1, 17), "vvvv"), TamBTree::BTreeInvalidPageSizeException);
    EXPECT_THROW(fixedTree.Put(Key(1, 15), "vvvv"), TamBTree::BTreeInvalidPageSizeException);
    EXPECT_THROW(fixedTree.Put(Key(1, 16), "vvv"), TamBTree::BTreeInvalidPageSizeException);
    EXPECT_EQ(ShapeOf(fixedTree), fixedShape);
    ExpectSameAsModel(fixedTree, fixedModel);
}

TEST(InsertSearch, InsertingARecordReadFromTheTreeStoresItsBytes) {
    for (const bool duplicates : {false, true}) {
        std::mt19937 rng = SeededRng(77 + duplicates);
        TempDir dir;
        Options o;
        o.allowDuplicates = duplicates;
        o.cacheSize = 65536;
        TestTree tree(dir.File("t.tbt"), o);
        Model model;
        for (std::uint32_t i = 0; i < 300; ++i) {
            const std::string key = Key(i * 10, 1000 + rng() % 500);
            const std::string value = RandomBytes(rng, 500 + rng() % 1000);
            tree.Put(key, value);
            model.emplace(key, value);
        }
        // The record points into the very leaf that the insertion changes or
        // splits.
        for (std::uint32_t i = 0; i < 600; ++i) {
            const auto source = std::next(model.begin(), rng() % model.size());
            const BTreeIterator at = tree.LowerBound(TestTree::MakeKey(source->first));
            Record r = tree.GetRecord(at.GetCurrentPage(), at.GetCurrentRecord());
            // Without duplicates, a prefix of the key is a new key.
            if (!duplicates) r.keyLength -= 1 + rng() % 8;
            const std::string key(reinterpret_cast<const char*>(r.key), r.keyLength);
            const std::string value(reinterpret_cast<const char*>(r.value), r.valueLength);
            const bool fresh = duplicates || model.find(key) == model.end();
            const auto result = tree.Insert(r);
            ASSERT_EQ(result.second, fresh);
            EXPECT_EQ(tree.KeyAt(result.first), key);
            if (fresh) {
                EXPECT_EQ(tree.ValueAt(result.first), value);
                ModelInsert(model, key, value);
            }
        }
        ExpectSameAsModel(tree, model);
    }
}
