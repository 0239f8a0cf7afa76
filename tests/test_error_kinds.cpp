// Every kind of error a program can act on, provoked once: its class, the
// message it is built from (none for the kinds with texts of their own) and
// the tree file named in its text.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>

#include "ByteTree.h"
#include "FileFormat.h"
#include "TestTree.h"
#include "TreeFileBytes.h"

using namespace TamBTree;

namespace {

constexpr std::uint32_t NO_MESSAGE = ~0u;

struct Kind {
    const char* name;
    std::uint32_t message;
    // Provokes the error on a committed tree file at `path`.
    std::function<void(const std::string& path)> provoke;
    std::function<bool(const BTreeException&)> isKind;
};

template <class E>
std::function<bool(const BTreeException&)> Is() {
    return [](const BTreeException& e) { return dynamic_cast<const E*>(&e) != nullptr; };
}

void Patch(const std::string& path, std::size_t offset, std::uint32_t value) {
    TamBTreeTest::TreeFileBytes(path).Put<std::uint32_t>(offset, value);
}

ByteTreeOptions ReadOnly() {
    ByteTreeOptions o;
    o.readOnly = true;
    return o;
}

}  // namespace

TEST(ErrorKinds, EachKindHasItsClassMessageAndPath) {
    const Kind kinds[] = {
        {"read-only", MsgReadOnly, [](const std::string& p) { ByteTree(p, ReadOnly()).Put("k"); },
         Is<BTreeReadOnlyException>()},
        {"record too large", MsgRecordTooLarge,
         [](const std::string& p) { ByteTree(p).Put(std::string(70000, 'k')); },
         Is<BTreeRecordTooLargeException>()},
        {"fixed size", MsgFixedSize,
         [](const std::string& p) {
             ByteTreeOptions o;
             o.keySize = 4;
             ByteTree(p, o).Put("abc");
         },
         Is<BTreeInvalidPageSizeException>()},
        {"version", MsgInvalidFile,
         [](const std::string& p) {
             Patch(p, offsetof(BTreeInfo, version), FILE_VERSION + 1);
             ByteTree tree(p);
         },
         Is<BTreeInvalidVersionException>()},
        {"page size", MsgInvalidFile,
         [](const std::string& p) {
             Patch(p, offsetof(BTreeInfo, pageSize), PAGE_SIZE / 2);
             ByteTree tree(p);
         },
         Is<BTreeInvalidPageSizeException>()},
        {"damage", NO_MESSAGE,
         [](const std::string& p) {
             Patch(p, offsetof(BTreeInfo, pageIndexBlockCount), 0);
             ByteTree tree(p);
         },
         Is<BTreeDamagedException>()},
        {"waiting transaction", NO_MESSAGE,
         [](const std::string& p) {
             ByteTree tree(p);
             tree.Put("new");
             tree.PreCommit();
             tree.Put("refused");
         },
         Is<BTreeTransactionWaitingException>()},
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
            EXPECT_TRUE(kind.isKind(e)) << e.what();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
            const auto& info = e.GetMessageInfo();
            EXPECT_EQ(info ? info->GetNumber() : NO_MESSAGE, kind.message) << e.what();
        }
    }
}
