// The tree file's format and lifecycle: the bytes of a new file, files that
// hold no tree, sharing the file and the open modes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <memory>

#include "ByteTree.h"
#include "PageLayout.h"
#include "TreeChecks.h"
#include "TreeFileBytes.h"

using namespace TamBTreeTest;
using TamBTree::NO_PAGE;
using TamBTree::PageHeader;
using Access = TamBTree::BTreeTestAccess;

constexpr std::uint64_t G = 65536;
constexpr std::uint64_t NEW_FILE_SIZE = 21 * G;

using FileFormat = TreeFileTest;
using FileLifecycle = TreeFileTest;

TEST_F(FileFormat, NewFileHoldsTheSystemBlockAndAnEmptyRootLeaf) {
    { TestTree tree(path); }
    TreeFileBytes f(path);
    const std::vector<unsigned char> bytes = f.ReadAll();
    ASSERT_EQ(bytes.size(), NEW_FILE_SIZE);
    // (offset, width, value) of the fields of the system block.
    const std::uint64_t head[][3] = {
        {0, 4, 20031712}, {4, 4, 65536},    {8, 4, 0},  {16, 8, 0},       {24, 8, 1},
        {40, 8, NO_PAGE}, {48, 8, NO_PAGE}, {56, 4, 1}, {64, 8, NO_PAGE}, {72, 1, 0},
        {73, 1, 0},       {74, 1, 1},       {80, 8, G}};
    for (const auto& field : head) {
        std::uint64_t value = 0;
        std::memcpy(&value, &bytes[field[0]], field[1]);
        EXPECT_EQ(value, field[2]) << "offset " << field[0];
    }
    const std::uint64_t root = f.PageOffset(0);
    ASSERT_EQ(root % G, 0u);
    ASSERT_GE(root, 2 * G);
    ASSERT_LT(root, NEW_FILE_SIZE);
    // Page 0, an empty leaf without neighbours (the reserved bytes aside).
    const PageHeader empty{0, NO_PAGE, NO_PAGE, 0, 0, 48, 0, 1, {}};
    EXPECT_EQ(0, std::memcmp(&bytes[root], &empty, offsetof(PageHeader, reserved)));

    // Opening and closing writes nothing.
    { TestTree tree(path); }
    EXPECT_TRUE(f.ReadAll() == bytes);
}

TEST_F(FileFormat, ShortOrUnfinishedFilesAreRecreatedAndForeignOnesRefused) {
    { TestTree tree(path); }
    TreeFileBytes f(path);
    std::vector<unsigned char> head = f.ReadAll();
    head.resize(81);
    // 80 bytes: absent, whatever they say.
    f.WriteAll(std::vector<unsigned char>(head.begin(), head.begin() + 80));
    EXPECT_EQ(TestTree(path).GetDiskSpaceUsed(), NEW_FILE_SIZE);
    // 81 bytes with the created byte clear: an interrupted creation.
    head[74] = 0;
    f.WriteAll(head);
    EXPECT_EQ(TestTree(path).GetDiskSpaceUsed(), NEW_FILE_SIZE);
    // 81 bytes with the created byte set: handed to the open, which cannot map
    // a system block and fails without touching the file.
    head[74] = 1;
    f.WriteAll(head);
    EXPECT_THROW(TestTree tree(path), std::exception);
    EXPECT_EQ(f.ReadAll(), head);
    // A file that is not a tree at all is somebody's data: refused, untouched,
    // also when a read-only open would otherwise create over it.
    const std::vector<unsigned char> text{'h', 'i', '\n'};
    f.WriteAll(text);
    EXPECT_THROW(TestTree tree(path), TamBTree::BTreeException);
    EXPECT_THROW(TestTree tree(path, ReadOnly()), TamBTree::BTreeException);
    EXPECT_EQ(f.ReadAll(), text);
}

// Readers share the file; a writer shares it with nobody, and a refused open
// leaves the open tree and its file alone.
TEST_F(FileLifecycle, ReadersShareTheFileAndAWriterIsAlone) {
    {
        TestTree tree(path, ReadOnly());  // a missing file is created, then opened for reading
        EXPECT_EQ(TamFile::Path(path).Size(), NEW_FILE_SIZE);
        EXPECT_FALSE(Access::File(tree).IsWritable());
        EXPECT_THROW(tree.Put("k", "v"), TamBTree::BTreeReadOnlyException);
        EXPECT_NO_THROW(TestTree(path, ReadOnly()));
        EXPECT_THROW(TestTree writer(path), TamFile::FileException);
    }
    auto first = std::make_unique<TestTree>(path);
    ASSERT_TRUE(first->Put("k", "v").second);
    try {
        TestTree second(path);
        ADD_FAILURE() << "a second writer opened the file";
    } catch (const TamFile::FileException& e) {
        EXPECT_EQ(e.GetAction(), TamFile::ActionLock);
    }
    EXPECT_THROW(TestTree(path, ReadOnly()), TamFile::FileException);
    EXPECT_EQ(first->ValueAt(first->Find(TestTree::MakeKey("k"))), "v");
    first->CommitNow();
    first.reset();
    EXPECT_EQ(TestTree(path).Size(), 1u);
}

// Each mode is decided by the one open of the file, so a file that appears or
// vanishes meanwhile cannot be created over or silently made.
TEST_F(FileLifecycle, CreateOnlyAndOpenOnlyRefuseWhatTheyMustNotTouch) {
    using TamBTree::BTree;
    using TamBTree::ByteTree;
    const auto open = [](const std::string& file, BTree::OpenMode mode, bool readOnly) {
        ByteTree::Options o;
        o.mode = mode;
        o.readOnly = readOnly;
        return ByteTree(file, o);
    };
    const auto error = [&](BTree::OpenMode mode, bool readOnly) {
        try {
            open(path, mode, readOnly);
        } catch (const TamFile::FileException& e) {
            return e.GetError();
        }
        return 0;
    };
    // Open only: no file is made where none is.
    EXPECT_EQ(error(BTree::OpenOnly, false), ENOENT);
    EXPECT_EQ(error(BTree::OpenOnly, true), ENOENT);
    EXPECT_FALSE(TamFile::Path(path).IsFile());
    // Create only: a new tree, then never over an existing file.
    {
        ByteTree tree = open(path, BTree::CreateOnly, false);
        tree.Put("k", "v");
        tree.Commit();
    }
    EXPECT_EQ(error(BTree::CreateOnly, false), EEXIST);
    EXPECT_THROW(open(path, BTree::CreateOnly, true), TamBTree::BTreeReadOnlyException);
    EXPECT_EQ(open(path, BTree::OpenOnly, false).Get("k"), "v");
    EXPECT_EQ(open(path, BTree::OpenOnly, true).Get("k"), "v");
    // An empty file holds no tree: open only refuses it and leaves it empty.
    TreeFileBytes(path).WriteAll({});
    EXPECT_THROW(open(path, BTree::OpenOnly, false), TamBTree::BTreeDamagedException);
    EXPECT_EQ(TamFile::Path(path).Size(), 0u);
    // Open or create makes a tree of it, as before.
    EXPECT_EQ(ByteTree(path).Size(), 0u);
}
