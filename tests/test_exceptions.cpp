// The exception families of the tree and the file layer, message building and
// the registered message table.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "BTreeException.h"

using namespace TamBTree;

namespace {

const std::string kPath = "/data/trees/orders.btree";

// The registered texts, by message number.
const std::wstring kTexts[] = {
    L"The B-Tree %1 is invalid.",
    L"The B-Tree %1 is invalid.",
    L"The fixed record size is not valid for B-Tree %1.",
    L"The B-Tree file size (%1) has reach its limit.",
    L"Not enough disk space to perform the B-Tree operation on %1.",
    L"This operation cannot be performed on a read-only B-Tree. (%1)",
    L"The record is too large for B-Tree %1.",
};

// Copy() and Throw() through the base keep the most-derived class `E`.
template <class E, class Base>
void ExpectKeepsClass(const Base& base) {
    std::unique_ptr<Tam::BaseException> copy(base.Copy());
    ASSERT_NE(dynamic_cast<E*>(copy.get()), nullptr);
    EXPECT_EQ(copy->What(), base.What());
    EXPECT_THROW(base.Throw(), E);
}

// Message `number` thrown as class E carries its text with the path.
template <class E>
void ExpectMessageAndClass(std::uint32_t number) {
    try {
        ThrowMessage<E>(number, 42, kPath);
    } catch (const E& e) {
        std::wstring text = kTexts[number];
        EXPECT_EQ(e.What(), text.replace(text.find(L"%1"), 2, L"/data/trees/orders.btree"));
        ExpectKeepsClass<E, BTreeException>(e);
    }
}

}  // namespace

TEST(BTreeException, EveryClassCarriesItsRegisteredMessageAndKeepsItsClass) {
    EXPECT_EQ(Tam::TamMessages::TableEntries("TamBTreeMsg-I"), 7u);
    EXPECT_EQ(Tam::TamMessages::TableSize("TamBTreeMsg-I"), 796u);
    for (std::uint32_t number = 0; number < 7; ++number)
        EXPECT_EQ(Tam::TamMessages::Text("TamBTree", number), kTexts[number]);
    EXPECT_EQ(Tam::TamMessages::Text("TamBTree", 7), L"");
    ExpectMessageAndClass<BTreeException>(MsgInvalid);
    ExpectMessageAndClass<BTreeInvalidVersionException>(MsgInvalidFile);
    ExpectMessageAndClass<BTreeInvalidPageSizeException>(MsgInvalidFile);
    ExpectMessageAndClass<BTreeInvalidPageSizeException>(MsgFixedSize);
    ExpectMessageAndClass<BTreeException>(MsgFileSizeLimit);
    ExpectMessageAndClass<BTreeNotEnoughDiskSpaceException>(MsgNotEnoughSpace);
    ExpectMessageAndClass<BTreeReadOnlyException>(MsgReadOnly);
    ExpectMessageAndClass<BTreeRecordTooLargeException>(MsgRecordTooLarge);
    ExpectKeepsClass<BTreeException>(BTreeException(L"The B-Tree is invalid. x"));

    const auto info = BuildMessageInfo(MsgReadOnly, 42, kPath);
    EXPECT_EQ(info->GetModule(), "TamBTree");
    EXPECT_EQ(info->GetSourceFile(), "TamBTree/src/TamBTree");
    EXPECT_EQ(info->GetSourceLine(), 42u);
    EXPECT_EQ(info->GetNumber(), 5u);
}

TEST(FileException, TextNamesActionPathAndReasonAndSubclassesKeepTheirClass) {
    const TamFile::FileException e(TamFile::ActionOpenWrite, "/no/such/dir/t.bt", ENOENT);
    EXPECT_NE(e.What().find(L"writing"), std::wstring::npos) << e.what();
    EXPECT_NE(e.What().find(L"/no/such/dir/t.bt"), std::wstring::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(std::strerror(ENOENT)), std::string::npos) << e.what();
    EXPECT_EQ(e.GetAction(), TamFile::ActionOpenWrite);
    EXPECT_EQ(e.GetError(), ENOENT);
    EXPECT_EQ(e.GetPath(), "/no/such/dir/t.bt");
    ExpectKeepsClass<TamFile::FileException, TamFile::FileException>(e);

    const TamFile::SeekOutOfRangeException seek;
    const TamFile::EmptyListInvalidBlock block;
    EXPECT_FALSE(seek.What().empty());
    EXPECT_STRNE(block.what(), "");
    EXPECT_FALSE(seek.GetMessageInfo());
    ExpectKeepsClass<TamFile::SeekOutOfRangeException, TamFile::FileException>(seek);
    ExpectKeepsClass<TamFile::EmptyListInvalidBlock, TamFile::FileException>(block);
}
