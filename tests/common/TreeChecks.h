// Checks of a tree against a model of its records, and the random changes
// the model tests share.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "TestTree.h"

namespace TamBTreeTest {

using TamBTree::BTreeConstIterator;
using TamBTree::BTreeIterator;

// The records in the tree's order: a new record goes before its equal ones.
using Model = std::multimap<std::string, std::string>;
using UniqueModel = std::map<std::string, std::string>;

inline void ModelInsert(Model& model, const std::string& key, const std::string& value) {
    model.emplace_hint(model.lower_bound(key), key, value);
}

// The text of the exception `f` throws; empty when it throws nothing.
template <class F>
std::string ThrownText(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

template <class M>
void ExpectAt(TestTree& tree, const BTreeIterator& it, typename M::const_iterator m,
              const M& model) {
    if (m == model.end()) {
        EXPECT_TRUE(it.IsEnd());
        return;
    }
    ASSERT_FALSE(it.IsEnd()) << "expected key of " << m->first.size() << " bytes";
    EXPECT_EQ(tree.KeyAt(it), m->first);
    EXPECT_EQ(tree.ValueAt(it), m->second);
}

// A test with a scratch directory and the path of a tree file in it.
class TreeFileTest : public ::testing::Test {
protected:
    TempDir dir;
    const std::string path = dir.File("t.tbt");
};

// The records equal the model, and the tree passes validation.
template <class M>
void ExpectValidAndSame(TestTree& tree, const M& model) {
    EXPECT_EQ(tree.Difference(model), "");
    EXPECT_NO_THROW(tree.ValidateTree());
}

// The bounds of `key` agree with the model's, for the const tree too.
template <class M>
void ExpectBounds(TestTree& tree, const M& model, const std::string& key) {
    const TestTree& constTree = tree;
    const auto r = TestTree::MakeKey(key);
    const auto lower = model.lower_bound(key);
    ExpectAt(tree, tree.LowerBound(r), lower, model);
    ExpectAt(tree, tree.UpperBound(r), model.upper_bound(key), model);
    const bool present = lower != model.end() && lower->first == key;
    ExpectAt(tree, tree.Find(r), present ? lower : model.end(), model);
    EXPECT_EQ(constTree.LowerBound(r), BTreeConstIterator(tree.LowerBound(r)));
    EXPECT_EQ(constTree.UpperBound(r), BTreeConstIterator(tree.UpperBound(r)));
    EXPECT_EQ(constTree.Find(r), BTreeConstIterator(tree.Find(r)));
}

// Both iterations, with and without const, equal the model, page 0 holds the
// first record, every key and its neighbours outside the tree bound as in the
// model, and the tree passes validation.
template <class M>
void ExpectSameAsModel(TestTree& tree, const M& model) {
    const TestTree& constTree = tree;
    ASSERT_EQ(tree.Difference(model), "");
    ASSERT_EQ(tree.End() - tree.Begin(), model.size());
    ASSERT_EQ(constTree.End() - constTree.Begin(), model.size());
    EXPECT_TRUE(model.empty() || tree.Begin() == BTreeIterator(0, 1, &tree));
    BTreeIterator it = tree.Begin();
    BTreeConstIterator c = constTree.Begin();
    for (; !it.IsEnd(); ++it, ++c) ASSERT_EQ(c, BTreeConstIterator(it));
    ASSERT_EQ(c, constTree.End());
    for (auto m = model.rbegin(); m != model.rend(); ++m) {
        ASSERT_FALSE((--it).IsEnd());
        ASSERT_EQ(--c, BTreeConstIterator(it));
        ASSERT_EQ(tree.KeyAt(it), m->first);
        ASSERT_EQ(tree.ValueAt(it), m->second);
    }
    EXPECT_TRUE((--it).IsEnd());
    EXPECT_TRUE((--c).IsEnd());
    for (auto m = model.begin(); m != model.end(); m = model.upper_bound(m->first)) {
        ExpectBounds(tree, model, m->first);
        ExpectBounds(tree, model, m->first + '\0');
        ExpectBounds(tree, model, m->first.substr(0, m->first.size() - 1));
    }
    ExpectBounds(tree, model, "");
    ExpectBounds(tree, model, "\xff");
    EXPECT_NO_THROW(tree.ValidateTree());
}

// `ops` random changes of keys below `keySpace`: inserts, erasures by key and
// at an iterator, updates (a tenth of the values too large to stay in their
// page). The draws do not depend on the tree, so a model alone (tree null)
// replays them.
inline void Mutate(TestTree* tree, UniqueModel& model, std::mt19937& rng, int ops,
                   std::uint32_t keySpace = 2000) {
    for (int i = 0; i < ops; ++i) {
        const std::uint32_t n = rng() % keySpace;
        const std::string key = Key(n, 8 + n % 32);
        const std::string value = Letters(rng, rng() % 10 ? rng() % 900 : 3000 + rng() % 6000);
        const std::uint32_t op = rng() % 8;
        const auto m = op == 5 ? model.lower_bound(key) : model.find(key);
        if (op < 4) {
            const bool fresh = model.emplace(key, value).second;
            ASSERT_TRUE(!tree || tree->Put(key, value).second == fresh) << key;
        } else if (op == 4) {
            const std::size_t erased = model.erase(key);
            ASSERT_TRUE(!tree || tree->Erase(TestTree::MakeKey(key)) == erased) << key;
        } else if (m == model.end()) {
            continue;
        } else if (op == 5) {
            auto after = model.erase(m);
            if (!tree) continue;
            bool nextValid;
            BTreeIterator next;
            ASSERT_TRUE(tree->Erase(tree->LowerBound(TestTree::MakeKey(key)), nextValid, next));
            if (!nextValid) after = model.end();
            ExpectAt(*tree, next, UniqueModel::const_iterator(after), model);
        } else {
            m->second = value;
            if (!tree) continue;
            const BTreeIterator it =
                tree->Update(tree->Find(TestTree::MakeKey(key)), TestTree::Make(key, value));
            ASSERT_EQ(tree->ValueAt(it), value);
        }
    }
}

}  // namespace TamBTreeTest
