// ByteTree and FixedTree against std::map, across commits, rollbacks and
// reopening the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

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

void ExpectSame(const ByteTree& tree, const Model& model, std::mt19937& rng) {
    ASSERT_EQ(tree.Size(), model.size());
    ExpectRange(tree, model.begin(), model.end());
    ExpectRange(tree.Reversed(), model.rbegin(), model.rend());
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
        ExpectRange(tree, committed.begin(), committed.end());
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
        ExpectRange(tree, model.begin(), model.end());
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
            ExpectRange(tree, committed.begin(), committed.end());
        }
    }
}
