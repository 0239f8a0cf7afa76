// Record access in a page: the byte layout, free space, children and the
// checks of pages read from the file.
#include <gtest/gtest.h>

#include <functional>

#include "BTreeException.h"
#include "PageFixture.h"

using namespace PageTest;
using TamBTree::BTreeException;

namespace {

std::uint32_t Word32(const PageHeader* page, std::uint32_t at) {
    return PageLayout::Read32(reinterpret_cast<const unsigned char*>(page) + at);
}

}  // namespace

TEST(PageLayout, EmptyPagesOfferAllSpaceAndAnEmptyRecordAtDataEnd) {
    Pages pages(false, true, false);
    PageLayout& layout = *pages.layout;
    PageHeader* leaf = pages.NewPage(true);
    PageHeader* node = pages.NewPage(false);
    EXPECT_EQ(65488u, layout.GetPageFreeSpace(leaf));
    EXPECT_EQ(65480u, layout.GetPageFreeSpace(node));

    layout.InsertRecord(pages.ToRecord({"abc", "xy"}), leaf, 1);
    const Record past = layout.GetRecord(leaf, 2);
    const auto* base = reinterpret_cast<const unsigned char*>(leaf);
    EXPECT_EQ(base + leaf->dataEnd, past.key);
    EXPECT_EQ(0u, past.keyLength);
    EXPECT_EQ(base + leaf->dataEnd, past.value);
    EXPECT_EQ(0u, past.valueLength);

    layout.InsertKey(pages.ToRecord({"abc", "xy"}), node, 1);
    const Record key = layout.GetRecord(node, 1);
    EXPECT_EQ(3u, key.keyLength);
    EXPECT_EQ(nullptr, key.value);
    EXPECT_EQ(0u, key.valueLength);
}

TEST(PageLayout, RequiredSpaceCountsLengthWordsSlotAndChild) {
    const Entry e{std::string(10, 'k'), std::string(20, 'v')};
    Pages variable(false, true, false);
    EXPECT_EQ(
        42u, variable.layout->GetRequiredRecordSpace(variable.NewPage(true), variable.ToRecord(e)));
    EXPECT_EQ(26u, variable.layout->GetRequiredRecordSpace(variable.NewPage(false),
                                                           variable.ToRecord(e)));
    Pages fixed(true, true, true, 10, 20);
    EXPECT_EQ(34u, fixed.layout->GetRequiredRecordSpace(fixed.NewPage(true), fixed.ToRecord(e)));
    EXPECT_EQ(22u, fixed.layout->GetRequiredRecordSpace(fixed.NewPage(false), fixed.ToRecord(e)));
    Pages keysOnly(false, false, false);
    EXPECT_EQ(
        18u, keysOnly.layout->GetRequiredRecordSpace(keysOnly.NewPage(true), keysOnly.ToRecord(e)));
}

TEST(PageLayout, LeafRecordsAreStoredAsLengthWordsKeyAndValue) {
    Pages pages(false, true, false);
    PageLayout& layout = *pages.layout;
    PageHeader* leaf = pages.NewPage(true);
    layout.InsertRecord(pages.ToRecord({"bb", "12345"}), leaf, 1);
    layout.InsertRecord(pages.ToRecord({"a", ""}), leaf, 1);
    // Record area in insertion order, slots in key order from the page's end.
    EXPECT_EQ(48u + 15u, Word32(leaf, PAGE_SIZE - 4));
    EXPECT_EQ(48u, Word32(leaf, PAGE_SIZE - 8));
    EXPECT_EQ(2u, Word32(leaf, 48));
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<unsigned char*>(leaf) + 52, "bb", 2));
    EXPECT_EQ(5u, Word32(leaf, 54));
    std::uint32_t offset = 0, size = 0;
    layout.GetKeyInfo(leaf, 2, offset, size);
    EXPECT_EQ(52u, offset);
    EXPECT_EQ(2u, size);
    layout.GetValueInfo(leaf, 2, offset, size);
    EXPECT_EQ(58u, offset);
    EXPECT_EQ(5u, size);
    EXPECT_EQ(15u + 9u, layout.StoredLength(leaf, 1) + layout.StoredLength(leaf, 2));

    Pages fixed(true, true, true, 2, 3);
    PageHeader* packed = fixed.NewPage(true);
    fixed.layout->InsertRecord(fixed.ToRecord({"kk", "vvv"}), packed, 1);
    EXPECT_EQ(53u, packed->dataEnd);
    fixed.layout->GetValueInfo(packed, 1, offset, size);
    EXPECT_EQ(50u, offset);
    EXPECT_EQ(3u, size);
}

TEST(PageLayout, ChildrenInterleaveWithKeySlots) {
    Pages pages(true, false, false, 4);
    PageLayout& layout = *pages.layout;
    PageHeader* node = pages.NewPage(false);
    layout.SetChild(node, 0, 100);
    EXPECT_EQ(8u, node->directorySize);
    layout.InsertKey(pages.ToRecord({"key1", ""}), node, 1);
    layout.SetChild(node, 1, 101);
    layout.InsertKey(pages.ToRecord({"key2", ""}), node, 2);
    layout.SetChild(node, 2, 102);
    EXPECT_EQ(32u, node->directorySize);
    EXPECT_EQ(100u, PageLayout::Read64(reinterpret_cast<unsigned char*>(node) + PAGE_SIZE - 8));
    EXPECT_EQ(48u, Word32(node, PAGE_SIZE - 12));
    EXPECT_EQ(101u, PageLayout::Read64(reinterpret_cast<unsigned char*>(node) + PAGE_SIZE - 20));
    EXPECT_EQ(52u, Word32(node, PAGE_SIZE - 24));
    EXPECT_EQ(102u, layout.GetChild(node, 2));
    EXPECT_EQ(2u, layout.GetChildrenNumber(node, 102));
    EXPECT_EQ(0u, layout.GetChildrenNumber(node, 100));
    EXPECT_EQ(0u, layout.GetChildrenNumber(node, 999));
    // Setting a child below the directory's reach leaves its size alone.
    layout.SetChild(node, 1, 111);
    EXPECT_EQ(32u, node->directorySize);
}

TEST(PageLayout, CheckPageRejectsDamagedHeaders) {
    Pages pages(false, true, false);
    PageLayout& layout = *pages.layout;
    PageHeader* leaf = pages.NewPage(true);
    for (int i = 0; i < 3; ++i) layout.InsertRecord(pages.ToRecord({"key", "value"}), leaf, 1);
    PageHeader* node = pages.NewPage(false);
    layout.InsertKey(pages.ToRecord({"key", ""}), node, 1);
    layout.SetChild(node, 1, 7);
    EXPECT_NO_THROW(layout.CheckPage(leaf));
    EXPECT_NO_THROW(layout.CheckPage(node));

    const std::vector<std::function<void(PageHeader&)>> damages = {
        [](PageHeader& p) { p.isLeaf = 2; },
        [](PageHeader& p) { p.directorySize += 4; },
        [](PageHeader& p) { p.count = 0x40000001; },
        [](PageHeader& p) { p.dataEnd = 40; },
        [](PageHeader& p) { p.dataEnd = PAGE_SIZE - p.directorySize + 1; },
        [](PageHeader& p) { p.dataSize = p.dataEnd - 47; },
        [](PageHeader& p) { p.count = 16380, p.directorySize = 65520; },
    };
    for (PageHeader* page : {leaf, node}) {
        for (const auto& damage : damages) {
            const PageHeader saved = *page;
            damage(*page);
            try {
                layout.CheckPage(page);
                ADD_FAILURE() << "damage not detected";
            } catch (const BTreeException& e) {
                EXPECT_EQ(0u, e.What().rfind(L"The B-Tree is invalid.", 0));
                EXPECT_NE(std::wstring::npos, e.What().find(L"Page 12 "));
            }
            *page = saved;
        }
    }
    leaf->isLeaf = 0;  // a leaf's directory read as an internal one
    EXPECT_THROW(layout.CheckPage(leaf), BTreeException);
}

TEST(PageLayout, CheckEntryRejectsSlotsAndLengthsOutsideTheRecordArea) {
    Pages pages(false, true, false);
    PageLayout& layout = *pages.layout;
    PageHeader* leaf = pages.NewPage(true);
    layout.InsertRecord(pages.ToRecord({"k1", "v1"}), leaf, 1);
    layout.InsertRecord(pages.ToRecord({"k2", "v2"}), leaf, 2);
    EXPECT_NO_THROW(layout.CheckEntry(leaf, 1));
    EXPECT_NO_THROW(layout.CheckEntry(leaf, 2));
    EXPECT_THROW(layout.CheckEntry(leaf, 0), BTreeException);
    EXPECT_THROW(layout.CheckEntry(leaf, 3), BTreeException);

    auto* bytes = reinterpret_cast<unsigned char*>(leaf);
    auto expectDamage = [&](std::uint32_t at, std::uint32_t word) {
        const std::uint32_t saved = Word32(leaf, at);
        PageLayout::Write32(bytes + at, word);
        EXPECT_THROW(layout.CheckEntry(leaf, 2), BTreeException) << at << " " << word;
        PageLayout::Write32(bytes + at, saved);
    };
    expectDamage(PAGE_SIZE - 8, 20);             // slot below the header
    expectDamage(PAGE_SIZE - 8, leaf->dataEnd);  // slot at dataEnd
    expectDamage(60, 9);                         // key length past dataEnd
    expectDamage(66, 3);                         // value length past dataEnd
    expectDamage(66, 0xFFFFFFFF);
    expectDamage(PAGE_SIZE - 8, 0xFFFFFFF0);  // slot far outside the page
    EXPECT_NO_THROW(layout.CheckEntry(leaf, 2));
}
