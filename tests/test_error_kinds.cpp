// Every kind of error a program can act on, provoked once: its class (also in
// a copy and a rethrow), its message number and full text, which names the
// tree file. The registered message table and the file layer's exception are
// checked here as well; other tests check the class alone.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "ByteTree.h"
#include "FileFormat.h"
#include "TestTree.h"
#include "TreeFileBytes.h"

using namespace TamBTree;

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

// A copy and a rethrow through the base keep the most-derived class.
void ExpectKeepsClass(const Tam::BaseException& e, bool (*is)(const Tam::BaseException&)) {
    EXPECT_FALSE(e.What().empty());
    const std::unique_ptr<Tam::BaseException> copy(e.Copy());
    EXPECT_TRUE(is(*copy));
    EXPECT_EQ(copy->What(), e.What());
    try {
        e.Throw();
    } catch (const Tam::BaseException& thrown) {
        EXPECT_TRUE(is(thrown));
    }
}

// Opens the tree file at `path` with a 32-bit field of its head set to `value`.
template <std::size_t offset, std::uint32_t value>
void OpenWith(const std::string& path) {
    TamBTreeTest::TreeFileBytes(path).Put<std::uint32_t>(offset, value);
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
             TamBTreeTest::TreeFileBytes(p).WriteAll({'h', 'i', '\n'});
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
        TamBTreeTest::TempDir dir;
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
            ExpectKeepsClass(e, kind.is);
        }
    }
    EXPECT_EQ(Tam::TamMessages::TableEntries("TamBTreeMsg-I"), 7u);
    for (std::uint32_t number = 0; number < 7; ++number)
        EXPECT_EQ(Tam::TamMessages::Text("TamBTree", number), kTexts[number]);
    EXPECT_EQ(Tam::TamMessages::Text("TamBTree", 7), L"");
}

TEST(FileException, TextNamesActionPathAndReasonAndSubclassesKeepTheirClass) {
    const TamFile::FileException e(TamFile::ActionOpenWrite, "/no/such/dir/t.bt", ENOENT);
    EXPECT_NE(e.What().find(L"writing"), std::wstring::npos) << e.what();
    EXPECT_NE(e.What().find(L"/no/such/dir/t.bt"), std::wstring::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(std::strerror(ENOENT)), std::string::npos) << e.what();
    EXPECT_EQ(e.GetAction(), TamFile::ActionOpenWrite);
    EXPECT_EQ(e.GetError(), ENOENT);
    EXPECT_EQ(e.GetPath(), "/no/such/dir/t.bt");
    ExpectKeepsClass(e, Is<TamFile::FileException>);
    EXPECT_FALSE(TamFile::SeekOutOfRangeException().GetMessageInfo());
    ExpectKeepsClass(TamFile::SeekOutOfRangeException(), Is<TamFile::SeekOutOfRangeException>);
    ExpectKeepsClass(TamFile::EmptyListInvalidBlock(), Is<TamFile::EmptyListInvalidBlock>);
}
