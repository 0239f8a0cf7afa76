// Remembered page addresses must never outlive a page's move (copy on first
// change, rollback, commit) or its view (a one-view cache trims a view at the
// end of nearly every operation). Reads interleave with every kind of change
// and are checked against a model.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "TestTree.h"

using TamBTreeTest::TempDir;
using TamBTreeTest::TestTree;

namespace {

std::string Key(std::uint32_t k) {
    return "key" + std::to_string(k * 7919 % 10007);
}

void ExpectFound(TestTree& tree, const std::map<std::string, std::string>& model,
                 const std::string& key) {
    const TamBTree::BTreeIterator it = tree.Find(TestTree::MakeKey(key));
    const auto expected = model.find(key);
    ASSERT_EQ(it.IsEnd(), expected == model.end()) << key;
    if (!it.IsEnd()) {
        ASSERT_EQ(tree.ValueAt(it), expected->second) << key;
    }
}

}  // namespace

TEST(PageAddresses, ReadsSeeEveryChangeRollbackAndCommitWithAOneViewCache) {
    const std::uint32_t seed = 20261206;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    TempDir dir;
    TamBTreeTest::Options options;
    options.cacheSize = 65536;
    TestTree tree(dir.File("t.tbt"), options);
    std::map<std::string, std::string> model;
    std::map<std::string, std::string> committed;
    for (std::uint32_t step = 0; step < 2500; ++step) {
        const std::string key = Key(random() % 1500);
        const std::string value(20 + random() % 200, static_cast<char>('a' + step % 26));
        const std::uint32_t op = random() % 100;
        const TamBTree::BTreeIterator it = tree.Find(TestTree::MakeKey(key));
        if (op < 50 && it.IsEnd()) {
            ASSERT_TRUE(tree.Put(key, value).second);
            model[key] = value;
        } else if (op < 70 && !it.IsEnd()) {
            tree.Update(it, TestTree::Make(key, value));
            model[key] = value;
        } else if (op < 85 && !it.IsEnd()) {
            ASSERT_EQ(tree.Erase(TestTree::MakeKey(key)), 1u);
            model.erase(key);
        } else if (op < 88) {
            tree.PreCommit();
            tree.Commit();
            committed = model;
        } else if (op < 90) {
            tree.Rollback();
            model = committed;
        }
        ExpectFound(tree, model, key);
        ExpectFound(tree, model, Key(random() % 1500));
    }
    EXPECT_EQ(tree.Difference(model), "");
    tree.ValidateTree();
}
