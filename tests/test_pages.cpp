// Pages in memory: in-page editing checked against a simple model of a page
// (the entries in slot order, the children, the expected dataSize and
// dataEnd), splits and searches, the byte layout, and the checks of pages
// read from the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>

#include "BTreeException.h"
#include "PageFixture.h"

using namespace PageTest;
using TamBTree::BTreeException;

namespace {

std::uint32_t Word32(const PageHeader* page, std::uint32_t at) {
    return TamBTree::Read32(reinterpret_cast<const unsigned char*>(page) + at);
}

struct Model {
    std::vector<Entry> entries;
    std::vector<std::uint64_t> children{0};  // internal pages only
    std::uint32_t dataSize = 0;
    std::uint32_t dataEnd = 48;
    int compactions = 0;
    // Compactions triggered by an entry copied from the page itself.
    int selfCompactions = 0;

    // The gap at dataEnd is used until it cannot take `need`; then the page
    // is compacted first.
    void Append(std::uint32_t need, std::uint32_t stored, std::uint32_t directory, bool self) {
        if (dataEnd + need > PAGE_SIZE - directory) {
            dataEnd = 48 + dataSize;
            ++compactions;
            selfCompactions += self;
        }
        dataEnd += stored;
        dataSize += stored;
    }
};

std::vector<std::uint64_t> Children(const PageLayout& layout, const PageHeader* page) {
    std::vector<std::uint64_t> children;
    for (std::uint32_t i = 0; i <= page->count; ++i) children.push_back(layout.GetChild(page, i));
    return children;
}

void ExpectPageMatches(const Pages& pages, const PageHeader* page, const Model& m) {
    ASSERT_EQ(m.entries.size(), page->count);
    EXPECT_EQ(m.dataSize, page->dataSize);
    EXPECT_EQ(m.dataEnd, page->dataEnd);
    EXPECT_EQ(page->isLeaf ? 4 * page->count : 12 * page->count + 8, page->directorySize);
    for (std::uint32_t i = 1; i <= page->count; ++i)
        ASSERT_TRUE(pages.Holds(page, i, m.entries[i - 1])) << "entry " << i;
    ASSERT_TRUE(page->isLeaf || m.children == Children(*pages.layout, page));
}

std::vector<std::uint32_t> Offsets(const PageLayout& layout, const PageHeader* page) {
    std::vector<std::uint32_t> offsets;
    std::uint32_t offset = 0, size = 0;
    for (std::uint32_t i = 1; i <= page->count; ++i) {
        layout.GetKeyInfo(page, i, offset, size);
        offsets.push_back(offset);
    }
    return offsets;
}

Entry RandomEntry(std::mt19937& rng, const Pages& pages) {
    const auto bytes = [&rng](std::uint32_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = char(rng());
        return s;
    };
    const PageFormat& f = pages.format;
    Entry e{bytes(f.fixedKeySize ? pages.keySize : rng() % 250), {}};
    if (f.hasValue) e.value = bytes(f.fixedValueSize ? pages.valueSize : rng() % 300);
    return e;
}

std::mt19937 SeededRng(unsigned seed) {
    std::printf("seed %u\n", seed);
    return std::mt19937(seed);
}

// Inserts entry `source` of the page (0: e) at position i of a leaf when it
// fits, by index (form 1) or through a record that points into the page.
bool InsertLeaf(Pages& pages, PageHeader* page, Model& m, Entry e, std::uint32_t i,
                std::uint32_t source, int form) {
    PageLayout& layout = *pages.layout;
    if (source) e = m.entries[source - 1];
    const std::uint32_t need = layout.GetRequiredRecordSpace(page, pages.ToRecord(e));
    if (need > layout.GetPageFreeSpace(page)) return false;
    const int compactions = m.compactions;
    m.Append(need, pages.Stored(e, true), page->directorySize, source > 0);
    const std::vector<std::uint32_t> before = Offsets(layout, page);
    if (!source) layout.InsertRecord(pages.ToRecord(e), page, i);
    if (source && form == 1) layout.InsertRecord(page, source, page, i);
    if (source && form != 1) layout.InsertRecord(layout.GetRecord(page, source), page, i);
    m.entries.insert(m.entries.begin() + (i - 1), e);
    std::vector<std::uint32_t> after = Offsets(layout, page);
    after.erase(after.begin() + (i - 1));
    // Without compaction the records already in the page stay where they are.
    EXPECT_TRUE(compactions != m.compactions || before == after);
    return true;
}

}  // namespace

TEST(PageEdit, LeafEditsMatchTheModelInEveryRecordLayout) {
    for (int variant = 0; variant < 8; ++variant) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        std::mt19937 rng = SeededRng(1000 + variant);
        Pages pages(variant & 1, variant & 2, variant & 4, 200, 150);
        PageHeader* page = pages.NewPage(true);
        Model m;
        const auto erase = [&](std::uint32_t i) {
            m.dataSize -= pages.Stored(m.entries[i - 1], true);
            m.entries.erase(m.entries.begin() + (i - 1));
            pages.layout->DeleteRecord(page, i);
        };
        for (int step = 0; step < 4000; ++step) {
            const std::uint32_t op = rng() % 20, count = page->count;
            const std::uint32_t at = rng() % (count + 1) + 1,
                                source = count ? 1 + rng() % count : 0;
            bool done = false;
            if (op < 12) done = InsertLeaf(pages, page, m, RandomEntry(rng, pages), at, 0, 0);
            if (op >= 12 && op < 16 && source)
                done = InsertLeaf(pages, page, m, {}, at, source, op % 2);
            if (op == 16) {
                pages.layout->ShrinkPage(page);
                m.dataEnd = 48 + m.dataSize;
                done = true;
            }
            if (!done && count > 0) erase(rng() % count + 1);
            ExpectPageMatches(pages, page, m);
            if (HasFatalFailure()) return;
        }
        EXPECT_GT(m.compactions, 5);
        EXPECT_GT(m.selfCompactions, 0);
        while (page->count) erase(1);
        ExpectPageMatches(pages, page, m);
        EXPECT_GT(page->dataEnd, 48u);  // deleted bytes stay until the next compaction
    }
}

TEST(PageEdit, FindMedianRecordBalancesStoredBytesAndGivesTheNewEntryRoom) {
    // Tiny variable records: their length words and slots outweigh their
    // bytes, yet the split falls in the middle.
    Pages tiny(false, true, false);
    PageHeader* leaf = tiny.NewPage(true);
    std::uint32_t n = 0;
    while (tiny.layout->GetPageFreeSpace(leaf) >= 16) {
        char key[5];
        std::snprintf(key, sizeof key, "%04u", n);
        tiny.layout->InsertRecord(tiny.ToRecord({key, "vvvv"}), leaf, ++n);
    }
    EXPECT_NEAR(n / 2.0, tiny.layout->FindMedianRecord(leaf, n / 3, 16), 1.0);
    // A maximum-size record among tiny ones lands on a side with room for it,
    // wherever it goes, and both sides keep entries.
    const std::uint32_t need = 13097;
    for (std::uint32_t position : {0u, 1u, n / 2, n - 1, n}) {
        const std::uint32_t m = tiny.layout->FindMedianRecord(leaf, position, need);
        ASSERT_GE(m, 1u) << position;
        ASSERT_LT(m, n) << position;
        std::uint32_t side = need;
        for (std::uint32_t i = position < m ? 1 : m + 1; i <= (position < m ? m : n); ++i)
            side += tiny.layout->StoredLength(leaf, i) + 4;
        EXPECT_LE(side, PAGE_SIZE - 48) << position;
    }
    // Internal pages keep a key on each side and hand the middle one up.
    Pages keys(false, false, false);
    PageHeader* internal = keys.NewPage(false);
    for (std::uint32_t k = 1; k <= 3; ++k)
        keys.layout->InsertKey(keys.ToRecord({std::string(20000, char('a' + k)), ""}), internal, k);
    EXPECT_EQ(2u, keys.layout->FindMedianRecord(internal, 0, 0));
    EXPECT_EQ(2u, keys.layout->FindMedianRecord(internal, 3, 20016));
    PageHeader* two = keys.NewPage(false);
    for (std::uint32_t k = 1; k <= 2; ++k)
        keys.layout->InsertKey(keys.ToRecord({"k" + std::to_string(k), ""}), two, k);
    EXPECT_EQ(0u, keys.layout->FindMedianRecord(two, 0, 0)) << "no split leaves both sides a key";
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
        TamBTree::Write32(bytes + at, word);
        EXPECT_THROW(layout.CheckEntry(leaf, 2), BTreeException) << at << " " << word;
        TamBTree::Write32(bytes + at, saved);
    };
    expectDamage(PAGE_SIZE - 8, 20);             // slot below the header
    expectDamage(PAGE_SIZE - 8, leaf->dataEnd);  // slot at dataEnd
    expectDamage(60, 9);                         // key length past dataEnd
    expectDamage(66, 3);                         // value length past dataEnd
    expectDamage(66, 0xFFFFFFFF);
    expectDamage(PAGE_SIZE - 8, 0xFFFFFFF0);  // slot far outside the page
    EXPECT_NO_THROW(layout.CheckEntry(leaf, 2));
}
