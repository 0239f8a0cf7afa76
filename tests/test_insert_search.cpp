// Insertion, search, bounds and iteration against std::map / a sorted model.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "TestTree.h"

using namespace TamBTreeTest;
using TamBTree::BTreeIterator;

namespace {

std::string Key(std::uint32_t n, std::uint32_t width = 8) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*u", static_cast<int>(width), n);
    return buf;
}

std::string RandomBytes(std::mt19937& rng, std::uint32_t length) {
    std::string s(length, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

// Every record is found, bounds of present and absent keys agree with the
// model, and a full iteration both ways equals the model.
void ExpectSameAsModel(TestTree& tree, const std::map<std::string, std::string>& model) {
    ASSERT_EQ(tree.Size(), model.size());
    ASSERT_EQ(tree.End() - tree.Begin(), model.size());
    auto m = model.begin();
    for (BTreeIterator it = tree.Begin(); it != tree.End(); ++it, ++m) {
        ASSERT_NE(m, model.end());
        ASSERT_EQ(tree.KeyAt(it), m->first);
        ASSERT_EQ(tree.ValueAt(it), m->second);
    }
    ASSERT_EQ(m, model.end());
    auto r = model.rbegin();
    BTreeIterator it = tree.End();
    for (std::size_t i = 0; i < model.size(); ++i, ++r) {
        --it;
        ASSERT_EQ(tree.KeyAt(it), r->first);
    }
    --it;
    ASSERT_TRUE(it.IsEnd());
    for (const auto& entry : model) {
        BTreeIterator found = tree.Find(TestTree::MakeKey(entry.first));
        ASSERT_FALSE(found.IsEnd()) << entry.first;
        ASSERT_EQ(tree.ValueAt(found), entry.second);
        const std::string absent = entry.first + '\0';
        EXPECT_TRUE(tree.Find(TestTree::MakeKey(absent)).IsEnd());
        auto lower = model.lower_bound(absent);
        BTreeIterator bound = tree.LowerBound(TestTree::MakeKey(absent));
        if (lower == model.end())
            EXPECT_TRUE(bound.IsEnd());
        else
            EXPECT_EQ(tree.KeyAt(bound), lower->first);
        auto upper = model.upper_bound(entry.first);
        BTreeIterator ub = tree.UpperBound(TestTree::MakeKey(entry.first));
        if (upper == model.end())
            EXPECT_TRUE(ub.IsEnd());
        else
            EXPECT_EQ(tree.KeyAt(ub), upper->first);
    }
}

}  // namespace

TEST(InsertSearch, RandomizedAgainstMapInThreeOrders) {
    for (int order = 0; order < 3; ++order) {
        const unsigned seed = 1234 + order;
        SCOPED_TRACE("seed " + std::to_string(seed) + " order " + std::to_string(order));
        std::mt19937 rng(seed);
        TempDir dir;
        TestTree tree(dir.File("t.tbt"));
        std::map<std::string, std::string> model;
        const std::uint32_t n = 30000;
        std::vector<std::uint32_t> keys(n);
        for (std::uint32_t i = 0; i < n; ++i) keys[i] = order == 1 ? n - i : i;
        if (order == 2) std::shuffle(keys.begin(), keys.end(), rng);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::string key = Key(keys[i]);
            const std::string value = RandomBytes(rng, rng() % 200);
            auto result = tree.Put(key, value);
            ASSERT_TRUE(result.second);
            ASSERT_EQ(tree.KeyAt(result.first), key);
            model.emplace(key, value);
        }
        auto again = tree.Put(Key(keys[0]), "other");
        EXPECT_FALSE(again.second);
        EXPECT_EQ(tree.KeyAt(again.first), Key(keys[0]));
        ExpectSameAsModel(tree, model);
        EXPECT_NO_THROW(tree.ValidateTree());
    }
}

TEST(InsertSearch, LargeRecordsUpToTheMaximumSize) {
    const unsigned seed = 99;
    std::mt19937 rng(seed);
    TempDir dir;
    TestTree tree(dir.File("t.tbt"));
    std::map<std::string, std::string> model;
    const std::uint32_t max = tree.GetMaxRecordSize();
    for (std::uint32_t i = 0; i < 3000; ++i) {
        const std::string key = RandomBytes(rng, 1 + rng() % 64);
        const std::uint32_t valueLength = rng() % (max - static_cast<std::uint32_t>(key.size()) + 1);
        const std::string value = RandomBytes(rng, i % 7 == 0 ? max - key.size() : valueLength);
        if (tree.Put(key, value).second) model.emplace(key, value);
    }
    ExpectSameAsModel(tree, model);
    EXPECT_NO_THROW(tree.ValidateTree());
}
