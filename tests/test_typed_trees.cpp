// ByteTree and FixedTree against std::map, across commits, rollbacks and
// reopening the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>
#if __cplusplus >= 202002L
#include <ranges>
#endif

#include "ByteTree.h"
#include "FixedTree.h"
#include "TestTree.h"

using TamBTree::ByteTree;
using TamBTreeTest::TempDir;

namespace {

using Model = std::map<std::string, std::string>;

// Short keys over a small alphabet, so that prefixes, 0x00 and 0xff bytes
// and repeated keys are common.
std::string RandomKey(std::mt19937& rng) {
    static const char alphabet[] = {'\0', 'a', 'b', '\xff'};
    std::string key(rng() % 9, '\0');
    for (char& c : key) c = alphabet[rng() % 4];
    return key + std::to_string(rng() % 50);
}

std::string RandomValue(std::mt19937& rng) {
    // Now and then a large value, so that updates cannot stay in their page.
    const std::size_t length = rng() % 16 == 0 ? 2000 + rng() % 6000 : rng() % 40;
    return std::string(length, static_cast<char>('A' + rng() % 26));
}

template <class Range, class It>
void ExpectRange(const Range& range, It first, It last) {
    const auto same = [](const auto& a, const auto& b) {
        return a.first == b.first && a.second == b.second;
    };
    EXPECT_TRUE(std::equal(range.begin(), range.end(), first, last, same));
}

template <class Cursor, class It>
void ExpectCursorAt(const Cursor& cursor, It m, It end) {
    ASSERT_EQ(cursor.IsEnd(), m == end);
    EXPECT_TRUE(m == end || cursor.Key() == m->first);
}

#if __cplusplus >= 202002L
static_assert(std::ranges::bidirectional_range<ByteTree::Range<ByteTree::Cursor>>);
static_assert(std::bidirectional_iterator<ByteTree::ReverseCursor>);
static_assert(std::bidirectional_iterator<TamBTree::FixedTree<int, int>::const_iterator>);
#endif

// The standard adaptors and algorithms over cursors, against the model.
void ExpectStandardIteration(const ByteTree& tree, const Model& model) {
    ASSERT_EQ(std::distance(tree.begin(), tree.end()), static_cast<std::ptrdiff_t>(model.size()));
    // Entries kept after std::reverse_iterator's temporary cursors are gone.
    const std::vector<ByteTree::Entry> backward(std::make_reverse_iterator(tree.end()),
                                                std::make_reverse_iterator(tree.begin()));
    ExpectRange(backward, model.rbegin(), model.rend());
    if (model.empty()) return;
    EXPECT_EQ(std::make_reverse_iterator(tree.end())->first, model.rbegin()->first);
    EXPECT_EQ(std::prev(tree.end())->second, model.rbegin()->second);
    const std::size_t middle = model.size() / 2;
    EXPECT_EQ(std::next(tree.begin(), middle)->first, std::next(model.begin(), middle)->first);
    const auto key = std::next(model.begin(), middle)->first;
    const auto found = std::find_if(tree.begin(), tree.end(),
                                    [&](const ByteTree::Entry& e) { return e.first == key; });
    EXPECT_EQ(std::distance(tree.begin(), found), static_cast<std::ptrdiff_t>(middle));
}

void ExpectSame(const ByteTree& tree, const Model& model, std::mt19937& rng) {
    ASSERT_EQ(tree.Size(), model.size());
    ExpectRange(tree, model.begin(), model.end());
    ExpectRange(tree.Reversed(), model.rbegin(), model.rend());
    ExpectStandardIteration(tree, model);
    for (int i = 0; i < 30; ++i) {
        const std::string a = RandomKey(rng), b = RandomKey(rng);
        const auto lower = model.lower_bound(a);
        ExpectCursorAt(tree.LowerBound(a), lower, model.end());
        ExpectCursorAt(tree.UpperBound(a), model.upper_bound(a), model.end());
        EXPECT_EQ(tree.Get(a),
                  model.count(a) ? std::optional<std::string>(model.at(a)) : std::nullopt);
        const auto end = a < b ? model.lower_bound(b) : lower;
        ExpectRange(tree.Records(a, b), lower, end);
        ExpectRange(tree.Records(a), lower, model.end());
        ExpectRange(tree.ReversedFrom(a), std::make_reverse_iterator(model.upper_bound(a)),
                    model.rend());
        ExpectRange(tree.Reversed(a, b), std::make_reverse_iterator(end),
                    std::make_reverse_iterator(lower));
    }
}

}  // namespace

TEST(ByteTree, RandomizedAgainstMapWithCommitRollbackAndReopen) {
    std::mt19937 rng = TamBTreeTest::SeededRng(20240917);
    TempDir dir;
    const std::string path = dir.File("bytes.tbt");
    Model model, committed;
    for (int round = 0; round < 8; ++round) {
        ByteTree tree(path);
        ExpectSame(tree, committed, rng);
        model = committed;
        for (int op = 0; op < 2500; ++op) {
            const std::string key = RandomKey(rng);
            const std::string value = RandomValue(rng);
            switch (rng() % 4) {
                case 0:
                case 1:
                    ASSERT_EQ(tree.Put(key, value), model.count(key) == 0);
                    model[key] = value;
                    break;
                case 2:
                    ASSERT_EQ(tree.Insert(key, value), model.emplace(key, value).second);
                    break;
                default:
                    ASSERT_EQ(tree.Erase(key), model.erase(key));
            }
        }
        ExpectSame(tree, model, rng);
        tree.Validate();
        // Every third round is thrown away, by Rollback or by closing the file.
        if (round % 3 == 1) {
            tree.Rollback();
            ExpectSame(tree, committed, rng);
        } else if (round % 3 == 0) {
            tree.Commit();
            committed = model;
        }
    }
}

// Batches under a guard end three ways: Commit, the guard's destruction, or an
// exception in the middle. Only committed batches survive reopening the file.
TEST(ByteTree, TransactionGuardKeepsCommittedBatchesAndRollsBackTheRest) {
    std::mt19937 rng = TamBTreeTest::SeededRng(4711);
    TempDir dir;
    const std::string path = dir.File("guarded.tbt");
    Model committed;
    for (int round = 0; round < 6; ++round) {
        ByteTree tree(path);
        ExpectSame(tree, committed, rng);
        for (int batch = 0; batch < 6; ++batch) {
            Model model = committed;
            const int ending = static_cast<int>(rng() % 3);
            try {
                ByteTree::Transaction tx(tree);
                for (int op = 0; op < 300; ++op) {
                    const std::string key = RandomKey(rng);
                    if (rng() % 4 == 0) {
                        ASSERT_EQ(tree.Erase(key), model.erase(key));
                    } else {
                        const std::string value = RandomValue(rng);
                        tree.Put(key, value);
                        model[key] = value;
                    }
                    if (ending == 2 && op == 150) throw std::runtime_error("mid-batch");
                }
                if (ending == 0) {
                    tx.Commit();
                    committed = model;
                    EXPECT_FALSE(tx.Active());
                }
            } catch (const std::runtime_error&) {
                ASSERT_EQ(ending, 2);
            }
            ExpectSame(tree, committed, rng);
        }
    }
}

TEST(ByteTree, TransactionGuardMovesItsDutyAndRefusesASecondEnd) {
    TempDir dir;
    const std::string path = dir.File("moved.tbt");
    {
        ByteTree tree(path);
        ByteTree::Transaction outer(tree);
        tree.Put("kept", "1");
        {
            ByteTree::Transaction inner(std::move(outer));
            EXPECT_FALSE(outer.Active());
            outer = std::move(inner);  // outer held nothing: no rollback
        }
        EXPECT_TRUE(tree.Contains("kept"));
        outer.Commit();
        EXPECT_THROW(outer.Commit(), std::logic_error);
        ByteTree::Transaction dropped(tree);
        tree.Put("dropped", "2");
        ByteTree::Transaction other(tree);
        dropped = std::move(other);  // rolls back what `dropped` held
        EXPECT_FALSE(tree.Contains("dropped"));
        tree.Put("rolled back", "3");
        dropped.Rollback();
        EXPECT_FALSE(tree.Contains("rolled back"));
        EXPECT_THROW(dropped.Rollback(), std::logic_error);
    }
    ByteTree tree(path);
    EXPECT_EQ(tree.Size(), 1u);
    EXPECT_EQ(tree.Get("kept"), "1");
}

// A moved tree keeps working in its new object, whose changes commit and
// roll back as before; an assignment closes what the target held.
TEST(ByteTree, MovedTreesKeepTheirFileAndTransaction) {
    TempDir dir;
    const std::string a = dir.File("a.tbt"), b = dir.File("b.tbt");
    {
        ByteTree first(a);
        first.Put("k1", "v1");
        first.Commit();
        first.Put("uncommitted", "x");
        ByteTree moved(std::move(first));
        EXPECT_EQ(moved.Get("uncommitted"), "x");
        moved.Put("k2", "v2");
        ByteTree other(b);
        other.Put("b", "1");
        other.Commit();
        other = std::move(moved);
        EXPECT_EQ(other.GetPath(), a);
        other.Rollback();
        EXPECT_FALSE(other.Contains("k2"));
        other.Put("k3", "v3");
        other.Commit();
    }
    ByteTree reopened(a);
    EXPECT_EQ(reopened.Get("k1"), "v1");
    EXPECT_EQ(reopened.Get("k3"), "v3");
    EXPECT_FALSE(reopened.Contains("uncommitted"));
    EXPECT_EQ(ByteTree(b).Get("b"), "1");
}

TEST(ByteTree, DuplicatesAreKeptNewestFirstAndErasedTogether) {
    TempDir dir;
    ByteTree::Options options;
    options.allowDuplicates = true;
    ByteTree tree(dir.File("dups.tbt"), options);
    // Enough equal keys to span several leaves.
    for (int i = 0; i < 3000; ++i)
        ASSERT_TRUE(tree.Insert("k", std::to_string(i) + std::string(60, '.')));
    ASSERT_TRUE(tree.Insert("j", "before"));
    ASSERT_TRUE(tree.Insert("l", "after"));
    int expected = 2999;
    for (const auto& [key, value] : tree.Records("k", "l")) {
        ASSERT_EQ(key, "k");
        ASSERT_EQ(value, std::to_string(expected--) + std::string(60, '.'));
    }
    EXPECT_EQ(expected, -1);
    EXPECT_FALSE(tree.Put("k", "replaced"));
    EXPECT_EQ(tree.Get("k"), "replaced");
    EXPECT_EQ(tree.Erase("k"), 3000u);
    EXPECT_EQ(tree.Size(), 2u);
    EXPECT_EQ((*tree.UpperBound("j")).first, "l");
    tree.Validate();
}

// Commit installs a transaction that waits from an earlier PreCommit.
TEST(ByteTree, PreCommittedTransactionBlocksChangesAndCommitsAfterReopen) {
    TempDir dir;
    const std::string path = dir.File("ready.tbt");
    {
        ByteTree tree(path);
        tree.Put("committed", "1");
        tree.Commit();
        tree.Put("waiting", "2");
        tree.PreCommit();
        EXPECT_THROW(tree.Put("refused", "3"), TamBTree::BTreeException);
    }
    ByteTree tree(path);
    EXPECT_FALSE(tree.Contains("waiting"));
    tree.Commit();
    EXPECT_EQ(tree.GetCommitState(), TamBTree::BTree::CommitIdle);
    EXPECT_EQ(tree.Get("waiting"), "2");
    EXPECT_EQ(tree.Size(), 2u);
    EXPECT_THROW(tree.Put("big", std::string(tree.GetMaxRecordSize(), 'x')),
                 TamBTree::BTreeRecordTooLargeException);
}

// Odd rounds end in an exception, so the guard rolls the round back.
TEST(FixedTree, RandomizedAgainstMapWithNegativeKeysGuardedRoundsAndReopen) {
    using Tree = TamBTree::FixedTree<std::int64_t, double>;
    using Pair = std::pair<std::int64_t, double>;
    const auto Same = [](const Pair& a, const Pair& b) { return a == b; };
    std::mt19937 rng = TamBTreeTest::SeededRng(777);
    TempDir dir;
    const std::string path = dir.File("fixed.tbt");
    std::map<std::int64_t, double> model, committed;
    const std::int64_t extremes[] = {INT64_MIN, INT64_MIN + 1, INT64_MAX - 1, INT64_MAX};
    for (int round = 0; round < 4; ++round) {
        Tree tree(path);
        ASSERT_EQ(tree.size(), committed.size());
        ASSERT_TRUE(std::equal(tree.begin(), tree.end(), committed.begin(), committed.end(), Same));
        model = committed;
        Tree::Transaction tx(tree);
        for (int op = 0; op < 5000; ++op) {
            // Keys on both sides of zero and at the extremes of the range.
            const std::int64_t key = rng() % 8 == 0
                                         ? extremes[rng() % 4]
                                         : static_cast<std::int64_t>(rng() % 20000) - 10000;
            const double value = rng() / 7.0;
            switch (rng() % 5) {
                case 0:
                    ASSERT_EQ(tree.insert({key, value}).second, model.emplace(key, value).second);
                    break;
                case 1: {
                    const auto r = tree.insert_or_assign(key, value);
                    ASSERT_EQ(r.second, model.count(key) == 0);
                    ASSERT_EQ(*r.first, std::make_pair(key, value));
                    model[key] = value;
                    break;
                }
                case 2:
                    ASSERT_EQ(tree.erase(key), model.erase(key));
                    break;
                case 3: {  // erase at the lower bound; the result is the next record
                    auto it = tree.lower_bound(key);
                    auto m = model.lower_bound(key);
                    ASSERT_EQ(it == tree.end(), m == model.end());
                    if (m == model.end()) break;
                    ASSERT_EQ(*it, Pair(*m));
                    it = tree.erase(it);
                    m = model.erase(m);
                    ASSERT_EQ(it == tree.end(), m == model.end());
                    ASSERT_TRUE(m == model.end() || *it == Pair(*m));
                    break;
                }
                default: {
                    const auto it = tree.upper_bound(key);
                    const auto m = model.upper_bound(key);
                    ASSERT_EQ(it == tree.end(), m == model.end());
                    ASSERT_TRUE(m == model.end() || it->first == m->first);
                    ASSERT_EQ(tree.contains(key), model.count(key) == 1);
                }
            }
        }
        ASSERT_TRUE(std::equal(tree.begin(), tree.end(), model.begin(), model.end(), Same));
        ASSERT_TRUE(std::equal(std::make_reverse_iterator(tree.end()),
                               std::make_reverse_iterator(tree.begin()), model.rbegin(),
                               model.rend(), Same));
        if (!model.empty()) {
            EXPECT_EQ(std::make_reverse_iterator(tree.end())->second, model.rbegin()->second);
        }
        tree.Validate();
        try {
            Tree::Transaction guard(std::move(tx));
            if (round % 2) throw std::runtime_error("discarded");
            guard.Commit();
            committed = model;
        } catch (const std::runtime_error&) {
            ASSERT_TRUE(
                std::equal(tree.begin(), tree.end(), committed.begin(), committed.end(), Same));
        }
    }
}
