// The tree file's format and lifecycle: the bytes of a new file, files that
// hold no tree, sharing the file and the open modes. Every kind of error a
// program can act on, provoked once: its class, its message number and full
// text, which names the tree file. The registered message table and the file
// layer's exception are checked here as well; other tests check the class
// alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "ByteTree.h"
#include "FileFormat.h"
#include "PageLayout.h"
#include "TreeChecks.h"
#include "TreeFileBytes.h"

using namespace TamBTree;
using namespace TamBTreeTest;

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
    EXPECT_THROW(TestTree tree(path), BTreeException);
    EXPECT_THROW(TestTree tree(path, ReadOnly()), BTreeException);
    EXPECT_EQ(f.ReadAll(), text);
}

// Readers share the file with each other and with one writer, and a refused
// open leaves the open tree and its file alone.
TEST_F(FileLifecycle, ReadersShareTheFileWithOneWriter) {
    {
        TestTree tree(path, ReadOnly());  // a missing file is created, then opened for reading
        EXPECT_EQ(TamFile::Path(path).Size(), NEW_FILE_SIZE);
        EXPECT_FALSE(BTreeTestAccess::File(tree).IsWritable());
        EXPECT_THROW(tree.Put("k", "v"), BTreeReadOnlyException);
        EXPECT_NO_THROW(TestTree(path, ReadOnly()));
        // A writer opens beside readers; they read on what they read.
        TestTree writer(path);
        ASSERT_TRUE(writer.Put("w", "v").second);
        writer.CommitNow();
        EXPECT_EQ(tree.Size(), 0u);
    }
    auto first = std::make_unique<TestTree>(path);
    ASSERT_TRUE(first->Put("k", "v").second);
    try {
        TestTree second(path);
        ADD_FAILURE() << "a second writer opened the file";
    } catch (const TamFile::FileException& e) {
        EXPECT_EQ(e.GetAction(), TamFile::ActionLock);
    }
    // A reader beside the writer reads the last commit only.
    EXPECT_EQ(TestTree(path, ReadOnly()).Size(), 1u);
    EXPECT_EQ(first->ValueAt(first->Find(TestTree::MakeKey("k"))), "v");
    first->CommitNow();
    first.reset();
    EXPECT_EQ(TestTree(path).Size(), 2u);
}

// Each mode is decided by the one open of the file, so a file that appears or
// vanishes meanwhile cannot be created over or silently made.
TEST_F(FileLifecycle, CreateOnlyAndOpenOnlyRefuseWhatTheyMustNotTouch) {
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
    EXPECT_THROW(open(path, BTree::CreateOnly, true), BTreeReadOnlyException);
    EXPECT_EQ(open(path, BTree::OpenOnly, false).Get("k"), "v");
    EXPECT_EQ(open(path, BTree::OpenOnly, true).Get("k"), "v");
    // An empty file holds no tree: open only refuses it and leaves it empty.
    TreeFileBytes(path).WriteAll({});
    EXPECT_THROW(open(path, BTree::OpenOnly, false), BTreeDamagedException);
    EXPECT_EQ(TamFile::Path(path).Size(), 0u);
    // Open or create makes a tree of it, as before.
    EXPECT_EQ(ByteTree(path).Size(), 0u);
}

namespace {

constexpr std::uint32_t NO_MESSAGE = ~0u;

// The registered texts, by message number; %1 is the tree file.
const std::wstring kTexts[] = {
    L"The B-Tree %1 is invalid.",
    L"The B-Tree %1 is invalid.",
    L"The fixed record size is not valid for B-Tree %1.",
    L"The B-Tree file size (%1) has reach its limit.",
    L"Not enough disk space to perform the B-Tree operation on %1.",
    L"This operation cannot be performed on a read-only B-Tree. (%1)",
    L"The record is too large for B-Tree %1.",
};

template <class E>
bool Is(const Tam::BaseException& e) {
    return dynamic_cast<const E*>(&e) != nullptr;
}

// Opens the tree file at `path` with a 32-bit field of its head set to `value`.
template <std::size_t offset, std::uint32_t value>
void OpenWith(const std::string& path) {
    TreeFileBytes(path).Put<std::uint32_t>(offset, value);
    ByteTree tree(path);
}

// Just under the 10 MiB the inserts ask for, while it lives.
struct FullDisk {
    FullDisk() {
        TamFile::Path::ms_AvailableDiskSpaceHook = [](const std::string&) {
            return std::uint64_t(10 * 1024 * 1024 - 1);
        };
    }
    ~FullDisk() { TamFile::Path::ms_AvailableDiskSpaceHook = nullptr; }
};

struct Kind {
    const char* name;
    std::uint32_t message;
    const wchar_t* text;  // of the kinds without a message
    // Provokes the error on a committed tree file at `path`.
    void (*provoke)(const std::string& path);
    bool (*is)(const Tam::BaseException&);
};

}  // namespace

TEST(ErrorKinds, EachKindHasItsClassMessageAndTextNamingTheFile) {
    const Kind kinds[] = {
        {"read-only", MsgReadOnly, nullptr,
         [](const std::string& p) {
             ByteTreeOptions o;
             o.readOnly = true;
             ByteTree(p, o).Put("k");
         },
         Is<BTreeReadOnlyException>},
        {"record too large", MsgRecordTooLarge, nullptr,
         [](const std::string& p) {
             ByteTree tree(p);
             tree.Put(std::string(tree.GetMaxRecordSize() + 1, 'k'));
         },
         Is<BTreeRecordTooLargeException>},
        {"fixed size", MsgFixedSize, nullptr,
         [](const std::string& p) {
             ByteTreeOptions o;
             o.keySize = 4;
             ByteTree(p, o).Put("abc");
         },
         Is<BTreeInvalidPageSizeException>},
        {"not enough disk space", MsgNotEnoughSpace, nullptr,
         [](const std::string& p) {
             FullDisk full;
             ByteTree tree(p);
             tree.SetEnoughSpaceCheckInterval(1);
             tree.Put("n");
         },
         Is<BTreeNotEnoughDiskSpaceException>},
        {"version", MsgInvalidFile, nullptr,
         OpenWith<offsetof(BTreeInfo, version), FILE_VERSION + 1>,
         Is<BTreeInvalidVersionException>},
        {"page size", MsgInvalidFile, nullptr,
         OpenWith<offsetof(BTreeInfo, pageSize), PAGE_SIZE / 2>, Is<BTreeInvalidPageSizeException>},
        {"not a tree file", MsgInvalid, nullptr,
         [](const std::string& p) {
             TreeFileBytes(p).WriteAll({'h', 'i', '\n'});
             ByteTree tree(p);
         },
         Is<BTreeDamagedException>},
        {"damage", NO_MESSAGE, L"The B-Tree is invalid. bad page-index block count (%1)",
         OpenWith<offsetof(BTreeInfo, pageIndexBlockCount), 0>, Is<BTreeDamagedException>},
        // The tree of one record has one page, page 0.
        {"root past the pages", NO_MESSAGE,
         L"The B-Tree is invalid. bad page count or root page (%1)",
         OpenWith<offsetof(BTreeInfo, rootPage), 1>, Is<BTreeDamagedException>},
        {"waiting transaction", NO_MESSAGE,
         L"The B-Tree has a pre-committed transaction waiting for Commit or Rollback. (%1)",
         [](const std::string& p) {
             ByteTree tree(p);
             tree.Put("new");
             tree.PreCommit();
             tree.Put("refused");
         },
         Is<BTreeTransactionWaitingException>},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        TempDir dir;
        const std::string path = dir.File("t.tbt");
        {
            ByteTree tree(path);
            tree.Put("k", "v");
            tree.Commit();
        }
        try {
            kind.provoke(path);
            ADD_FAILURE() << "nothing thrown";
        } catch (const BTreeException& e) {
            EXPECT_TRUE(kind.is(e)) << e.what();
            const auto& info = e.GetMessageInfo();
            EXPECT_EQ(info ? info->GetNumber() : NO_MESSAGE, kind.message) << e.what();
            EXPECT_TRUE(!info || info->GetModule() == "TamBTree");
            std::wstring text = kind.text ? kind.text : kTexts[kind.message];
            EXPECT_EQ(e.What(),
                      text.replace(text.find(L"%1"), 2, std::wstring(path.begin(), path.end())));
        }
    }
    EXPECT_EQ(Tam::TamMessages::TableEntries("TamBTreeMsg-I"), 7u);
    for (std::uint32_t number = 0; number < 7; ++number)
        EXPECT_EQ(Tam::TamMessages::Text("TamBTree", number), kTexts[number]);
    EXPECT_EQ(Tam::TamMessages::Text("TamBTree", 7), L"");
}

TEST(FileException, TextNamesActionPathAndReason) {
    const TamFile::FileException e(TamFile::ActionOpenWrite, "/no/such/dir/t.bt", ENOENT);
    EXPECT_NE(e.What().find(L"writing"), std::wstring::npos) << e.what();
    EXPECT_NE(e.What().find(L"/no/such/dir/t.bt"), std::wstring::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(std::strerror(ENOENT)), std::string::npos) << e.what();
    EXPECT_EQ(e.GetAction(), TamFile::ActionOpenWrite);
    EXPECT_EQ(e.GetError(), ENOENT);
    EXPECT_EQ(e.GetPath(), "/no/such/dir/t.bt");
}

// The disk is asked about once every interval of stores, also when the stores
// replace values and the record count stands still on a multiple of it; a
// full disk is asked about again at the next store; interval 0 never asks.
TEST(ErrorKinds, FreeSpaceIsAskedOncePerIntervalOfStores) {
    static int asked;
    static std::uint64_t available;
    asked = 0;
    available = std::uint64_t(1) << 40;
    TamFile::Path::ms_AvailableDiskSpaceHook = [](const std::string&) {
        ++asked;
        return available;
    };
    TempDir dir;
    ByteTree tree(dir.File("space.tbt"));
    tree.SetEnoughSpaceCheckInterval(10);
    for (int i = 0; i < 10; ++i) tree.Put(std::to_string(i), "v");
    for (int i = 0; i < 100; ++i) tree.Put("5", std::to_string(i));
    EXPECT_EQ(asked, 11);  // stores 1, 11, ..., 101
    available = 0;
    EXPECT_THROW(tree.Put("5", "y"), TamBTree::BTreeNotEnoughDiskSpaceException);
    EXPECT_THROW(tree.Put("6", "y"), TamBTree::BTreeNotEnoughDiskSpaceException);
    EXPECT_EQ(asked, 13);
    // Interval 0 never asks, even about a full disk; a new interval counts
    // from the next store on.
    tree.SetEnoughSpaceCheckInterval(0);
    for (int i = 0; i < 50; ++i) EXPECT_NO_THROW(tree.Put(std::to_string(i)));
    EXPECT_EQ(asked, 13);
    available = std::uint64_t(1) << 40;
    tree.SetEnoughSpaceCheckInterval(1000);
    for (int i = 0; i < 5; ++i) tree.Put(std::to_string(i), "again");
    EXPECT_EQ(asked, 14);
    TamFile::Path::ms_AvailableDiskSpaceHook = nullptr;
}
