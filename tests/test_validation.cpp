// The full consistency check: each fault of a damaged file is reported with
// its text, and a space fault before an order fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "TreeChecks.h"
#include "TreeFileBytes.h"

using namespace TamBTreeTest;
using TamBTree::BTreeTestAccess;
using TamBTree::NO_PAGE;

namespace {

constexpr std::uint64_t G = 65536;

std::string Invalid(const std::string& what, const std::string& path) {
    return "The B-Tree is invalid. " + what + " (" + path + ")";
}

Options KeysOnly() {
    return Layout(false, 0, false, 0);
}

}  // namespace

using Validation = TreeFileTest;

// A committed tree of three levels whose root has at least three children:
// keys of 3000 bytes numbered in steps of 10, no values, in random order.
class DamagedTree : public TreeFileTest {
protected:
    void SetUp() override {
        std::vector<std::uint32_t> numbers(700);
        for (std::uint32_t i = 0; i < numbers.size(); ++i) numbers[i] = 10 * i;
        std::shuffle(numbers.begin(), numbers.end(), std::mt19937(77));
        {
            TestTree tree(path, KeysOnly());
            for (std::uint32_t n : numbers) tree.Insert(TestTree::MakeKey(Key(n, 3000)));
            tree.CommitNow();
        }
        original = file.ReadAll();
        root = file.Get<std::uint64_t>(offsetof(TamBTree::BTreeInfo, rootPage));
        ASSERT_FALSE(file.IsLeaf(root));
        ASSERT_GE(file.Count(root), 2u);
        left = file.Child(root, 0);
        middle = file.Child(root, 1);
        right = file.Child(root, 2);
        ASSERT_FALSE(file.IsLeaf(left));
        ASSERT_GE(file.Count(left), 2u);
    }
    std::string Validate() {
        return ThrownText([&] { TestTree(path, KeysOnly()).ValidateTree(); });
    }
    void SwapSlots(std::uint64_t page, std::uint32_t i, std::uint32_t j) {
        const std::uint32_t a = file.Get<std::uint32_t>(file.SlotOffset(page, i));
        file.Put(file.SlotOffset(page, i), file.Get<std::uint32_t>(file.SlotOffset(page, j)));
        file.Put(file.SlotOffset(page, j), a);
    }
    void SetChild(std::uint64_t page, std::uint32_t i, std::uint64_t child) {
        file.Put(file.ChildOffset(page, i), child);
    }

    TreeFileBytes file{path};
    std::vector<unsigned char> original;
    std::uint64_t root = 0, left = 0, middle = 0, right = 0;
};

TEST_F(DamagedTree, EveryOrderCountOrPageNumberFaultOfAClosedFileIsReportedWithItsText) {
    EXPECT_EQ(Validate(), "");
    const std::uint32_t count = file.Get<std::uint32_t>(offsetof(TamBTree::BTreeInfo, recordCount));
    const std::pair<std::string, std::function<void()>> faults[] = {
        {"RecordBefore > recordCurrent", [&] { SwapSlots(0, 1, 2); }},
        {"Bad size!",
         [&] { file.Put<std::uint32_t>(offsetof(TamBTree::BTreeInfo, recordCount), count + 1); }},
        {"Bad size!",
         [&] { file.Put<std::uint32_t>(offsetof(TamBTree::BTreeInfo, recordCount), count - 1); }},
        {"KeyBefore > KeyCurrent", [&] { SwapSlots(root, 1, 2); }},
        {"LastRecordChildren > ParentRecord",
         [&] { SetChild(root, 0, middle), SetChild(root, 1, left); }},
        {"FirstRecordChildren < ParentRecord", [&] { SetChild(root, 1, left); }},
        // A separator is the last record of its left child, so the child before
        // the last one of the neighbour ends strictly below the neighbour's last key.
        {"LeftSiblingRecord > ChildrenRecord",
         [&] { SetChild(middle, 0, file.Child(left, file.Count(left) - 2)); }},
        {"RightSiblingRecord < ChildrenRecord",
         [&] { SetChild(left, file.Count(left), file.Child(right, 0)); }},
        {"page " + std::to_string(middle) + " holds page number " + std::to_string(right),
         [&] {
             file.Put(file.PageOffset(middle) + offsetof(TamBTree::PageHeader, pageNumber), right);
         }},
    };
    for (const auto& fault : faults) {
        file.WriteAll(original);
        fault.second();
        EXPECT_EQ(Validate(), Invalid(fault.first, path));
    }
}

// The open reserves every page location, so a closed file cannot get this
// far; the space faults are made in the file of an open tree.
TEST_F(DamagedTree, SpaceFaultsOfAnOpenTreeAreFoundBeforeOrderFaults) {
    file.Put(file.EntryOffset(2), file.PageOffset(1));
    EXPECT_THROW(TestTree(path, KeysOnly()), TamBTree::BTreeDamagedException);
    file.WriteAll(original);
    SwapSlots(0, 1, 2);
    TestTree tree(path, KeysOnly());
    const auto validate = [&tree] { return ThrownText([&tree] { tree.ValidateTree(); }); };
    const std::uint64_t second = file.PageOffset(2);
    file.Put(file.EntryOffset(2), file.PageOffset(1));
    EXPECT_EQ(validate(), Invalid("more than 1 offset value", path));
    file.Put(file.EntryOffset(2), NO_PAGE);
    EXPECT_EQ(validate(), Invalid("unused block", path));
    file.Put(file.EntryOffset(2), second);
    auto& freeList = BTreeTestAccess::FreeList(tree);
    freeList.InsertBlock(G, file.PageOffset(1));
    EXPECT_EQ(validate(), Invalid("more than 1 offset value", path));
    freeList.RemoveBlock(G, file.PageOffset(1));
    freeList.InsertBlock(G, tree.GetDiskSpaceUsed());
    EXPECT_EQ(validate(), Invalid("unused block", path));
    freeList.RemoveBlock(G, tree.GetDiskSpaceUsed());
    // The free tail of the file, unclaimed.
    std::uint64_t tail = 0, tailSize = 0;
    ASSERT_TRUE(freeList.Last(tail, tailSize));
    ASSERT_EQ(tail + tailSize, tree.GetDiskSpaceUsed());
    freeList.RemoveBlock(tailSize, tail);
    EXPECT_EQ(validate(), Invalid("unused block", path));
    freeList.InsertBlock(tailSize, tail);
    EXPECT_EQ(validate(), Invalid("RecordBefore > recordCurrent", path));
}

TEST_F(DamagedTree, AnEmptyLeafInTheChainIsReportedAndNeverRead) {
    // The second leaf of the chain claims no records: a consistent header.
    const std::uint64_t leaf =
        file.Get<std::uint64_t>(file.PageOffset(0) + offsetof(TamBTree::PageHeader, nextPage));
    file.Put<std::uint32_t>(file.PageOffset(leaf) + offsetof(TamBTree::PageHeader, count), 0);
    file.Put<std::uint32_t>(file.PageOffset(leaf) + offsetof(TamBTree::PageHeader, directorySize),
                            0);
    EXPECT_EQ(Validate().rfind("The B-Tree is invalid.", 0), 0u);
    TestTree tree(path, KeysOnly());
    const std::string fault = ThrownText([&] {
        for (BTreeIterator it = tree.End(); it != tree.Begin();) tree.KeyAt(--it);
    });
    EXPECT_EQ(fault.rfind("The B-Tree is invalid.", 0), 0u) << fault;
}

TEST_F(Validation, EqualRecordsPassOnlyInATreeThatAllowsDuplicates) {
    {
        TestTree tree(path, Layout(true, 0, true, 0));
        for (std::uint32_t n = 0; n < 3000; ++n) {
            tree.Put(Key(n), "first");
            tree.Put(Key(n), "second");
        }
        tree.CommitNow();
        EXPECT_NO_THROW(tree.ValidateTree());
    }
    TestTree tree(path);
    EXPECT_EQ(ThrownText([&] { tree.ValidateTree(); }),
              Invalid("RecordBefore > recordCurrent", path));
}
