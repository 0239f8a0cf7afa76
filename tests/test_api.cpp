// Operations as a client calls them: hinted search, iterator distances, the
// operation depth, ByteTree queries, cursors at both ends, FixedTree, the
// statistics, the disk-space interval, file modes, guards and Clear.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <set>

#include "ByteTree.h"
#include "FixedTree.h"
#include "TreeChecks.h"

using namespace TamBTreeTest;
using TamBTree::ByteTree;

namespace {

class HintTree : public TestTree {
public:
    using TamBTree::BTree::Count;
    using TamBTree::BTree::FindEx;
    using TestTree::TestTree;
};

// The records of `range` (pairs or entries) equal [first, last) of a model.
template <class Range, class It>
bool Same(const Range& range, It first, It last) {
    const auto same = [](const auto& a, const auto& b) {
        return a.first == b.first && a.second == b.second;
    };
    return std::equal(range.begin(), range.end(), first, last, same);
}

}  // namespace

// A hinted search looks from the hint's page on: it finds a key there, the
// page's last one included, or on a later page, and answers end for a key on
// an earlier page, for a missing key and for a hint at the end. Count is the
// depth of open operation brackets, not a number of records: brackets nest,
// and every operation, one that throws too, closes its own.
TEST(ProtectedApi, HintedSearchFromThePageOnDistancesAndOperationDepth) {
    TempDir dir;
    HintTree tree(dir.File("t.tbt"));
    UniqueModel model;
    for (std::uint32_t n = 0; n < 6000; n += 2) {
        const std::string key = Key(n, 60), value(60 + n % 7, char('a' + n % 26));
        model.emplace(key, value);
        tree.Put(key, value);
    }
    std::vector<std::pair<BTreeIterator, std::uint32_t>> hints;  // with their ranks
    std::set<std::uint32_t> probes = {0, 1, 5998, 5999, 7000};
    std::uint32_t rank = 0, leaves = 0;
    for (BTreeIterator it = tree.Begin(); !it.IsEnd(); ++it, ++rank) {
        BTreeIterator next = it;
        const bool last = (++next).IsEnd() || next.GetCurrentPage() != it.GetCurrentPage();
        const std::uint32_t n = static_cast<std::uint32_t>(std::stoul(tree.KeyAt(it)));
        // A page's last key, a missing one after it and the next page's first.
        if (last) ++leaves, probes.insert({n, n + 1, n + 2});
        if (rank % 97 == 0) probes.insert({n, n + 1});
        if (last || rank % 211 == 0) hints.emplace_back(it, rank);
    }
    ASSERT_GE(leaves, 4u);
    for (const auto& [hint, at] : hints) {
        const std::string first = tree.KeyAt(BTreeIterator(hint.GetCurrentPage(), 1, &tree));
        for (const std::uint32_t n : probes) {
            const std::string key = Key(n, 60);
            const auto r = TestTree::MakeKey(key);
            const bool found = model.count(key) && key >= first;
            ASSERT_EQ(tree.FindEx(hint, r), found ? tree.Find(r) : tree.End()) << key << first;
            const auto steps = std::distance(model.begin(), model.lower_bound(key));
            if (steps < at) continue;
            EXPECT_EQ(tree.LowerBound(r) - hint, std::uint32_t(steps - at)) << key;
        }
        EXPECT_EQ(tree.FindEx(tree.End(), TestTree::MakeKey(tree.KeyAt(hint))), tree.End());
    }
    const auto wrongKey = [&] { tree.Update(tree.Begin(), TestTree::Make(Key(2, 60), "w")); };
    EXPECT_THROW(wrongKey(), TamBTree::BTreeException);
    EXPECT_EQ(tree.Count(), 0);
    TamBTree::CacheOperation outer(&tree);
    auto inner = std::make_unique<TamBTree::CacheOperation>(&tree);
    EXPECT_EQ(tree.Count(), 2);
    inner.reset();
    EXPECT_THROW(wrongKey(), TamBTree::BTreeException);
    EXPECT_EQ(tree.Count(), 1);
}

// A run of one key long enough to fill several leaves sits among single keys:
// every query agrees with a multimap that puts a new record before its equals.
// Cursors walk it both ways, circular through the end position, and postfix
// steps hand back where the cursor stood.
TEST(ByteTreeQueries, AgreeWithAMultimapAroundARunOfEqualKeysSpanningLeaves) {
    std::mt19937 rng = SeededRng(20250314);
    TempDir dir;
    ByteTree::Options options;
    options.allowDuplicates = true;
    ByteTree tree(dir.File("t.tbt"), options);
    EXPECT_TRUE(tree.Empty() && tree.begin() == tree.end() && (--tree.end()).IsEnd());
    Model model;
    const std::string run = Key(400);
    for (int i = 0; i < 1500; ++i) {
        const std::string key = i % 3 == 0 ? run : Key(2 * (rng() % 400));
        const std::string value = Letters(rng, 100 + rng() % 500);
        ASSERT_TRUE(tree.Insert(key, value));
        ModelInsert(model, key, value);
    }
    ByteTree::Cursor c = tree.begin();
    EXPECT_EQ(c->second, model.begin()->second);
    for (const auto& [key, value] : model) {
        const auto [k, v] = *c++;
        ASSERT_TRUE(k == key && v == value);
    }
    EXPECT_TRUE(c.IsEnd() && c.Key().empty() && (++c).IsEnd() && (c--).IsEnd());
    ByteTree::ReverseCursor r(c);
    for (auto m = model.rbegin(); m != model.rend(); ++m) {
        ASSERT_EQ(r.Base().Key(), m->first);
        ASSERT_EQ((*r++).second, m->second);
    }
    EXPECT_TRUE(r == tree.Reversed().end() && (++r).Key() == model.rbegin()->first);
    EXPECT_TRUE((r--).Key() == model.rbegin()->first && r.IsEnd());
    using Back = std::reverse_iterator<Model::const_iterator>;
    for (std::uint32_t n = 0; n <= 800; ++n) {
        const std::string key = Key(n), to = Key(n + 10);
        const Model::const_iterator lower = model.lower_bound(key), upper = model.upper_bound(key);
        const bool present = lower != upper;
        EXPECT_EQ(tree.Contains(key), present) << key;
        EXPECT_EQ(tree.Get(key),
                  present ? std::optional<std::string>(lower->second) : std::nullopt);
        EXPECT_EQ(tree.Find(key).Value(), present ? lower->second : "") << key;
        EXPECT_EQ(tree.LowerBound(key).Value(), lower == model.end() ? "" : lower->second);
        EXPECT_EQ(tree.UpperBound(key).Key(), upper == model.end() ? "" : upper->first) << key;
        // Bounds present and missing (odd), the run among them on either side.
        if (n % 5 != 0) continue;
        const Model::const_iterator end = model.lower_bound(to);
        EXPECT_TRUE(Same(tree.Records(key, to), lower, end)) << key;
        EXPECT_TRUE(Same(tree.Records(key), lower, model.cend())) << key;
        EXPECT_TRUE(Same(tree.Reversed(key, to), Back(end), Back(lower))) << key;
        EXPECT_TRUE(Same(tree.ReversedFrom(key), Back(upper), model.crend())) << key;
        EXPECT_TRUE(tree.Records(to, key).empty() && tree.Reversed(key, key).empty());
    }
    EXPECT_EQ(std::size_t(std::distance(tree.Find(run), tree.UpperBound(run))), model.count(run));
    EXPECT_FALSE(tree.Put(run, "replaced"));
    model.lower_bound(run)->second = "replaced";
    EXPECT_EQ(tree.Get(run), "replaced");
    EXPECT_EQ(tree.Erase(run), model.erase(run));
    EXPECT_FALSE(tree.Contains(run));
    EXPECT_TRUE(Same(tree, model.begin(), model.end()));
}

using Payload = std::array<int, 50>;
using Descending = TamBTree::FixedTree<int, Payload, std::greater<int>>;

// Bounds at both ends and erasure through the iterator follow the tree's own
// order, descending here, over a tree of many leaves.
TEST(FixedTreeMap, BoundsAtTheEndsAndErasingThroughTheIteratorFollowItsOrder) {
    TempDir dir;
    Descending tree(dir.File("t.tbt"));
    std::map<int, Payload, std::greater<int>> model;
    EXPECT_TRUE(tree.empty() && tree.begin() == tree.end() && tree.lower_bound(0) == tree.end());
    for (int n = 0; n < 3000; ++n) {
        const int key = n * 1637 % 3000 * 3;
        model.emplace(key, Payload{key});
        ASSERT_TRUE(tree.insert({key, Payload{key}}).second);
    }
    const auto at = [&](Descending::iterator it, auto m) {
        if (m == model.end()) return it == tree.end();
        return it != tree.end() && it->first == m->first && it->second == m->second;
    };
    for (const int key : {-1, 0, 1, 4500, 4501, 8996, 8997, 8998, 9000}) {
        EXPECT_TRUE(at(tree.lower_bound(key), model.lower_bound(key))) << key;
        EXPECT_TRUE(at(tree.upper_bound(key), model.upper_bound(key))) << key;
        EXPECT_TRUE(at(tree.find(key), model.find(key))) << key;
        EXPECT_EQ(tree.contains(key), model.count(key) == 1) << key;
    }
    EXPECT_TRUE(++tree.end() == tree.end() && --tree.begin() == tree.end());
    EXPECT_EQ((--tree.end())->first, model.rbegin()->first);
    for (auto it = tree.begin(); it != tree.end();) it = it->first % 2 ? ++it : tree.erase(it);
    for (auto m = model.begin(); m != model.end();) m = m->first % 2 ? ++m : model.erase(m);
    EXPECT_TRUE(Same(tree, model.begin(), model.end()));
    tree.Validate();
    std::size_t erased = 0;
    for (auto it = tree.begin(); it != tree.end(); ++erased) it = tree.erase(it);
    EXPECT_EQ(erased, model.size());
    EXPECT_TRUE(tree.empty());
}

// The statistics describe the tree as it is: the leaves are the pages an
// iteration passes, every page number handed out is in use while nothing was
// erased, the bytes in use follow from the fixed layout (a leaf entry is key,
// value and a 4-byte slot; an internal key has a 12-byte slot, and each
// internal page one 8-byte child more), and the file size is the file's.
void ExpectStatistics(TestTree& tree, const std::string& path, bool nothingErased) {
    const TamBTree::BTree::Statistics s = tree.GetStatistics();
    std::set<std::uint64_t> leaves;
    for (BTreeIterator it = tree.Begin(); !it.IsEnd(); ++it) leaves.insert(it.GetCurrentPage());
    ASSERT_GE(s.height, 2u);
    EXPECT_EQ(s.records, tree.Size());
    EXPECT_EQ(s.pages[0], 1u);
    EXPECT_EQ(s.pages[s.height - 1], leaves.size());
    std::uint64_t pages = 0;
    for (std::uint32_t level = 0; level < s.height; ++level) pages += s.pages[level];
    const std::uint64_t internal = pages - leaves.size();
    EXPECT_EQ(s.usedBytes, 48 * pages + s.records * (8 + 100 + 4) +
                               (pages - 1 - internal) * (8 + 12) + 8 * internal);
    EXPECT_TRUE(nothingErased ? pages == s.pageCount : pages <= s.pageCount) << pages;
    EXPECT_EQ(s.fileSize, std::filesystem::file_size(path));
    EXPECT_EQ(s.fileSize, tree.GetDiskSpaceUsed());
}

TEST(Statistics, DescribeLevelsPagesBytesFileAndCommitState) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    TestTree tree(path, Layout(false, 8, true, 100));
    // 7919 is prime to 20000: every key once, scattered over the leaves.
    for (std::uint32_t n = 0; n < 20000; ++n)
        tree.Put(Key(n * 7919 % 20000), std::string(100, 'v'));
    ExpectStatistics(tree, path, true);
    EXPECT_EQ(tree.GetStatistics().commitState, TestTree::CommitIdle);
    tree.PreCommit();
    EXPECT_EQ(tree.GetStatistics().commitState, TestTree::CommitReady);
    tree.Commit();
    EXPECT_EQ(tree.GetStatistics().commitState, TestTree::CommitIdle);
    for (std::uint32_t n = 0; n < 20000; n += 4) tree.Erase(TestTree::MakeKey(Key(n)));
    for (std::uint32_t n = 1; n < 15000; n += 4) tree.Erase(TestTree::MakeKey(Key(n)));
    ExpectStatistics(tree, path, false);
}

// A guard answers for the tree's open transaction until it commits, rolls
// back or hands it over; a released guard neither rolls back nor commits.
TEST(TransactionGuard, MovesHandOverTheTransactionAndReleasedGuardsRefuse) {
    TempDir dir;
    ByteTree tree(dir.File("t.tbt"));
    {
        ByteTree::Transaction outer(tree);
        tree.Put("a");
        ByteTree::Transaction inner(std::move(outer));
        EXPECT_TRUE(inner.Active() && !outer.Active());
        inner.Commit();
        tree.Put("b");
    }
    EXPECT_TRUE(tree.Contains("b"));
    {
        ByteTree::Transaction held(tree), spare(tree);
        held = std::move(spare);
        EXPECT_FALSE(tree.Contains("b"));
        EXPECT_TRUE(held.Active() && !spare.Active());
        tree.Put("c");
    }
    EXPECT_FALSE(tree.Contains("c"));
    ByteTree::Transaction last(tree);
    tree.Put("d");
    last.Rollback();
    EXPECT_FALSE(last.Active() || tree.Contains("d"));
    EXPECT_THROW(last.Commit(), std::logic_error);
    EXPECT_TRUE(tree.Contains("a"));
}

// Read-only keeps showing uncommitted changes, refuses new ones, lets readers
// in and makes Rollback do nothing; back in read-write mode Rollback works and
// readers are shut out. Clear then empties the file at once, beyond Rollback.
TEST(FileModes, ReadOnlyKeepsUncommittedChangesAndClearIsBeyondRollback) {
    TempDir dir;
    const std::string path = dir.File("t.tbt");
    { TestTree fresh(dir.File("fresh.tbt")); }
    const auto newSize = std::filesystem::file_size(dir.File("fresh.tbt"));
    TestTree tree(path);
    for (std::uint32_t n = 0; n < 3000; ++n) tree.Put(Key(n, 50), std::string(600, 'c'));
    tree.CommitNow();
    tree.Put("uncommitted", "u");
    tree.ReadOnly(true);
    EXPECT_TRUE(tree.ReadOnly());
    EXPECT_THROW(tree.Put("more", ""), TamBTree::BTreeReadOnlyException);
    EXPECT_THROW(tree.Erase(TestTree::MakeKey(Key(5, 50))), TamBTree::BTreeReadOnlyException);
    tree.Rollback();
    EXPECT_EQ(tree.Contents().size(), 3001u);
    EXPECT_EQ(TestTree(path, ReadOnly()).Size(), 3000u);
    tree.ReadOnly(false);
    EXPECT_FALSE(tree.ReadOnly());
    EXPECT_TRUE(tree.Put("more", "").second);
    tree.Rollback();
    EXPECT_EQ(tree.Contents().size(), 3000u);
    EXPECT_EQ(TestTree(path, ReadOnly()).Size(), 3000u);
    tree.Put("uncommitted", "u");
    ASSERT_GT(std::filesystem::file_size(path), newSize);
    tree.Clear();
    EXPECT_TRUE(tree.Size() == 0 && tree.Begin() == tree.End());
    EXPECT_EQ(std::filesystem::file_size(path), newSize);
    tree.Rollback();
    EXPECT_EQ(tree.Size(), 0u);
}
