// Erasure with rebalancing, Update and Clear, against a model of the records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "TestTree.h"

using namespace TamBTreeTest;
using TamBTree::BTreeException;
using TamBTree::BTreeIterator;
using TamBTree::BTreeReadOnlyException;
using TamBTree::BTreeRecordTooLargeException;
using TamBTree::BTreeTestAccess;
using TamBTree::CacheOperation;
using Record = TamBTree::BTree::Record;
// Equal keys keep the tree's order: a new record goes before the stored ones.
using Model = std::multimap<std::string, std::string>;

namespace {

std::mt19937 SeededRng(unsigned seed) {
    std::printf("seed %u\n", seed);
    return std::mt19937(seed);
}

// The 8 digits of n padded to `length` bytes: keys order as their numbers.
std::string Key(std::uint32_t n, std::uint32_t length = 8) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", n);
    std::string key(digits);
    key.resize(std::max<std::uint32_t>(length, 8), 'k');
    return key;
}

// Long keys give internal pages a small fan-out, so the tree grows tall fast;
// a third of the keys are short, so that a separator may have to grow.
std::string LongKey(std::uint32_t n) {
    return Key(n, n % 3 == 0 ? 8 + n % 24 : 1500 + (n * 7919u) % 1501);
}

std::string Value(std::mt19937& rng, std::uint32_t length) {
    std::string s(length, '\0');
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    return s;
}

void Insert(TestTree& tree, Model& model, const std::string& key, const std::string& value) {
    model.emplace_hint(model.lower_bound(key), key, value);
    ASSERT_TRUE(tree.Put(key, value).second);
}

std::uint32_t Height(const TestTree& tree) {
    return tree.GetStatistics().height;
}

// The tree iterator of a model element: its rank among the equal records
// decides how far to step from the lower bound.
BTreeIterator Locate(TestTree& tree, const Model& model, Model::const_iterator at) {
    BTreeIterator it = tree.LowerBound(TestTree::MakeKey(at->first));
    for (auto m = model.lower_bound(at->first); m != at; ++m) ++it;
    return it;
}

Model::iterator RandomElement(Model& model, std::mt19937& rng) {
    return std::next(model.begin(), static_cast<long>(rng() % model.size()));
}

void ExpectNextAfterErase(TestTree& tree, const Model& model, Model::const_iterator after,
                          bool nextValid, const BTreeIterator& next) {
    if (!nextValid || after == model.end()) {
        EXPECT_TRUE(next.IsEnd());
        return;
    }
    ASSERT_FALSE(next.IsEnd());
    EXPECT_EQ(tree.KeyAt(next), after->first);
    EXPECT_EQ(tree.ValueAt(next), after->second);
}

void EraseAt(TestTree& tree, Model& model, Model::iterator at) {
    const BTreeIterator it = Locate(tree, model, at);
    bool nextValid;
    BTreeIterator next;
    ASSERT_TRUE(tree.Erase(it, nextValid, next));
    const Model::const_iterator after = model.erase(at);
    ExpectNextAfterErase(tree, model, after, nextValid, next);
}

// Moves the model's record as Update moved the tree's: it keeps its rank among
// equal records (in place) or becomes the first of them (erase and insert).
void RecordUpdate(TestTree& tree, Model& model, Model::iterator at, const BTreeIterator& result,
                  const std::string value) {  // a copy: it may be the erased record's
    const std::string key = at->first;
    ASSERT_EQ(tree.KeyAt(result), key);
    ASSERT_EQ(tree.ValueAt(result), value);
    const long rank = std::distance(model.lower_bound(key), at);
    long newRank = 0;
    for (BTreeIterator s = tree.LowerBound(TestTree::MakeKey(key)); s != result; ++s) ++newRank;
    EXPECT_TRUE(newRank == rank || newRank == 0) << "rank " << rank << " became " << newRank;
    model.erase(at);
    model.emplace_hint(std::next(model.lower_bound(key), newRank), key, value);
}

// Updates with the same, a smaller or a much larger value. The record keeps
// its place when updated in place and moves when the page has no room.
bool UpdateAt(TestTree& tree, Model& model, Model::iterator at, std::mt19937& rng) {
    const std::string key = at->first;
    const std::uint32_t old = static_cast<std::uint32_t>(at->second.size());
    const std::uint32_t room = tree.GetMaxRecordSize() - static_cast<std::uint32_t>(key.size());
    const std::uint32_t kind = rng() % 3;
    const std::uint32_t length = kind == 0 ? old
                                 : kind == 1
                                     ? old / 2
                                     : std::min<std::uint32_t>(room, old + 2000 + rng() % 6000);
    const std::string value = Value(rng, length);
    const BTreeIterator it = Locate(tree, model, at);
    const BTreeIterator result = tree.Update(it, TestTree::Make(key, value));
    RecordUpdate(tree, model, at, result, value);
    return result != it;
}

struct Counts {
    int moved = 0;
    int inPlace = 0;
};

struct Shape {
    const char* name;
    unsigned seed;
    bool duplicates;
    std::uint32_t keySpace;
    std::uint32_t records;
    // A quarter of the keys short, the others of the largest record size.
    bool hugeKeys;
};

std::string ShapeKey(const TestTree& tree, const Shape& shape, std::uint32_t n) {
    return shape.hugeKeys ? Key(n, n % 4 == 0 ? 8 + n % 24 : tree.GetMaxRecordSize()) : LongKey(n);
}

std::string ValueFor(const TestTree& tree, const std::string& key, std::mt19937& rng) {
    const std::uint32_t room = tree.GetMaxRecordSize() - static_cast<std::uint32_t>(key.size());
    return Value(rng, std::min<std::uint32_t>(room, rng() % 700));
}

void RandomOps(TestTree& tree, Model& model, std::mt19937& rng, const Shape& shape, int ops,
               Counts& counts) {
    for (int i = 0; i < ops; ++i) {
        const std::uint32_t choice = rng() % 10;
        if (choice < 4 || model.empty()) {
            const std::string key = ShapeKey(tree, shape, rng() % shape.keySpace);
            const std::string value = ValueFor(tree, key, rng);
            if (shape.duplicates || model.count(key) == 0) {
                Insert(tree, model, key, value);
            } else {
                const auto result = tree.Put(key, value);
                ASSERT_FALSE(result.second);
                ASSERT_EQ(tree.KeyAt(result.first), key);
            }
        } else if (choice < 6) {
            EraseAt(tree, model, RandomElement(model, rng));
        } else if (choice < 7) {
            const std::string key = ShapeKey(tree, shape, rng() % shape.keySpace);
            ASSERT_EQ(tree.Erase(TestTree::MakeKey(key)), model.erase(key));
        } else {
            (UpdateAt(tree, model, RandomElement(model, rng), rng) ? counts.moved
                                                                   : counts.inPlace)++;
        }
    }
}

void Reopen(std::unique_ptr<TestTree>& tree, const std::string& path, const Options& options) {
    tree.reset();
    tree.reset(new TestTree(path, options));
}

// A two-level tree of ascending keys with 1000-byte values: the root holds
// one separator above two leaves.
void BuildTwoLeaves(TestTree& tree, Model& model) {
    std::mt19937 rng(5);
    for (std::uint32_t n = 0; Height(tree) < 2; ++n) Insert(tree, model, Key(n), Value(rng, 1000));
    ASSERT_EQ(tree.GetStatistics().pages[1], 2u);
}

}  // namespace

TEST(EraseUpdate, RandomizedAgainstModelOnTallTrees) {
    // Few keys with duplicates make long runs of equal records across leaves
    // and internal pages; keys of the largest size leave internal pages room
    // for four keys, so rebalancing works on internal pages all the time.
    const Shape shapes[] = {{"unique keys", 701, false, 4000, 1500, false},
                            {"duplicates", 702, true, 600, 1500, false},
                            {"long runs", 703, true, 40, 1500, false},
                            {"largest keys", 704, false, 100000, 300, true}};
    for (const Shape& shape : shapes) {
        const bool duplicates = shape.duplicates;
        SCOPED_TRACE(shape.name);
        std::mt19937 rng = SeededRng(shape.seed);
        TempDir dir;
        const std::string path = dir.File("t.tbt");
        Options options;
        options.allowDuplicates = duplicates;
        auto tree = std::make_unique<TestTree>(path, options);
        Model model;
        Counts counts;

        while (model.size() < shape.records) {
            const std::string key = ShapeKey(*tree, shape, rng() % shape.keySpace);
            if (duplicates || model.count(key) == 0)
                Insert(*tree, model, key, ValueFor(*tree, key, rng));
        }
        ASSERT_EQ(tree->Difference(model), "");
        ASSERT_GE(Height(*tree), 3u);
        ASSERT_NO_THROW(tree->ValidateTree());
        tree->PreCommit();
        tree->Commit();
        Reopen(tree, path, options);
        ASSERT_EQ(tree->Difference(model), "");

        for (int phase = 0; phase < 3; ++phase) {
            SCOPED_TRACE("phase " + std::to_string(phase));
            const Model committed = model;
            RandomOps(*tree, model, rng, shape, static_cast<int>(shape.records), counts);
            ASSERT_EQ(tree->Difference(model), "");
            ASSERT_NO_THROW(tree->ValidateTree());
            if (phase == 1) {
                tree->Rollback();
                model = committed;
            } else {
                tree->PreCommit();
                tree->Commit();
                Reopen(tree, path, options);
            }
            ASSERT_EQ(tree->Difference(model), "");
            ASSERT_NO_THROW(tree->ValidateTree());
        }
        EXPECT_GT(counts.inPlace, 0);
        // Values of records with the largest keys cannot grow.
        if (!shape.hugeKeys) {
            EXPECT_GT(counts.moved, 0);
        }

        // Erase everything: the height falls level by level to the root leaf
        // (a borrow that splits the parent may raise it for a while).
        const std::uint32_t start = Height(*tree);
        std::set<std::uint32_t> heights;
        for (std::uint32_t i = 0; !model.empty(); ++i) {
            if (i % 2 == 0) {
                EraseAt(*tree, model, RandomElement(model, rng));
            } else {
                const std::string key = RandomElement(model, rng)->first;
                ASSERT_EQ(tree->Erase(TestTree::MakeKey(key)), model.erase(key));
            }
            heights.insert(Height(*tree));
            if (i % 500 == 0) {
                ASSERT_EQ(tree->Difference(model), "");
            }
        }
        for (std::uint32_t h = 1; h <= start; ++h) EXPECT_EQ(heights.count(h), 1u) << h;
        EXPECT_EQ(tree->Size(), 0u);
        EXPECT_EQ(tree->Begin(), tree->End());
        EXPECT_EQ(Height(*tree), 1u);
        EXPECT_EQ(BTreeTestAccess::RootPage(*tree), 0u);
        ASSERT_NO_THROW(tree->ValidateTree());
        tree->PreCommit();
        tree->Commit();
        Reopen(tree, path, options);
        ASSERT_NO_THROW(tree->ValidateTree());
        EXPECT_EQ(tree->Put("again", "v").first, BTreeIterator(0, 1, tree.get()));
    }
}

TEST(EraseUpdate, EraseByRecordRemovesARunOfEqualRecordsOverSeveralLeaves) {
    std::mt19937 rng = SeededRng(710);
    TempDir dir;
    Options options;
    options.allowDuplicates = true;
    TestTree tree(dir.File("t.tbt"), options);
    Model model;
    const std::string run = Key(500, 1000);
    std::vector<std::string> keys;
    for (std::uint32_t i = 0; i < 150; ++i) keys.push_back(run);
    for (std::uint32_t i = 0; i < 300; ++i) keys.push_back(Key(i < 150 ? i : 850 + i, 1000));
    std::shuffle(keys.begin(), keys.end(), rng);
    for (const std::string& key : keys) Insert(tree, model, key, Value(rng, 600));

    std::set<std::uint64_t> leaves;
    for (BTreeIterator it = tree.LowerBound(TestTree::MakeKey(run));
         !it.IsEnd() && tree.KeyAt(it) == run; ++it)
        leaves.insert(it.GetCurrentPage());
    ASSERT_GE(leaves.size(), 3u);

    EXPECT_EQ(tree.Erase(TestTree::MakeKey(run)), 150u);
    model.erase(run);
    EXPECT_EQ(tree.Erase(TestTree::MakeKey(run)), 0u);
    EXPECT_EQ(tree.Difference(model), "");
    EXPECT_NO_THROW(tree.ValidateTree());
}

// A leaf at 32744 free bytes after an erasure is not underfull; at 32745 it is
// and gets rebalanced, which the erasure reports with nextValid false.
TEST(EraseUpdate, UnderflowBoundaryIsHalfThePageWithoutHeader) {
    for (const std::uint32_t target : {32744u, 32745u}) {
        SCOPED_TRACE("free bytes after the erasure " + std::to_string(target));
        TempDir dir;
        TestTree tree(dir.File("t.tbt"));
        Model model;
        BuildTwoLeaves(tree, model);
        // Record 2 of page 0 goes; record 1 is resized in place so that the
        // erasure leaves exactly `target` free bytes.
        const BTreeIterator a(0, 2, &tree);
        const BTreeIterator b(0, 1, &tree);
        const std::uint32_t erased =
            4 + 4 + 4 + static_cast<std::uint32_t>(tree.KeyAt(a).size() + tree.ValueAt(a).size());
        const std::int64_t grow =
            static_cast<std::int64_t>(BTreeTestAccess::PageFreeSpace(tree, 0)) + erased - target;
        const std::int64_t length = static_cast<std::int64_t>(tree.ValueAt(b).size()) + grow;
        ASSERT_GE(length, 0);
        const std::string key = tree.KeyAt(b);
        const std::string value(static_cast<std::size_t>(length), 'v');
        ASSERT_EQ(tree.Update(b, TestTree::Make(key, value)), b);
        model.find(key)->second = value;
        ASSERT_EQ(BTreeTestAccess::PageFreeSpace(tree, 0), target - erased);

        const std::string next = std::next(model.begin(), 2)->first;
        bool nextValid;
        BTreeIterator after;
        tree.Erase(a, nextValid, after);
        model.erase(std::next(model.begin()));
        if (target == 32744) {
            EXPECT_TRUE(nextValid);
            EXPECT_EQ(after, a);
            EXPECT_EQ(tree.KeyAt(after), next);
            EXPECT_EQ(BTreeTestAccess::PageFreeSpace(tree, 0), target);
        } else {
            EXPECT_FALSE(nextValid);
            EXPECT_TRUE(after.IsEnd());
            EXPECT_LT(BTreeTestAccess::PageFreeSpace(tree, 0), target);
        }
        EXPECT_EQ(tree.Difference(model), "");
        EXPECT_NO_THROW(tree.ValidateTree());
    }
}

TEST(EraseUpdate, MergeOfTheRootsLastTwoChildrenMakesTheLeftOneTheRoot) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    Model model;
    {
        TestTree tree(path);
        BuildTwoLeaves(tree, model);
        tree.PreCommit();
        tree.Commit();
        const std::uint64_t oldRoot = BTreeTestAccess::RootPage(tree);
        ASSERT_NE(oldRoot, 0u);
        while (Height(tree) == 2) {
            ASSERT_FALSE(model.empty());
            bool nextValid;
            BTreeIterator next;
            BTreeIterator last = tree.End();
            tree.Erase(--last, nextValid, next);
            model.erase(std::prev(model.end()));
        }
        EXPECT_GT(model.size(), 10u);
        EXPECT_EQ(BTreeTestAccess::RootPage(tree), 0u);
        EXPECT_EQ(tree.GetStatistics().pages[0], 1u);
        EXPECT_EQ(tree.Difference(model), "");
        EXPECT_NO_THROW(tree.ValidateTree());
        tree.PreCommit();
        tree.Commit();
    }
    TestTree tree(path);
    EXPECT_EQ(tree.Difference(model), "");
    EXPECT_NO_THROW(tree.ValidateTree());
}

TEST(EraseUpdate, UpdateChecksTheMaximumRecordSizeAndTheKey) {
    std::mt19937 rng = SeededRng(730);
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    Model model;
    for (std::uint32_t n = 0; n < 200; ++n) Insert(tree, model, Key(n), Value(rng, 900));
    const std::string key = Key(77);
    const std::uint32_t max = tree.GetMaxRecordSize();

    const std::string largest = Value(rng, max - static_cast<std::uint32_t>(key.size()));
    const BTreeIterator it =
        tree.Update(tree.Find(TestTree::MakeKey(key)), TestTree::Make(key, largest));
    EXPECT_EQ(tree.ValueAt(it), largest);
    model.find(key)->second = largest;
    const std::string tooLarge = largest + "x";
    EXPECT_THROW(tree.Update(it, TestTree::Make(key, tooLarge)), BTreeRecordTooLargeException);

    const std::wstring differs = L"The record's key differs from the key at the iterator.";
    for (const std::string& other : {Key(78), key + "x", key.substr(0, 7)}) {
        try {
            tree.Update(it, TestTree::Make(other, "v"));
            ADD_FAILURE() << "a different key was accepted";
        } catch (const BTreeException& e) {
            EXPECT_EQ(e.What(), differs);
        }
    }
    EXPECT_EQ(tree.Difference(model), "");
    EXPECT_NO_THROW(tree.ValidateTree());
}

// Records taken straight from GetRecord point into the very page the
// operation changes; what is stored must be the bytes they had.
TEST(EraseUpdate, RecordsPointingIntoTheTreesOwnPagesAreStoredIntact) {
    for (const bool duplicates : {false, true}) {
        SCOPED_TRACE(duplicates ? "duplicates" : "unique keys");
        std::mt19937 rng = SeededRng(duplicates ? 741 : 740);
        TempDir dir;
        Options options;
        options.allowDuplicates = duplicates;
        TestTree tree(dir.File("t.tbt"), options);
        Model model;
        for (std::uint32_t n = 0; n < 300; ++n)
            Insert(tree, model, Key(n * 2, 40), Value(rng, 1500));
        for (std::uint32_t i = 0; i < 600; ++i) {
            if (i % 100 == 0) {
                tree.PreCommit();
                tree.Commit();
            }
            CacheOperation bracket(&tree);
            const auto at = RandomElement(model, rng);
            const auto other = RandomElement(model, rng);
            const BTreeIterator it = Locate(tree, model, at);
            const BTreeIterator from = Locate(tree, model, other);
            const Record own = tree.GetRecord(it.GetCurrentPage(), it.GetCurrentRecord());
            const Record source = tree.GetRecord(from.GetCurrentPage(), from.GetCurrentRecord());
            const std::string value = other->second;
            if (i % 3 == 0) {
                RecordUpdate(tree, model, at, tree.Update(it, own), at->second);
            } else if (i % 3 == 1) {
                const Record mixed{own.key, own.keyLength, source.value, source.valueLength};
                RecordUpdate(tree, model, at, tree.Update(it, mixed), value);
            } else if (duplicates) {
                const auto result = tree.Insert(source);
                ASSERT_TRUE(result.second);
                EXPECT_EQ(tree.KeyAt(result.first), other->first);
                EXPECT_EQ(tree.ValueAt(result.first), value);
                model.emplace_hint(model.lower_bound(other->first), other->first, value);
            } else {
                const std::string key = Key(1 + 2 * (rng() % 400), 40);
                const Record fresh{reinterpret_cast<const unsigned char*>(key.data()),
                                   static_cast<std::uint32_t>(key.size()), source.value,
                                   source.valueLength};
                const auto result = tree.Insert(fresh);
                EXPECT_EQ(result.second, model.count(key) == 0);
                if (result.second) model.emplace(key, value);
                EXPECT_EQ(tree.ValueAt(result.first), model.find(key)->second);
            }
            if (HasFailure()) return;
        }
        EXPECT_EQ(tree.Difference(model), "");
        EXPECT_NO_THROW(tree.ValidateTree());
    }
}

TEST(EraseUpdate, ClearEmptiesTheTreeAndInsertionStartsAgainAtPageZero) {
    std::mt19937 rng = SeededRng(750);
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    {
        TestTree tree(path);
        Model model;
        for (std::uint32_t n = 0; n < 2000; ++n) Insert(tree, model, LongKey(n), Value(rng, 200));
        tree.PreCommit();
        tree.Commit();
        tree.Erase(TestTree::MakeKey(LongKey(7)));
        const BTreeIterator end = tree.End();
        tree.Clear();
        EXPECT_EQ(tree.Size(), 0u);
        EXPECT_EQ(tree.Begin(), tree.End());
        EXPECT_EQ(end, tree.End());
        EXPECT_EQ(Height(tree), 1u);
        EXPECT_NO_THROW(tree.ValidateTree());
        const auto result = tree.Put("first", "v");
        EXPECT_EQ(result.first, BTreeIterator(0, 1, &tree));
        EXPECT_EQ(tree.Begin(), BTreeIterator(0, 1, &tree));
        tree.PreCommit();
        tree.Commit();
    }
    TestTree tree(path);
    EXPECT_EQ(tree.Size(), 1u);
    EXPECT_EQ(tree.KeyAt(tree.Begin()), "first");
}

TEST(EraseUpdate, ReadOnlyTreeRefusesEveryChange) {
    std::mt19937 rng = SeededRng(760);
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    Model model;
    {
        TestTree tree(path);
        for (std::uint32_t n = 0; n < 300; ++n) Insert(tree, model, Key(n), Value(rng, 500));
        tree.PreCommit();
        tree.Commit();
    }
    Options options;
    options.readOnly = true;
    TestTree tree(path, options);
    const BTreeIterator first = tree.Begin();
    bool nextValid = true;
    BTreeIterator next = first;
    EXPECT_THROW(tree.Erase(first, nextValid, next), BTreeReadOnlyException);
    EXPECT_FALSE(nextValid);
    EXPECT_TRUE(next.IsEnd());
    EXPECT_THROW(tree.Erase(TestTree::MakeKey(Key(3))), BTreeReadOnlyException);
    EXPECT_THROW(tree.Update(first, TestTree::Make(Key(0), "v")), BTreeReadOnlyException);
    EXPECT_THROW(tree.Clear(), BTreeReadOnlyException);
    EXPECT_THROW(tree.Put(Key(1000), "v"), BTreeReadOnlyException);
    EXPECT_EQ(tree.Difference(model), "");
    EXPECT_NO_THROW(tree.ValidateTree());
}

// Pages freed by erasure return after the commit: a long cycle of inserting
// and erasing stops growing the file.
TEST(EraseUpdate, FreedPagesAreReusedSoTheFileStopsGrowing) {
    std::mt19937 rng = SeededRng(770);
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    std::vector<std::uint64_t> sizes;
    std::vector<std::uint64_t> pageCounts;
    for (std::uint32_t cycle = 0; cycle < 30; ++cycle) {
        for (std::uint32_t n = 0; n < 400; ++n)
            tree.Put(Key(cycle * 1000 + n, 100), Value(rng, 2000));
        tree.PreCommit();
        tree.Commit();
        for (std::uint32_t n = 0; n < 400; ++n)
            ASSERT_EQ(tree.Erase(TestTree::MakeKey(Key(cycle * 1000 + n, 100))), 1u);
        tree.PreCommit();
        tree.Commit();
        sizes.push_back(tree.GetDiskSpaceUsed());
        pageCounts.push_back(BTreeTestAccess::PageCount(tree));
    }
    EXPECT_EQ(tree.Size(), 0u);
    EXPECT_EQ(sizes.back(), sizes[4]);
    EXPECT_EQ(pageCounts.back(), pageCounts[4]);
    EXPECT_NO_THROW(tree.ValidateTree());
}

// Rebalancing finds a page's ancestors from a probe of its keys; with equal
// keys the descent can end left of the page and must walk right along the
// page's level, leaves and internal pages alike.
TEST(EraseUpdate, PathOfEveryPageIsItsTrueAncestry) {
    const Shape shapes[] = {{"unique keys", 790, false, 4000, 2400, false},
                            {"long runs", 791, true, 4, 2400, false}};
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        std::mt19937 rng = SeededRng(shape.seed);
        TempDir dir;
        Options options;
        options.allowDuplicates = shape.duplicates;
        TestTree tree(dir.File("t.tbt"), options);
        Model model;
        for (std::uint32_t i = 0; i < shape.records; ++i) {
            const std::uint32_t n = rng() % shape.keySpace;
            const std::string key = shape.duplicates ? Key(n, 3000) : LongKey(n);
            if (shape.duplicates || model.count(key) == 0)
                Insert(tree, model, key, Value(rng, rng() % 60));
        }
        for (int round = 0; round < 2; ++round) {
            ASSERT_GE(Height(tree), 3u);
            // Every page's ancestors, from a walk down from the root.
            std::map<std::uint64_t, std::vector<std::uint64_t>> ancestors;
            std::vector<std::uint64_t> pending{BTreeTestAccess::RootPage(tree)};
            ancestors[pending[0]] = {};
            std::uint32_t checked = 0;
            while (!pending.empty()) {
                const std::uint64_t page = pending.back();
                pending.pop_back();
                std::vector<std::uint64_t> below = ancestors[page];
                below.push_back(page);
                for (std::uint64_t child : BTreeTestAccess::Children(tree, page)) {
                    ancestors[child] = below;
                    pending.push_back(child);
                }
                if (page == BTreeTestAccess::RootPage(tree)) continue;
                ASSERT_EQ(BTreeTestAccess::Path(tree, page), ancestors[page]) << "page " << page;
                ++checked;
            }
            EXPECT_GT(checked, 40u);
            // Reshape the tree and look again.
            for (int i = 0; i < 600; ++i) EraseAt(tree, model, RandomElement(model, rng));
            ASSERT_EQ(tree.Difference(model), "");
            ASSERT_NO_THROW(tree.ValidateTree());
        }
    }
}

// Records of constant size (key and value 3208 bytes) inserted in ascending
// order: a leaf holds 20, a split keeps 12 on the left, and the separator is
// the left page's last key, so separators are records 12, 24, 36, ... Records
// 24 to 264 have 3000-byte keys and fill the root to 2120 free bytes; record
// 12 has a short key.
void BuildFullRoot(TestTree& tree, Model& model, std::uint32_t alsoLong) {
    for (std::uint32_t g = 1; g <= 273; ++g) {
        const bool isLong = g == alsoLong || (g % 12 == 0 && g >= 24);
        const std::string key = Key(g, isLong ? 3000 : 8);
        Insert(tree, model, key, std::string(3208 - key.size(), 'v'));
    }
    ASSERT_EQ(Height(tree), 2u);
    ASSERT_EQ(BTreeTestAccess::PageFreeSpace(tree, BTreeTestAccess::RootPage(tree)), 2120u);
}

// A borrow whose new separator is longer than the parent can take splits the
// parent first: the erasure raises the tree by a level.
TEST(EraseUpdate, BorrowNeedingALongerSeparatorSplitsTheParentFirst) {
    struct Case {
        const char* name;
        std::uint32_t longKey;  // the key that becomes the separator
        std::uint32_t erase[2];
    };
    // From the right: leaf 0 goes underfull and leaf 1 lends record 13.
    // From the left: leaf 1 goes underfull and leaf 0's record 11 would become
    // the separator.
    const Case cases[] = {{"from the right", 13, {1, 2}}, {"from the left", 11, {14, 15}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        TestTree tree(dir.File("t.tbt"));
        Model model;
        BuildFullRoot(tree, model, c.longKey);
        for (std::uint32_t g : c.erase) {
            const std::string key = Key(g, 8);
            ASSERT_EQ(tree.Erase(TestTree::MakeKey(key)), 1u);
            model.erase(key);
        }
        EXPECT_EQ(Height(tree), 3u);
        EXPECT_EQ(tree.Difference(model), "");
        EXPECT_NO_THROW(tree.ValidateTree());
    }
}
