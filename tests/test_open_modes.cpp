// Open modes: each is decided by the one open of the file, so a file that
// appears or vanishes meanwhile cannot be created over or silently made.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include "ByteTree.h"
#include "TestTree.h"

using TamBTree::BTree;
using TamBTree::ByteTree;

namespace {

ByteTree::Options Mode(BTree::OpenMode mode, bool readOnly = false) {
    ByteTree::Options o;
    o.mode = mode;
    o.readOnly = readOnly;
    return o;
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

template <class F>
int FileError(F f) {
    try {
        f();
    } catch (const TamFile::FileException& e) {
        return e.GetError();
    }
    return 0;
}

}  // namespace

TEST(OpenModes, CreateOnlyAndOpenOnlyRefuseWhatTheyMustNotTouch) {
    TamBTreeTest::TempDir dir;
    const std::string path = dir.File("t.tbt");
    // Open only: no file is made where none is.
    EXPECT_EQ(FileError([&] { ByteTree tree(path, Mode(BTree::OpenOnly)); }), ENOENT);
    EXPECT_EQ(FileError([&] { ByteTree tree(path, Mode(BTree::OpenOnly, true)); }), ENOENT);
    EXPECT_FALSE(Exists(path));
    // Create only: a new tree, then never over an existing file.
    {
        ByteTree tree(path, Mode(BTree::CreateOnly));
        tree.Put("k", "v");
        tree.Commit();
    }
    EXPECT_EQ(FileError([&] { ByteTree tree(path, Mode(BTree::CreateOnly)); }), EEXIST);
    EXPECT_THROW(ByteTree(path, Mode(BTree::CreateOnly, true)), TamBTree::BTreeReadOnlyException);
    EXPECT_EQ(ByteTree(path, Mode(BTree::OpenOnly)).Get("k"), "v");
    EXPECT_EQ(ByteTree(path, Mode(BTree::OpenOnly, true)).Get("k"), "v");
    // An empty file holds no tree: open only refuses it and leaves it empty.
    const std::string empty = dir.File("empty.tbt");
    std::ofstream(empty).close();
    EXPECT_THROW(ByteTree(empty, Mode(BTree::OpenOnly)), TamBTree::BTreeDamagedException);
    struct stat st;
    ASSERT_EQ(::stat(empty.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    // Open or create makes a tree of it, as before.
    EXPECT_EQ(ByteTree(empty).Size(), 0u);
}
